"""The checks an install makes before it writes anything (the folder's form, a copy onto itself, the path
limit, free space), each failing with its own line and nothing created; and the causes a failing copy
gives: a disk that fills up in the middle of a file, an image that ends early."""
import os
import re
import time

import e2e
import make_cd

MIB = 1024 * 1024
EXAMPLE = "C:\\Games\\Tovek Zarnith PC"
DISK_FULL = "(error 112: "


class InstallChecks(e2e.WineTestCase):
    forms = "tree,iso"
    links = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # What the copy writes: the CD down to 16 folder levels.
        cls.cd_bytes = e2e.folder_bytes(cls.expected_cd)
        cls.longest = max(len(p) for p in e2e.listing(cls.expected_cd))

    def refused(self, cd, folder, line, cwd=None):
        """Runs an install that must fail before writing: exit code 1, the log ends with `line`."""
        self.assert_failed(self.install(cd, folder, cwd=cwd), "Install to " + folder, "ERROR: " + line)

    def needed(self, cd_tree):
        """Bytes an install of the CD folder needs: the CD, both programs and the game's writable files."""
        writable = sum(e2e.folder_bytes(os.path.join(cd_tree, n)) for n in ("VELTRIS", "SOUND"))
        writable += os.path.getsize(os.path.join(cd_tree, "GAME.CFG"))
        return e2e.folder_bytes(cd_tree) + os.path.getsize(e2e.PAYLOAD) + os.path.getsize(e2e.SETUP_EXE) + writable

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
        cd_tree = self.cd_copy("cd-with-room")
        before = e2e.listing(cd_tree, sizes=True)
        cd = self.wp.winpath(cd_tree)
        for folder in (cd + "\\Installed", cd, cd.lower() + "/sub/"):
            with self.subTest(folder=folder):
                self.refused(cd, folder, "the install folder %s lies inside the CD folder %s: choose a folder "
                             "outside it" % (folder, cd))
        self.assertEqual(e2e.listing(cd_tree, sizes=True), before)

        # An existing install's own copy as the CD: each file would be emptied before it is read.
        folder = "C:\\Games\\Self Copy"
        host = self.installed(self.cd, folder).host
        before = e2e.listing(host, sizes=True)
        for cd in (folder + "\\game\\cd", folder + "\\GAME\\CD\\"):
            with self.subTest(cd=cd):
                self.refused(cd, folder, "the CD source %s lies inside %s\\game\\cd, the copy that this install "
                             "would replace: copy the CD elsewhere first, or install into another folder"
                             % (cd.rstrip("\\"), folder))
        self.assertEqual(e2e.listing(host, sizes=True), before)

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

        self.assert_installed(self.install(self.cd, too_long[:-1]))

    def test_free_space(self):
        need = self.needed(self.cd)
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
            self.assertEqual(self.install(self.cd, folder).code, 0)
            self.assertLess(e2e.free_bytes(mnt), self.cd_bytes, "the drive must be too small for a second CD")
            self.assert_installed(self.install(self.cd, folder))

    def fill_while_copying(self, cd, cd_tree, mnt, folder):
        """Starts an install, and once the copy has begun fills the drive from here: the check passed,
        the copy runs out of space in the middle of a file. Returns the setup's exit code."""
        copy_dir = os.path.join(mnt, folder.split("\\")[-1], "game", "cd")
        setup = self.start_install(cd, folder)
        end = time.time() + 300
        while not os.path.isdir(copy_dir) and setup.poll() is None and time.time() < end:
            time.sleep(0.005)
        self.assertIsNone(setup.poll(), "the install ended before its copy could be caught")
        # Unbuffered: a short write leaves nothing behind for the close to fail on.
        with open(os.path.join(mnt, "filler"), "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * MIB)
            except OSError:
                pass
        return setup.wait(timeout=600)

    def test_disk_fills_up_in_the_middle_of_a_file(self):
        # A CD with one big file, so that the copy is still running when the drive fills.
        cd_tree = self.cd_copy("cd-with-movie", {"MOVIES/M01.AVI": os.urandom(MIB) * 150})
        iso = os.path.join(self.tmp, "cd-with-movie.iso")
        make_cd.write_iso(cd_tree, iso)
        size = self.needed(cd_tree) + 8 * MIB
        for name, cd in (("folder", self.wp.winpath(cd_tree)), ("image", self.wp.winpath(iso))):
            with self.subTest(source=name), \
                    e2e.small_disk(self, os.path.join(self.tmp, "fills-" + name), "%dk" % (size // 1024)) as mnt:
                folder = self.wp.winpath(mnt) + "\\TZ"
                self.assertEqual(self.fill_while_copying(cd, cd_tree, mnt, folder), 1)
                log = e2e.setup_log(self.wp)
                self.assertEqual(log[-2], "ERROR: copying the CD failed")
                self.assertTrue(log[-1].startswith("Rolled back: "), log[-1])
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
        whole = e2e.read(os.path.join(self.out, "cd.iso"))
        cut = os.path.join(self.tmp, "cut.iso")
        e2e.write(cut, whole[:len(whole) * 3 // 4])
        log = self.assert_rolled_back(self.install(cut, "C:\\Games\\From Cut Image"), "ERROR: copying the CD failed").log
        errors = [l for l in log if l.startswith("read error in ")]
        # One line per failing file: each copy worker that had a file in flight may name its own.
        self.assertTrue(1 <= len(errors) <= 4, log)
        for line in errors:
            m = re.match(r"^read error in ([^ ]+) \((.+) in image (.+)\): the image ends early: it may be incomplete$",
                         line)
            self.assertTrue(m, line)
            self.assertEqual(m.group(3), self.wp.winpath(cut))
            self.assertEqual(m.group(2).split("\\")[-1], m.group(1))
            self.assertTrue(os.path.isfile(os.path.join(self.cd, *m.group(2).split("\\"))), m.group(2))


if __name__ == "__main__":
    e2e.main()
