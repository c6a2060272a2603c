"""Silent installs from disc images: the ISO, both raw BIN layouts through their CUE sheets and named
directly, images found beside setup.exe, and hostile images that must stay inside the install folder."""
import os
import subprocess
import sys
import time

import e2e
import make_bad_iso


class ImageInstall(e2e.WineTestCase):
    forms = "tree,iso,bin,cue"
    links = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bad = os.path.join(cls.tmp, "bad")
        make_bad_iso.main([cls.bad])

    def test_every_image_form_installs_like_the_folder(self):
        out = self.out
        bin1 = self.wp.winpath(os.path.join(out, "cd_mode1.bin"))
        bin2 = self.wp.winpath(os.path.join(out, "cd_mode2.bin"))
        forms = [
            ("cd.iso", self.wp.winpath(os.path.join(out, "cd.iso"))),
            ("cd_mode1.cue", bin1),     # relative FILE name
            ("cd_mode2.cue", bin2),
            ("cd_abs.cue", bin1),       # absolute FILE name with its drive
            ("cd_comment.cue", bin1),   # a comment line before FILE
            ("cd_mode1.bin", bin1),     # the BINs named directly
            ("cd_mode2.bin", bin2),
        ]
        for name, opened in forms:
            with self.subTest(image=name):
                target = self.fresh("from-" + name.replace(".", "-"))
                run = self.assert_installed(self.install(os.path.join(out, name), target))
                self.assertIn("Copying image %s ..." % opened, run.log, "the description names the file read")

    def test_image_beside_setup_is_found(self):
        for image, companions in (("cd.iso", []), ("cd_mode2.cue", ["cd_mode2.bin"])):
            with self.subTest(image=image):
                self.assert_found_beside_setup(image, companions, self.fresh("detected-" + image.replace(".", "-")))

    def assert_contained(self, box, target, before_c):
        """Nothing is left after a failed copy, which took back all it wrote: the install folder and the box
        above it, which the install made too."""
        self.assertFalse(os.path.exists(box))
        self.assertEqual(set(os.listdir(self.wp.c_drive())), before_c)
        found = subprocess.run(["find", self.tmp, self.wp.c_drive(), "-iname", "*ESCAPED*"],
                               stdout=subprocess.PIPE).stdout.decode()
        self.assertEqual(found, "", "a file from the image landed outside game\\cd")

    def test_hostile_names_stay_inside(self):
        cases = [("traversal_file.iso", '"..\\..\\..\\ESCAPED.TXT"'), ("traversal_dir.iso", '".."'),
                 ("colon.iso", '"C:ESCAPED.TXT"'), ("device.iso", '"NUL.TXT"')]
        before_c = set(os.listdir(self.wp.c_drive()))
        for image, shown in cases:
            with self.subTest(image=image):
                box = self.fresh("box-" + image.replace(".", "-"))
                target = os.path.join(box, "inst")
                self.assert_rolled_back(self.install(os.path.join(self.bad, image), target),
                                        "unsafe name on the CD: %s" % shown, "ERROR: copying the CD failed")
                self.assert_contained(box, target, before_c)

    def test_looping_folders(self):
        # Folders that point back at the root or at themselves are passed over: a plain install.
        cd = os.path.join(self.installed(os.path.join(self.bad, "loops.iso"), self.fresh("loops")).host, "game", "cd")
        self.assertEqual(sorted(os.listdir(cd)), sorted([n for n, _ in make_bad_iso.GAME_FILES] + ["VELTRIS", "SUB"]))
        self.assertEqual(os.listdir(os.path.join(cd, "SUB")), ["FILE.DAT"])

        # Folders that share their extents 30 times a level, 16 levels deep: the copy gives up quickly.
        before_c = set(os.listdir(self.wp.c_drive()))
        box = self.fresh("box-fanout")
        target = os.path.join(box, "inst")
        start = time.monotonic()
        run = self.install(os.path.join(self.bad, "fanout.iso"), target, timeout=300)
        print("fanout.iso refused in %.1f s" % (time.monotonic() - start), file=sys.stderr)
        self.assert_rolled_back(run, "ERROR: copying the CD failed")
        self.assertTrue(run.log[-3].startswith("too many folders on the CD"), run.log[-3])
        self.assert_contained(box, target, before_c)


if __name__ == "__main__":
    e2e.main()
