"""The checks an install makes before it writes anything (the folder's form, a copy onto itself, the path
limit, free space), each failing with its own line and nothing created; and the causes a failing copy
gives: a disk that fills up in the middle of a file, an image that ends early."""
import os
import re
import subprocess
import sys
import time
import unittest

import e2e

sys.path.insert(0, os.path.join(e2e.SOURCE, "tests", "tools"))
import make_cd  # noqa: E402

MIB = 1024 * 1024
EXAMPLE = "C:\\Games\\Tovek Zarnith PC"
DISK_FULL = "(error 112: "


def walk_bytes(folder):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(folder) for f in files)


def tree(folder):
    """Every path under folder with its size: what a refused install must leave as it was."""
    return sorted((os.path.relpath(os.path.join(d, n), folder), os.path.getsize(os.path.join(d, n)))
                  for d, dirs, files in os.walk(folder) for n in dirs + files)


class InstallChecks(e2e.WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cd_tree = e2e.sample_tree()
        cls.cd = cls.wp.winpath(cls.cd_tree)
        # What the copy writes: the CD down to 16 folder levels.
        cls.expected_cd = os.path.join(cls.tmp, "expected-cd")
        e2e.limit_depth(cls.cd_tree, cls.expected_cd, 16)
        cls.cd_bytes = walk_bytes(cls.expected_cd)
        cls.longest = max(len(os.path.relpath(os.path.join(d, n), cls.expected_cd))
                          for d, dirs, files in os.walk(cls.expected_cd) for n in dirs + files)

    def install(self, cd, folder, cwd=None):
        return self.wp.run(e2e.SETUP_EXE, ["/silent", "/nodesktop", "/nostartmenu", "/cd", cd, "/dir", folder],
                           cwd=cwd, timeout=900)

    def refused(self, cd, folder, line, cwd=None):
        """Runs an install that must fail before writing: exit code 1, the log ends with `line`."""
        self.assertEqual(self.install(cd, folder, cwd=cwd), 1, folder)
        log = e2e.setup_log(self.wp)
        self.assertEqual(log[-2:], ["Install to " + folder, "ERROR: " + line], folder)

    def needed(self, cd_tree):
        """Bytes an install of the CD folder needs: the CD, both programs and the game's writable files."""
        writable = (os.path.getsize(os.path.join(cd_tree, "GAME.CFG")) + walk_bytes(os.path.join(cd_tree, "VELTRIS"))
                    + walk_bytes(os.path.join(cd_tree, "SOUND")))
        return (walk_bytes(cd_tree) + os.path.getsize(e2e.PAYLOAD) + os.path.getsize(e2e.SETUP_EXE) + writable)

    def test_folders_that_are_no_install_folder(self):
        c_before = sorted(os.listdir(self.wp.c_drive()))
        cwd = os.path.join(self.tmp, "current")
        os.makedirs(cwd)
        for folder, line in [
            ("C:\\", 'the install folder "C:\\" is the root of a drive or share: choose a folder on it, such as '
                     + EXAMPLE),
            ("C:", 'the install folder "C:" is the root of a drive or share: choose a folder on it, such as '
                   + EXAMPLE),
            ("Games\\Tovek", 'the install folder "Games\\Tovek" is not a full path: give its drive and every '
                             'folder, such as ' + EXAMPLE),
            ("TZ", 'the install folder "TZ" is not a full path: give its drive and every folder, such as '
                   + EXAMPLE),
            ("C:\\Games\\..\\TZ", 'the install folder "C:\\Games\\..\\TZ" has a "." or ".." in it: give the '
                                  "folder's own path"),
        ]:
            with self.subTest(folder=folder):
                self.refused(self.cd, folder, line, cwd=cwd)
        self.assertEqual(sorted(os.listdir(self.wp.c_drive())), c_before, "something was created on C:")
        self.assertEqual(os.listdir(cwd), [], "something was created in the current folder")

    def test_a_copy_onto_itself_is_refused(self):
        # The install folder inside the CD folder: the copy would copy itself.
        cd_tree = os.path.join(self.tmp, "cd-with-room")
        e2e.copy_tree(self.cd_tree, cd_tree)
        before = tree(cd_tree)
        cd = self.wp.winpath(cd_tree)
        for folder in (cd + "\\Installed", cd, cd.lower() + "/sub/"):
            with self.subTest(folder=folder):
                self.refused(cd, folder, "the install folder %s lies inside the CD folder %s: choose a folder "
                             "outside it" % (folder, cd))
        self.assertEqual(tree(cd_tree), before)

        # An existing install's own copy as the CD: each file would be emptied before it is read.
        folder = "C:\\Games\\Self Copy"
        self.assertEqual(self.install(self.cd, folder), 0)
        host = self.wp.c_drive("Games", "Self Copy")
        before = tree(host)
        for cd in (folder + "\\game\\cd", folder + "\\GAME\\CD\\"):
            with self.subTest(cd=cd):
                self.refused(cd, folder, "the CD source %s lies inside %s\\game\\cd, the copy that this install "
                             "would replace: copy the CD elsewhere first, or install into another folder"
                             % (cd.rstrip("\\"), folder))
        self.assertEqual(tree(host), before)

    def test_path_limit(self):
        # A folder whose deepest file needs one character more than Windows allows, then one that fits.
        deepest_tail = len("\\game\\cd\\") + self.longest
        fits = 259 - deepest_tail
        too_long = "C:\\Long\\" + "x" * (fits + 1 - len("C:\\Long\\"))
        self.assertEqual(len(too_long), fits + 1)
        self.refused(self.cd, too_long, "the install folder is too long for this CD: its deepest file would need "
                     "260 characters, more than the Windows path limit of 259 (MAX_PATH); choose a folder of "
                     "at most %d characters" % fits)
        self.assertFalse(os.path.exists(self.wp.c_drive("Long")), "something was created")

        just = too_long[:-1]
        self.assertEqual(self.install(self.cd, just), 0)
        self.assertEqual(e2e.setup_log(self.wp)[-1], "Done.")
        host = self.wp.c_drive("Long", just.split("\\")[-1])
        self.assertEqual(e2e.tree_differences(self.expected_cd, os.path.join(host, "game", "cd")), [])

    def test_free_space(self):
        need = self.needed(self.cd_tree)
        with e2e.small_disk(self, os.path.join(self.tmp, "two-mb"), "2m") as mnt:
            folder = self.wp.winpath(mnt) + "\\Games\\TZ"
            free = e2e.free_bytes(mnt)
            self.refused(self.cd, folder, "not enough free space for %s: the install needs %d MB, the drive has "
                         "%d MB free; free some space or choose another drive"
                         % (folder, (need + MIB - 1) // MIB, free // MIB))
            self.assertEqual(os.listdir(mnt), [], "something was written to the full drive")

        # A reinstall replaces the earlier copy: on a drive with less free space than the CD, it fits
        # when that copy is counted.
        size = need + 4 * MIB
        with e2e.small_disk(self, os.path.join(self.tmp, "reinstall"), "%dk" % (size // 1024)) as mnt:
            folder = self.wp.winpath(mnt) + "\\TZ"
            self.assertEqual(self.install(self.cd, folder), 0)
            self.assertLess(e2e.free_bytes(mnt), self.cd_bytes, "the drive must be too small for a second CD")
            self.assertEqual(self.install(self.cd, folder), 0)
            self.assertEqual(e2e.setup_log(self.wp)[-1], "Done.")
            self.assertEqual(e2e.tree_differences(self.expected_cd, os.path.join(mnt, "TZ", "game", "cd")), [])

    def fill_while_copying(self, cd, cd_tree, mnt, folder):
        """Starts an install, and once the copy has begun fills the drive from here: the check passed,
        the copy runs out of space in the middle of a file. Returns the setup's exit code."""
        copy_dir = os.path.join(mnt, folder.split("\\")[-1], "game", "cd")
        setup = self.wp.start(e2e.SETUP_EXE, ["/silent", "/nodesktop", "/nostartmenu", "/cd", cd, "/dir", folder])
        try:
            end = time.time() + 300
            while not os.path.isdir(copy_dir) and setup.poll() is None and time.time() < end:
                time.sleep(0.005)
            self.assertIsNone(setup.poll(), "the install ended before its copy could be caught")
            with open(os.path.join(mnt, "filler"), "wb") as f:
                try:
                    while True:
                        f.write(b"\0" * MIB)
                        f.flush()
                except OSError:
                    pass
            return setup.wait(timeout=600)
        finally:
            if setup.poll() is None:
                setup.kill()

    def test_disk_fills_up_in_the_middle_of_a_file(self):
        # A CD with one big file, so that the copy is still running when the drive fills.
        cd_tree = os.path.join(self.tmp, "cd-with-movie")
        e2e.copy_tree(self.cd_tree, cd_tree)
        os.makedirs(os.path.join(cd_tree, "MOVIES"))
        with open(os.path.join(cd_tree, "MOVIES", "M01.AVI"), "wb") as f:
            f.write(os.urandom(MIB) * 150)
        iso = os.path.join(self.tmp, "cd-with-movie.iso")
        make_cd.write_iso(cd_tree, iso)
        size = self.needed(cd_tree) + 8 * MIB
        for name, cd in (("folder", self.wp.winpath(cd_tree)), ("image", self.wp.winpath(iso))):
            with self.subTest(source=name), \
                    e2e.small_disk(self, os.path.join(self.tmp, "fills-" + name), "%dk" % (size // 1024)) as mnt:
                folder = self.wp.winpath(mnt) + "\\TZ"
                self.assertEqual(self.fill_while_copying(cd, cd_tree, mnt, folder), 1)
                log = e2e.setup_log(self.wp)
                self.assertEqual(log[-1], "ERROR: copying the CD failed")
                failed = [l for l in log if l.startswith("write failed: ")]
                # One line per failing file: each copy worker that had a file in flight may name its own.
                self.assertTrue(1 <= len(failed) <= 4, log)
                for line in failed:
                    m = re.match(r"^write failed: (.+) \(error 112: (.+)\)$", line)
                    self.assertTrue(m, line)
                    self.assertTrue(m.group(1).startswith(folder + "\\game\\cd\\"), line)
                    self.assertTrue(m.group(2), "no system text for error 112")
                    # The file named is one the copy had begun.
                    rel = m.group(1)[len(folder + "\\game\\cd\\"):]
                    self.assertTrue(os.path.isfile(os.path.join(cd_tree, *rel.split("\\"))), rel)

    def test_truncated_image(self):
        out = e2e.sample_cd("small", "tree,iso")
        whole = e2e.read(os.path.join(out, "cd.iso"))
        cut = os.path.join(self.tmp, "cut.iso")
        e2e.write(cut, whole[:len(whole) * 3 // 4])
        folder = "C:\\Games\\From Cut Image"
        self.assertEqual(self.install(self.wp.winpath(cut), folder), 1)
        log = e2e.setup_log(self.wp)
        self.assertEqual(log[-1], "ERROR: copying the CD failed")
        errors = [l for l in log if l.startswith("read error in ")]
        # One line per failing file: each copy worker that had a file in flight may name its own.
        self.assertTrue(1 <= len(errors) <= 4, log)
        for line in errors:
            m = re.match(r"^read error in ([^ ]+) \((.+) in image (.+)\): the image ends early: it may be incomplete$",
                         line)
            self.assertTrue(m, line)
            self.assertEqual(m.group(3), self.wp.winpath(cut))
            self.assertEqual(m.group(2).split("\\")[-1], m.group(1))
            self.assertTrue(os.path.isfile(os.path.join(out, "tree", *m.group(2).split("\\"))), m.group(2))


if __name__ == "__main__":
    e2e.main()
