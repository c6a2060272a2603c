"""The game emblem icon: a silent install of the sample CD gives zarnith.exe seven 32-bit icon images
made from INTRO\\DATA\\A.LBM, byte for byte what the picture pipeline makes of that file, and a picture
that is missing, dark or unreadable leaves the game executable exactly as the setup carries it."""
import os
import subprocess

import e2e
import make_cd

SIZES = [16, 24, 32, 48, 64, 128, 256]
IMAGE_BYTES = [1128, 2440, 4264, 9640, 16936, 67624, 270376]


def wrestool(*args):
    return subprocess.run(["wrestool"] + list(args), check=True, stdout=subprocess.PIPE).stdout


class EmblemIcon(e2e.WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.picture = os.path.join(cls.cd, "INTRO", "DATA", "A.LBM")
        cls.setup_run = e2e.install(cls.wp, cls.cd, os.path.join(cls.tmp, "installed"))
        cls.log = cls.setup_run.log
        cls.exe = os.path.join(cls.setup_run.host, "zarnith.exe")

    def setUp(self):
        self.assertEqual(self.setup_run.code, 0, "silent install of the sample CD: %r" % (self.log,))

    def pipeline_output(self):
        """The icon images and group that the pipeline makes from the CD's picture: from the native
        build when there is one, else from the cross-built tool under Wine."""
        out = os.path.join(self.tmp, "pipeline")
        os.makedirs(out, exist_ok=True)
        prefix = os.path.join(out, "icon")
        native = os.path.join(e2e.SOURCE, "build", "native", "emblem_dump")
        if os.access(native, os.X_OK):
            rc = subprocess.run([native, self.picture, prefix], stdout=subprocess.DEVNULL).returncode
        else:
            rc = self.wp.run(os.path.join(e2e.BUILD, "emblem_dump.exe"),
                             [self.wp.winpath(self.picture), self.wp.winpath(prefix)])
        self.assertEqual(rc, 0, "the pipeline must understand the sample picture")
        images = []
        for k in range(1, 8):
            with open("%s%d.bin" % (prefix, k), "rb") as f:
                images.append(f.read())
        with open(prefix + "group.bin", "rb") as f:
            return images, f.read()

    def test_resources_listed(self):
        self.assertFalse([l for l in self.log if l.startswith("ERROR")], self.log)
        listing = wrestool("-l", self.exe).decode().splitlines()
        icons = {}
        groups = {}
        for line in listing:
            fields = dict(f.split("=", 1) for f in line.split("[")[0].split() if "=" in f)
            size = int(line.split("size=")[1].rstrip("]"))
            if fields["--type"] == "3":
                icons[int(fields["--name"])] = (fields["--language"], size)
            elif fields["--type"] == "14":
                groups[int(fields["--name"])] = (fields["--language"], size)
        self.assertEqual(icons, {k + 1: ("0", IMAGE_BYTES[k]) for k in range(7)}, listing)
        self.assertEqual(groups, {1: ("0", 104)}, listing)

    def test_seven_sizes_at_32_bits(self):
        ico = os.path.join(self.tmp, "zarnith.ico")
        wrestool("-x", "--type=14", "-o", ico, self.exe)
        out = subprocess.run(["icotool", "-l", ico], check=True, stdout=subprocess.PIPE).stdout.decode()
        found = []
        for line in out.splitlines():
            f = dict(x.split("=", 1) for x in line.split() if "=" in x)
            found.append((int(f["--width"]), int(f["--height"]), int(f["--bit-depth"])))
        self.assertEqual(found, [(n, n, 32) for n in SIZES], out)

    def test_images_are_what_the_pipeline_makes(self):
        images, group = self.pipeline_output()
        for k in range(1, 8):
            with self.subTest(icon=k):
                got = wrestool("-x", "--raw", "--type=3", "--name=%d" % k, self.exe)
                self.assertEqual(len(got), IMAGE_BYTES[k - 1])
                self.assertTrue(got == images[k - 1], "icon %d differs from the pipeline's image" % k)
        self.assertEqual(wrestool("-x", "--raw", "--type=14", "--name=1", self.exe), group)
        # The 256-pixel image shows the emblem: opaque in its middle, transparent in its corners.
        big = images[6]
        pixel = lambda x, y: big[40 + 4 * ((255 - y) * 256 + x):][:4]
        self.assertEqual(pixel(128, 128)[3], 255)
        self.assertEqual(pixel(0, 0), b"\0\0\0\0")
        self.assertEqual(pixel(255, 255), b"\0\0\0\0")

    def test_game_still_runs_with_its_icon(self):
        self.assertEqual(self.wp.run(self.exe, ["/check"]), 0)
        with open(self.exe, "rb") as a, open(e2e.PAYLOAD, "rb") as b:
            self.assertNotEqual(a.read(), b.read(), "the icon must have changed the executable")

    def test_missing_dark_or_unreadable_picture_leaves_payload(self):
        dark_palette = [(0, 0, 0), (20, 20, 19), (59, 0, 0), (0, 0, 59)] + [(255, 255, 255)] * 252
        rows = [bytes((x + y) % 4 for x in range(40)) for y in range(30)]
        cases = [
            ("missing", None, None),
            ("dark", make_cd.build_lbm(40, 30, rows, dark_palette), "ERROR: game emblem picture is empty"),
            ("unreadable", b"FORM\0\0\0\x10ILBMBMHD\0\0\0\0", "ERROR: game emblem picture not understood"),
        ]
        payload = e2e.read(e2e.PAYLOAD)
        for name, picture, line in cases:
            with self.subTest(picture=name):
                # Without the list: with it, a CD with another picture is a damaged copy (test_releases).
                cd = self.cd_copy("cd-" + name, {"INTRO/DATA/A.LBM": picture})
                run = self.installed(cd, os.path.join(self.tmp, "target-" + name), exe=e2e.SETUP_NOLIST)
                self.assertTrue(e2e.read(os.path.join(run.host, "zarnith.exe")) == payload,
                                "zarnith.exe must be the payload byte for byte")
                self.assertEqual([l for l in run.log if l.startswith("ERROR")], [line] if line else [], run.log)


if __name__ == "__main__":
    e2e.main()
