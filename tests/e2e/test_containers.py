"""Silent installs from the image as players keep it, one table of containers: each row installs the sample
CD byte for byte from its container, or is refused with the lines the log must end with. A damaged container
never installs: exit code 1, and what the run wrote is taken back. Also the notices of the libraries that read
them ("/licenses")."""
import os

import e2e

# (container in the sample CD's folder, None to install it, or the refusal: the log's lines before the
# roll-back's, "{image}" standing for the container's Windows path). A refusal met when the container is
# opened writes nothing, so there is nothing to take back.
COPYING = "ERROR: copying the CD failed"
CONTAINERS = [
    ("cd.chd", None),          # chdman from the ISO: one MODE1 track of 2048-byte sectors
    ("cd_mixed.chd", None),    # from the mixed-mode BIN+CUE: audio first, the data track at its disc address
    ("cd_pregap.chd", None),   # a pregap stored before the data track's first sector
    ("bad_cut.chd", ["{image}: the CHD ends early: it may be incomplete", e2e.NOT_READABLE]),
    ("bad_codec.chd", ["{image}: the CHD uses a compression this setup cannot read (cdxx)", e2e.NOT_READABLE]),
    ("bad_nocd.chd", ["{image}: the CHD holds no CD (it has no track list)", e2e.NOT_READABLE]),
    ("bad_pvd.chd", ["{image}: hunk 2 of the CHD is damaged: its data does not match its checksum", e2e.NOT_READABLE]),
    ("bad_root.chd", ["{image}: hunk 6 of the CHD is damaged: its data does not match its checksum",
                      e2e.NOT_READABLE]),
    # A folder met by the walk before the copy: the copy never starts.
    ("bad_tree.chd", ["{image}: hunk 8 of the CHD is damaged: its data does not match its checksum", COPYING]),
    # Met by the copy: the line names the file whose data lay in the hunk, and ends as here.
    ("bad_hunk.chd", ["in image {image}: hunk 209 of the CHD is damaged: its data does not match its checksum)",
                      COPYING]),
    ("bad_size.chd", ["in image {image}: hunk 214 of the CHD lies beyond the end of the file: it may be "
                      "incomplete)", COPYING]),
]


class Containers(e2e.WineTestCase):
    forms = "tree,iso,bin,cue,forms,chd"
    links = False

    def test_each_container_installs_byte_for_byte_or_is_refused(self):
        for name, refusal in CONTAINERS:
            with self.subTest(container=name):
                image = self.wp.winpath(os.path.join(self.out, name))
                run = self.install(image, self.fresh())
                if refusal is None:
                    self.assert_installed(run)
                    self.assertIn("Copying image %s ..." % image, run.log)
                    continue
                lines = [line.replace("{image}", image) for line in refusal]
                if lines[-1] == e2e.NOT_READABLE:
                    self.assert_failed(run, *lines)
                    continue
                if lines[0].startswith("in image"):
                    self.assertTrue(run.log[-3].startswith("read error in ") and run.log[-3].endswith(lines[0]),
                                    run.log[-3:])
                    lines = lines[1:]
                self.assert_rolled_back(run, *lines)


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
