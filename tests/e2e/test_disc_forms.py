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

    def sheet(self, folder, name, text, bin_name="cd_mode1.bin", encoding="utf-8"):
        """A sheet called name in a folder of its own, with the sample CD's Mode 1 BIN beside it as bin_name."""
        d = os.path.join(self.tmp, folder)
        os.makedirs(d)
        make_cd.link_or_copy(os.path.join(self.out, "cd_mode1.bin"), os.path.join(d, bin_name))
        e2e.write(os.path.join(d, name), text.encode(encoding))
        return os.path.join(d, name)

    def iso(self, name, tree=None, **kinds):
        path = os.path.join(self.tmp, name)
        make_cd.write_iso(tree or self.cd, path, **kinds)
        return path

    def test_images_other_tools_write_install_what_the_disc_holds(self):
        """Each form installs its tree byte for byte, or is refused with the reason the log gives."""
        track = "  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n"
        long_names = self.cd_copy("long-names", {"Read me first.txt": b"long name",
                                                 "Extras for the game/\u0141\u00f3d\u017a notes.txt": b"notes"})
        deep = os.path.join(self.tmp, "x" * 120, "y" * 120, "z" * 40)
        forms = [
            # The names Windows shows: long ones, in any script, from the Joliet tree.
            ("joliet", lambda: self.iso("joliet.iso", long_names, joliet=True), long_names, None),
            # genisoimage -R moves the folders below level eight into RR_MOVED; they go back.
            ("relocated", lambda: self.iso("moved.iso", relocated=True), self.cd, None),
            # genisoimage -R -J: the Joliet tree holds the whole tree.
            ("relocated and joliet", lambda: self.iso("movedj.iso", relocated=True, joliet=True), self.cd, None),
            ("zisofs", lambda: self.iso("zisofs.iso", zisofs=True), None,
             "the image uses files stored compressed (zisofs), "),
            # ... whose Joliet tree does not say so.
            ("zisofs and joliet", lambda: self.iso("zisofsj.iso", zisofs=True, joliet=True), None,
             "the image uses files stored compressed (zisofs), "),
            ("utf-16 sheet", lambda: self.sheet("u16", "game.cue", "\ufeffFILE \"cd_mode1.bin\" BINARY\r\n" + track,
                                                encoding="utf-16-le"), self.cd, None),
            ("ansi sheet", lambda: self.sheet("ansi", "game.cue", "FILE \"Spiel f\u00fcr J.bin\" BINARY\r\n" + track,
                                              "Spiel f\u00fcr J.bin", encoding="cp1252"), self.cd, None),
            ("moved sheet", lambda: self.sheet("moved", "game.cue",
                                               "FILE \"D:\\Images\\Old\\cd_mode1.bin\" BINARY\r\n" + track), self.cd, None),
            ("store sheet", lambda: self.sheet("store", "game.ins", "FILE \"game.gog\" BINARY\r\n" + track,
                                               "game.gog"), self.cd, None),
            ("long path", lambda: self.sheet(deep, "game.cue", "FILE \"cd_mode1.bin\" BINARY\r\n" + track), self.cd, None),
        ]
        for name, make, tree, refusal in forms:
            with self.subTest(form=name):
                run = self.install(self.wp.winpath(make()), self.fresh())
                if refusal:
                    self.assertTrue(run.log[-3].startswith(refusal), run.log[-3:])
                    self.assert_rolled_back(run, "ERROR: copying the CD failed")
                    continue
                self.assert_done(run)
                expected = self.fresh()
                e2e.limit_depth(tree, expected, 16)
                self.assertEqual(e2e.tree_differences(expected, os.path.join(run.host, "game", "cd")), [])

    def test_a_sheet_in_the_users_ansi_code_page_names_its_bin(self):
        # Polish Windows writes "\u017c\u00f3\u0142" in code page 1250; read in the Western one, the name would not
        # be found.
        name = "Gra \u017c\u00f3\u0142w.bin"
        sheet = self.sheet("ansi-pl", "gra.cue", 'FILE "%s" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n'
                           % name, name, encoding="cp1250")
        with e2e.display_language(self.wp, "pl_PL.UTF-8"):
            run = self.install(self.wp.winpath(sheet), self.fresh())
        self.assert_installed(run)

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
