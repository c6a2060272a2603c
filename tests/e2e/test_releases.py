"""The checks against the CD's known releases (the list the build carries: the sample CD's), as one table of
runs: a good image names its release; a bad image and a partial folder fail naming the file and leave
nothing; /verify exits 0, 1 or 2 without installing, writing the CD's DAT beside the log; and a repair of an
install copies only the files that are missing or wrong."""
import os
import shutil
import subprocess
import sys

import e2e
import make_cd

RELEASE = make_cd.SAMPLE_RELEASE
CHANGED = "VELTRIS\\NPC.DAT"      # a byte of it is wrong in the bad image
LEFT_OUT = "SOUND\\MAGIC.ASL"     # not in the partial folder
DAMAGED = "ERROR: the CD's files named above are damaged or missing: clean the disc or make the image again"


def bad_image(test):
    """The sample ISO with one byte of CHANGED wrong, as a scratch on the disc leaves it; its host path."""
    iso = bytearray(e2e.read(os.path.join(test.out, "cd.iso")))
    content = e2e.read(os.path.join(test.cd, *CHANGED.split("\\")))
    at = iso.find(content[:4096])
    assert at > 0 and iso.find(content[:4096], at + 1) < 0
    iso[at + 1000] ^= 0x55
    path = os.path.join(test.tmp, "bad.iso")
    e2e.write(path, bytes(iso))
    return path


class Releases(e2e.WineTestCase):
    forms = "tree,iso"
    links = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bad_iso = bad_image(cls)
        cls.partial = cls.cd_copy("partial", {LEFT_OUT.replace("\\", "/"): None})
        # Another release: the same files with other bytes (another seed of the sample CD's maker).
        cls.other = os.path.join(make_cd.make_cd(os.path.join(cls.tmp, "other"), seed=1, what=["tree"])["tree"][0])
        cls.cd_dat = e2e.temp_folder(cls.wp, "zarnith_cd.dat")

    def log_has(self, run, *lines):
        for line in lines:
            self.assertIn(line, run.log, "\n".join(run.log))

    def dat_roms(self):
        """The (path, size, crc) of the CD's own DAT that the last run wrote beside the log."""
        sys.path.insert(0, os.path.join(e2e.SOURCE, "res"))
        import make_dat
        games = make_dat.read_dat(e2e.read(self.cd_dat))
        self.assertEqual(len(games), 1)
        return sorted(games[0][1])

    @staticmethod
    def sums(seed):
        """The DAT's roms of a whole copy of the sample CD: every file within 16 folder levels."""
        return sorted((p.replace("/", "\\"), n, crc) for p, n, crc in make_cd.tree_sums(seed) if p.count("/") <= 16)

    def test_installs_and_verify(self):
        good = ["The CD is %s." % RELEASE]
        unknown = ["The CD is no release this setup knows; its files are listed in C:\\users\\%s\\Temp\\zarnith_cd.dat"
                   % os.path.basename(self.wp.user_folder())]
        for name, cd, verify, install, lines, roms in [
            # the CD, /verify's exit code, an install's, the lines both log, the CD's DAT that /verify writes
            ("good image", os.path.join(self.out, "cd.iso"), 0, 0, good, self.sums(0)),
            ("bad image", self.bad_iso, 1, 1, ["differs from the release: " + CHANGED], len(self.sums(0))),
            ("partial folder", self.partial, 1, 1, ["missing from the CD: " + LEFT_OUT], len(self.sums(0)) - 1),
            ("another release", self.other, 2, 0, unknown, self.sums(1)),
        ]:
            with self.subTest(name):
                if os.path.exists(self.cd_dat):
                    os.remove(self.cd_dat)
                folder = self.fresh()
                run = self.run_setup("/silent", "/verify", "/cd", e2e.win(self.wp, cd), "/dir", self.wp.winpath(folder))
                self.assertEqual(run.code, verify, "\n".join(run.log))
                self.log_has(run, *lines)
                self.assertFalse(os.path.exists(folder), "/verify made the install folder")
                self.assertIsNone(e2e.uninstall_entry(self.wp), "/verify registered an install")
                got = self.dat_roms()
                self.assertEqual(got if isinstance(roms, list) else len(got), roms)

                run = self.install(cd, folder)
                self.assertEqual(run.code, install, "\n".join(run.log))
                self.log_has(run, *lines)
                if install:
                    self.assert_rolled_back(run, DAMAGED)
                    self.assertIsNone(e2e.uninstall_entry(self.wp))
                else:
                    self.assert_done(run)

    def test_repair_copies_only_what_is_missing_or_wrong(self):
        run = self.installed(self.cd, "C:\\Games\\Repair")
        game_cd = os.path.join(run.host, "game", "cd")
        damaged = os.path.join(game_cd, *CHANGED.split("\\"))
        with open(damaged, "r+b") as f:
            f.seek(500)
            f.write(b"\0\0\0")
        os.remove(os.path.join(game_cd, *LEFT_OUT.split("\\")))
        stamps = {p: os.stat(os.path.join(game_cd, p)).st_mtime_ns for p in e2e.listing(game_cd)
                  if os.path.isfile(os.path.join(game_cd, p))}
        # Every read of the CD's files is counted (tests/tools/readfault.c, failing none).
        so, reads = os.path.join(self.tmp, "readfault.so"), os.path.join(self.tmp, "reads.log")
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", so, os.path.join(e2e.SOURCE, "tests", "tools",
                        "readfault.c"), "-ldl", "-lpthread"], check=True)
        saved = dict(self.wp.env)
        self.wp.env.update({"LD_PRELOAD": so, "READFAULT_PATH": self.cd, "READFAULT_LOG": reads})
        self.first_installs = False
        try:
            run = self.installed(self.cd, "C:\\Games\\Repair")
        finally:
            self.first_installs = True
            self.wp.env.clear()
            self.wp.env.update(saved)
        read_bytes = sum(int(line.split()[2]) for line in e2e.read(reads, "r").splitlines() if line.startswith("read"))
        self.assertEqual(read_bytes, sum(os.path.getsize(os.path.join(self.cd, *p.split("\\"))) for p in (CHANGED, LEFT_OUT)),
                         "the repair read more of the CD than the two files it copies again")
        self.log_has(run, "Checking the installed files against %s ..." % RELEASE, "copying again: " + CHANGED,
                     "copying again: " + LEFT_OUT, "The CD is %s." % RELEASE)
        self.assertEqual(len([l for l in run.log if l.startswith("copying again: ")]), 2, "\n".join(run.log))
        self.assertEqual(e2e.tree_differences(self.expected_cd, game_cd), [])
        changed = [p for p, t in stamps.items() if os.stat(os.path.join(game_cd, p)).st_mtime_ns != t]
        self.assertEqual(changed, [os.path.join(*CHANGED.split("\\"))], "files were written that were right")


class DamagedInTheWindow(e2e.WindowTestCase):
    forms = "tree,iso"

    def test_read_again_then_keep(self):
        target = os.path.join(self.tmp, "kept")
        proc = self.start("/cd", self.wp.winpath(bad_image(self)), "/dir", self.wp.winpath(target))
        self.assertEqual(self.ctl("click", self.TITLE, "Install"), 0)
        # Read again: the image gives the same byte, and the box comes back.
        self.assertIn(CHANGED, self.answer("retry"))
        self.assertIn(CHANGED, self.answer("skip"))
        self.wait_status("Tovek Zarnith is installed.")
        log = e2e.setup_log(self.wp)
        self.assertLess(log.index("Reading the damaged files again ..."),
                        log.index("The player keeps the install with the files named above as they are"), log)
        self.assertEqual(log[-1], "Done.")
        self.assertEqual(self.ctl("click", self.TITLE, "Close"), 0)
        self.assertEqual(proc.wait(timeout=60), 0)


if __name__ == "__main__":
    e2e.main()
