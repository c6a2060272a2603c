"""Silent installs from the images other tools write: raw sectors with subchannel, CloneCD, Alcohol, Nero
and CUE sheets as rippers write them; these found beside setup.exe; a sheet given with forward slashes;
and the line that says why a source cannot be opened. One Wine prefix serves every install."""
import os
import shutil
import sys
import unittest

import e2e

sys.path.insert(0, os.path.join(e2e.SOURCE, "tests", "tools"))
import make_bad_iso  # noqa: E402

NOT_READABLE = "ERROR: the CD is not a readable disc, image or folder"


def place(src, dst):
    try:
        os.link(src, dst)
    except OSError:  # another file system
        shutil.copy(src, dst)


class DiscForms(e2e.SampleInstallCase):
    forms = "tree,iso,bin,cue,forms"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.count = 0

    def target(self):
        DiscForms.count += 1
        return os.path.join(self.tmp, "inst%d" % self.count)

    def test_every_form_installs_like_the_folder(self):
        w = lambda n: self.wp.winpath(os.path.join(self.out, n))
        forms = [
            ("cd_sub.img", "cd_sub.img"),        # 2448-byte raw sectors named directly
            ("cd_clone.ccd", "cd_clone.img"),
            ("cd_alc.mds", "cd_alc.mdf"),
            ("cd_alcsub.mds", "cd_alcsub.mdf"),  # 2448-byte sectors with P/Q subchannel
            ("cd_old.nrg", "cd_old.nrg"),
            ("cd_new.nrg", "cd_new.nrg"),
            ("cd_unquoted.cue", "cd_mode1.bin"),
            ("cd_lower.cue", "cd_mode1.bin"),
            ("cd_bom.cue", "cd_mode1.bin"),      # BOM, CR line ends, "PROFILE" in a title before FILE
            ("cd_multi.cue", "cd_mode1.bin"),    # an audio FILE first
            ("cd_pregap.cue", "cd_pregap.bin"),  # the data track after audio and a pregap in one file
            ("cd_2336.cue", "cd_2336.bin"),
        ]
        for name, opened in forms:
            with self.subTest(image=name):
                target = self.target()
                self.assertEqual(self.install(w(name), target), 0, e2e.setup_log(self.wp))
                self.assert_installed(target)
                self.assertIn("Copying image %s ..." % w(opened), e2e.setup_log(self.wp),
                              "the description names the file read")

    def test_new_types_beside_setup_are_found(self):
        for image, companions in (("cd_clone.ccd", ["cd_clone.img", "cd_clone.sub"]),
                                  ("cd_alcsub.mds", ["cd_alcsub.mdf"]), ("cd_new.nrg", [])):
            with self.subTest(image=image):
                dist = self.wp.c_drive("dist-" + image.replace(".", "-"))
                os.makedirs(dist)
                shutil.copy(e2e.SETUP_EXE, dist)
                for f in [image] + companions:
                    place(os.path.join(self.out, f), os.path.join(dist, f))
                win_dist = "C:\\" + os.path.basename(dist)
                target = self.target()
                self.assertEqual(self.install(None, target, exe=win_dist + "\\setup.exe"), 0)
                log = e2e.setup_log(self.wp)
                self.assertTrue(log[1].startswith("defaults: cd '%s\\%s' dir " % (win_dist, image)), log[1])
                self.assert_installed(target)

    def test_forward_slash_sheet_finds_its_own_bin(self):
        # A BIN of the same name in the current folder holds another CD: it must not be the one read.
        decoy = os.path.join(self.tmp, "decoy")
        os.makedirs(decoy)
        make_bad_iso.main([os.path.join(self.tmp, "bad")])
        shutil.copy(os.path.join(self.tmp, "bad", "loops.iso"), os.path.join(decoy, "cd_mode1.bin"))
        sheet = self.wp.winpath(os.path.join(self.out, "cd_mode1.cue")).replace("\\", "/")
        target = self.target()
        self.assertEqual(self.install(sheet, target, cwd=decoy), 0, e2e.setup_log(self.wp))
        self.assert_installed(target)
        self.assertIn("Copying image %s ..." % sheet.replace("cd_mode1.cue", "cd_mode1.bin"), e2e.setup_log(self.wp))

    def test_each_refusal_says_why(self):
        bad = os.path.join(self.tmp, "why")
        os.makedirs(bad)
        e2e.write(os.path.join(bad, "empty.iso"), b"")
        e2e.write(os.path.join(bad, "notes.iso"), b"not a disc\r\n" * 4000)
        e2e.write(os.path.join(bad, "gone.cue"), b'FILE "gone.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\n'
                                                 b"    INDEX 01 00:00:00\r\n")
        e2e.write(os.path.join(bad, "audio.cue"), b'FILE "a.bin" BINARY\r\n  TRACK 01 AUDIO\r\n'
                                                  b"    INDEX 01 00:00:00\r\n")
        w = lambda n: self.wp.winpath(os.path.join(bad, n))
        cases = [
            (w("typo.iso"), "%s: no such file or folder" % w("typo.iso")),
            (w("empty.iso"), "%s: the file is empty" % w("empty.iso")),
            (w("notes.iso"), "%s: not a CD image (no ISO 9660 volume in any known layout)" % w("notes.iso")),
            (w("gone.cue"), "%s: the sheet names a data file that cannot be opened: %s" % (w("gone.cue"), w("gone.bin"))),
            (w("audio.cue"), "%s: the sheet has no data track" % w("audio.cue")),
        ]
        for cd, why in cases:
            with self.subTest(cd=cd):
                self.assertEqual(self.install(cd, self.target()), 1)
                self.assertEqual(e2e.setup_log(self.wp)[-2:], [why, NOT_READABLE])
        # No /cd, and nothing found beside setup.exe: that is said too.
        dist = self.wp.c_drive("dist-nothing")
        os.makedirs(dist)
        shutil.copy(e2e.SETUP_EXE, dist)
        self.assertEqual(self.install(None, self.target(), exe="C:\\dist-nothing\\setup.exe"), 1)
        self.assertEqual(e2e.setup_log(self.wp)[-2:],
                         ["no CD was given or found: name a drive, an image or a folder with /cd", NOT_READABLE])


if __name__ == "__main__":
    e2e.main()
