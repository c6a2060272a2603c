"""Silent installs from the image as players keep it, made by the sample CD maker with the tools players use:
one table, each row a file of the sample CD and what must come of it. An image installs byte for byte like the
disc's tree, and the log names the image it read; a container the setup does not read, or a damaged one, fails
with one line that names it and what is wrong: when it is opened (nothing written), or during the copy (rolled
back). Then archives found beside setup.exe and in a folder given as the CD, and the notices of the libraries
that read them ("/licenses"). One Wine prefix serves every install."""
import os
import re
import shutil

import e2e

INSTALLS = "installs"          # the image the log names as read, below the sample CD's folder
REFUSED = "refused"            # the line's reason after "<file>: " (or the whole line, when it begins with "is ")
COPY_FAILS = "copy fails"      # a regular expression for the line before "ERROR: copying the CD failed"

EXTRACT = " is %s: extract it with the tool that made it, then point the setup at the ISO or the CUE sheet"

ROWS = [
    # CHD, from chdman: the ISO (one MODE1 track of 2048-byte sectors), the mixed-mode BIN+CUE (audio first,
    # the data track at its disc address), a pregap stored before the data track's first sector.
    ("cd.chd", INSTALLS, "cd.chd"),
    ("cd_mixed.chd", INSTALLS, "cd_mixed.chd"),
    ("cd_pregap.chd", INSTALLS, "cd_pregap.chd"),
    ("bad_cut.chd", REFUSED, ": the CHD ends early: it may be incomplete"),
    ("bad_codec.chd", REFUSED, ": the CHD uses a compression this setup cannot read (cdxx)"),
    ("bad_nocd.chd", REFUSED, ": the CHD holds no CD (it has no track list)"),
    # Damaged where the volume's descriptor or the root lies: said when the CHD is opened.
    ("bad_pvd.chd", REFUSED, ": hunk 2 of the CHD is damaged: its data does not match its checksum"),
    ("bad_root.chd", REFUSED, ": hunk 6 of the CHD is damaged: its data does not match its checksum"),
    # A folder met by the walk before the copy: the copy never starts.
    ("bad_tree.chd", COPY_FAILS, r"^{0}\\bad_tree\.chd: hunk 8 of the CHD is damaged: its data does not match its checksum$"),
    # Met by the copy: the line names the file whose data lay in the hunk.
    ("bad_hunk.chd", COPY_FAILS, r"^read error in \S+ \(\S+ in image {0}\\bad_hunk\.chd: hunk 209 of the CHD is damaged: "
                                 r"its data does not match its checksum\)$"),
    ("bad_size.chd", COPY_FAILS, r"^read error in \S+ \(\S+ in image {0}\\bad_size\.chd: hunk 214 of the CHD lies beyond "
                                 r"the end of the file: it may be incomplete\)$"),
    # ZIP: deflated, stored (read in place), zip64 with a BIN and its sheet in a folder, several images.
    ("cd_iso.zip", INSTALLS, "cd_iso.zip\\cd.iso"),
    ("cd_stored.zip", INSTALLS, "cd_stored.zip\\cd.iso"),
    ("cd_bincue.zip", INSTALLS, "cd_bincue.zip\\game\\cd_mode1.bin"),
    ("cd_multi.zip", INSTALLS, "cd_multi.zip\\game\\cd.iso"),
    # 7z: LZMA2 solid (a sheet after its BIN too), LZMA of a mixed-mode BIN, a CloneCD set.
    ("cd_iso.7z", INSTALLS, "cd_iso.7z\\cd.iso"),
    ("cd_bincue.7z", INSTALLS, "cd_bincue.7z\\cd_mode1.bin"),
    ("cd_mixed.7z", INSTALLS, "cd_mixed.7z\\cd_mixed.bin"),
    ("cd_clone.7z", INSTALLS, "cd_clone.7z\\cd_clone.img"),
    # ECM: through the sheet that names the BIN, and on its own (Mode 2).
    ("cd_ecm.cue", INSTALLS, "cd_ecm.bin.ecm"),
    ("cd_ecm2.bin.ecm", INSTALLS, "cd_ecm2.bin.ecm"),
    # Named and refused by their signatures.
    ("cd.rar", REFUSED, EXTRACT % "a RAR archive"),
    ("cd_old.rar", REFUSED, EXTRACT % "a RAR archive"),
    ("cd.isz", REFUSED, EXTRACT % "an UltraISO image (.isz)"),
    ("cd.daa", REFUSED, EXTRACT % "a PowerISO image (.daa)"),
    ("cd.mdx", REFUSED, EXTRACT % "a Daemon Tools image (.mdx)"),
    ("cd.b5t", REFUSED, EXTRACT % "a BlindWrite image (.b5t, .b6t)"),
    ("cd.b6t", REFUSED, EXTRACT % "a BlindWrite image (.b5t, .b6t)"),
    ("cd.cdi", REFUSED, EXTRACT % "a DiscJuggler image (.cdi)"),
    # Damaged: found when the archive is opened ...
    ("bad_cut.zip", REFUSED, ": the archive is damaged or cut short"),
    ("bad_cut.7z", REFUSED, ": the archive is cut short"),
    ("bad_encrypted.zip", REFUSED, ": the archive is encrypted"),
    ("bad_encrypted.7z", REFUSED, ": the archive is encrypted"),
    ("bad_codec.zip", REFUSED, ": the archive uses a compression method this setup cannot decode"),
    ("bad_codec.7z", REFUSED, ": the archive uses a compression method this setup cannot decode"),
    ("bad_size.zip", REFUSED, ": the archive declares sizes beyond its own size"),
    # ... or while it is read: a CRC found wrong at the end of the image still fails the install.
    ("bad_crc.zip", COPY_FAILS, r"^{0}\\bad_crc\.zip\\cd\.iso: the archive is damaged: the image's CRC does not match$"),
    ("bad_data.7z", COPY_FAILS, r"^read error in \S+ \(\S+ in image {0}\\bad_data\.7z\\cd\.iso: the archive is damaged\)$"),
    ("bad_ecm.cue", COPY_FAILS, r"^{0}\\bad_ecm\.bin\.ecm: the ECM file is damaged: its check \(EDC\) does not match$"),
]


class Containers(e2e.WineTestCase):
    forms = "tree,iso,bin,cue,forms,chd,archives"
    links = False

    def test_each_form_installs_or_says_what_is_wrong(self):
        folder = self.wp.winpath(self.out)
        for name, outcome, what in ROWS:
            with self.subTest(image=name):
                cd = folder + "\\" + name
                run = self.install(cd, self.fresh())
                if outcome == INSTALLS:
                    self.assert_installed(run)
                    self.assertIn("Copying image %s\\%s ..." % (folder, what), run.log)
                elif outcome == REFUSED:
                    self.assert_failed(run, cd + what, e2e.NOT_READABLE)
                else:
                    self.assertRegex(run.log[-3], what.format(re.escape(folder)))
                    self.assert_rolled_back(run, "ERROR: copying the CD failed")

    def test_archives_are_found_beside_setup_and_in_a_folder(self):
        for image in ("cd.chd", "cd_iso.7z", "cd_multi.zip", "cd_ecm2.bin.ecm"):
            with self.subTest(image=image):
                self.assert_found_beside_setup(image, [], self.fresh())
        # A folder of images given as the CD: the archive in it that holds the game, among others that do not.
        images = os.path.join(self.tmp, "images")
        os.makedirs(images)
        for name in ("cd.rar", "bad_cut.zip", "cd_multi.zip"):
            shutil.copy(os.path.join(self.out, name), images)
        run = self.assert_installed(self.install(self.wp.winpath(images), self.fresh()))
        self.assertIn("Found the CD as %s\\cd_multi.zip" % self.wp.winpath(images), run.log)


class Licenses(e2e.WindowTestCase):
    TITLE = "Tovek Zarnith setup: licenses"

    def test_the_notices_of_every_library(self):
        proc = self.start_setup("/licenses")
        self.assertEqual(self.ctl("wait", self.TITLE, "60000"), 0, "no window of notices")
        code, texts = self.ctl("texts", self.TITLE, output=True)  # the notices' first 4,095 characters
        self.assertEqual(code, 0)
        for library in ("zlib 1.2.13", "minizip 1.3.1", "libchdr 0.3.0", "Copyright Romain Tisserand", "dr_flac"):
            self.assertIn(library, texts)
        self.assertEqual(self.ctl("close", self.TITLE), 0)
        self.assertEqual(proc.wait(timeout=60), 0)


if __name__ == "__main__":
    e2e.main()
