"""Silent installs from the images other tools write: raw sectors with subchannel, CloneCD, Alcohol, Nero,
CUE sheets as rippers write them and cdrdao's TOC sheets; these found beside setup.exe; a sheet given with forward slashes;
and the line that says why a source cannot be opened. One Wine prefix serves every install."""
import os
import shutil

import e2e
import make_bad_iso
import make_cd


class DiscForms(e2e.WineTestCase):
    forms = "tree,iso,bin,cue,forms"
    links = False

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
            ("cd_mixed.cue", "cd_mixed.bin"),    # audio first, the data track mastered at its disc address
            ("cd_mixed.toc", "cd_mixed.bin"),    # the same through its sheet as cdrdao writes it
        ]
        for name, opened in forms:
            with self.subTest(image=name):
                run = self.assert_installed(self.install(w(name), self.fresh()))
                self.assertIn("Copying image %s ..." % w(opened), run.log, "the description names the file read")

    def test_an_image_with_a_joliet_tree_installs_the_names_windows_shows(self):
        # The primary tree holds 8.3 names only; the Joliet tree holds the long names, in any script.
        tree = self.cd_copy("joliet-tree", {"Read me first.txt": b"long name",
                                            "Extras for the game/\u0141\u00f3d\u017a notes.txt": b"notes"})
        iso = os.path.join(self.tmp, "joliet.iso")
        make_cd.write_iso(tree, iso, joliet=True)
        expected = os.path.join(self.tmp, "joliet-expected")
        e2e.limit_depth(tree, expected, 16)
        run = self.assert_done(self.install(iso, self.fresh()))
        self.assertEqual(e2e.tree_differences(expected, os.path.join(run.host, "game", "cd")), [])

    def test_an_image_of_compressed_files_is_refused_with_its_reason(self):
        iso = os.path.join(self.tmp, "zisofs.iso")
        make_cd.write_iso(self.cd, iso, zisofs=True)
        run = self.install(iso, self.fresh())
        self.assertTrue(run.log[-3].startswith("the image uses files stored compressed (zisofs), "), run.log[-3])
        self.assert_rolled_back(run, "ERROR: copying the CD failed")

    def test_new_types_beside_setup_are_found(self):
        for image, companions in (("cd_clone.ccd", ["cd_clone.img", "cd_clone.sub"]),
                                  ("cd_alcsub.mds", ["cd_alcsub.mdf"]), ("cd_new.nrg", []),
                                  ("cd_mixed.toc", ["cd_mixed.bin"])):
            with self.subTest(image=image):
                self.assert_found_beside_setup(image, companions, self.fresh())

    def test_forward_slash_sheet_finds_its_own_bin(self):
        # A BIN of the same name in the current folder holds another CD: it must not be the one read.
        decoy = os.path.join(self.tmp, "decoy")
        os.makedirs(decoy)
        make_bad_iso.main([os.path.join(self.tmp, "bad")])
        shutil.copy(os.path.join(self.tmp, "bad", "loops.iso"), os.path.join(decoy, "cd_mode1.bin"))
        sheet = self.wp.winpath(os.path.join(self.out, "cd_mode1.cue")).replace("\\", "/")
        run = self.assert_installed(self.install(sheet, self.fresh(), cwd=decoy))
        self.assertIn("Copying image %s ..." % sheet.replace("cd_mode1.cue", "cd_mode1.bin"), run.log)

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
                self.assert_failed(self.install(cd, self.fresh()), why, e2e.NOT_READABLE)
        # No /cd, and nothing found beside setup.exe: that is said too.
        exe = e2e.beside_setup(self.wp, "C:\\dist-nothing")
        self.assert_failed(self.install(None, self.fresh(), exe=exe),
                           "no CD was given or found: name a drive, an image or a folder with /cd", e2e.NOT_READABLE)


if __name__ == "__main__":
    e2e.main()
