"""Silent installs from a CD folder and from a CD drive, the command line, and the failures a user meets."""
import os
import shutil
import subprocess
import unittest

import e2e

DEFAULT_DIR = "C:\\Games\\Tovek Zarnith PC"


class FolderInstall(e2e.WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cd = e2e.sample_tree()
        cls.expected_cd = os.path.join(cls.tmp, "expected-cd")
        e2e.limit_depth(cls.cd, cls.expected_cd, 16)

    def install(self, *args):
        return e2e.run_setup(self.wp, list(args))

    def fresh(self, name):
        d = os.path.join(self.tmp, name)
        self.assertFalse(os.path.exists(d))
        return d

    def fake_cd(self, name, leave_out=()):
        """A folder with the four marker files and the files the setup needs, less those left out."""
        d = os.path.join(self.tmp, name)
        for rel in ["3DGAME.EXE", "MCP.EXE", "VILLAGE1.EXE", "VELTRIS/INTRO.DAT", "GAME.CFG"]:
            if rel in leave_out:
                continue
            os.makedirs(os.path.dirname(os.path.join(d, rel)), exist_ok=True)
            shutil.copy(os.path.join(self.cd, rel), os.path.join(d, rel))
        return d

    def test_complete_install_from_folder(self):
        target = self.fresh("full")
        win_target = self.wp.winpath(target)
        win_cd = self.wp.winpath(self.cd)
        self.assertEqual(self.install("/silent", "/cd", win_cd, "/dir", win_target), 0)

        diffs = e2e.tree_differences(self.expected_cd, os.path.join(target, "game", "cd"))
        self.assertEqual(diffs, [], "game\\cd must equal the CD down to depth 16")
        hd = os.path.join(target, "game", "hd")
        self.assertEqual(e2e.read(os.path.join(hd, "GAME.CFG")),
                         e2e.read(os.path.join(self.cd, "GAME.CFG")))
        veltris_files = sorted(n for n in os.listdir(os.path.join(self.cd, "VELTRIS"))
                               if os.path.isfile(os.path.join(self.cd, "VELTRIS", n)))
        self.assertEqual(sorted(os.listdir(os.path.join(hd, "VELTRIS"))), veltris_files,
                         "VELTRIS gets its files without subfolders")
        self.assertEqual(sorted(os.listdir(os.path.join(hd, "SOUND"))),
                         sorted(b + ".ASL" for b in e2e.SOUND_BANKS))
        self.assertEqual(os.listdir(os.path.join(hd, "SAVEGAME")), [])
        # Here the emblem went into its resources (byte equality is checked without a picture, below);
        # the game must still run and find its layout.
        self.assertEqual(self.wp.run(os.path.join(target, "zarnith.exe"), ["/check"]), 0,
                         "the stand-in game finds a complete layout")

        log = e2e.setup_log(self.wp)
        self.assertEqual(log[0], "setup started")
        self.assertTrue(log[1].startswith("defaults: cd '") and log[1].endswith("' dir '%s'" % DEFAULT_DIR), log[1])
        self.assertEqual(log[2:], ["Install to " + win_target, "Copying folder %s ..." % win_cd,
                                   "Setting up the game files ...", "Done."])

    def test_payload_written_byte_for_byte_without_emblem(self):
        cd = os.path.join(self.tmp, "cd-without-picture")
        e2e.copy_tree(self.cd, cd)
        os.remove(os.path.join(cd, "INTRO", "DATA", "A.LBM"))
        target = self.fresh("no-picture")
        self.assertEqual(self.install("/silent", "/cd", self.wp.winpath(cd), "/dir", self.wp.winpath(target)), 0)
        with open(os.path.join(target, "zarnith.exe"), "rb") as a, open(e2e.PAYLOAD, "rb") as b:
            self.assertEqual(a.read(), b.read(), "zarnith.exe must be the payload byte for byte")

    def test_not_the_game_cd(self):
        for missing in ["3DGAME.EXE", "MCP.EXE", "VILLAGE1.EXE", "VELTRIS/INTRO.DAT"]:
            with self.subTest(missing=missing):
                cd = self.fake_cd("fake-" + missing.replace("/", "_"), leave_out=(missing,))
                target = self.fresh("t-" + missing.replace("/", "_"))
                self.assertEqual(self.install("/silent", "/cd", self.wp.winpath(cd), "/dir",
                                              self.wp.winpath(target)), 1)
                self.assertEqual(e2e.setup_log(self.wp)[-1], "ERROR: this is not the Tovek Zarnith CD")
                self.assertFalse(os.path.exists(target), "nothing is created for a wrong CD")

    def test_missing_or_empty_cd_argument(self):
        for args in (["/silent", "/dir", "C:\\x1", "/cd", ""], ["/silent", "/dir", "C:\\x2", "/cd"],
                     ["/silent", "/cd", "C:\\no\\such\\folder", "/dir", "C:\\x3"]):
            with self.subTest(args=args):
                self.assertEqual(self.install(*args), 1)
                self.assertEqual(e2e.setup_log(self.wp)[-1],
                                 "ERROR: the CD is not a readable disc, image or folder")

    def test_install_folder_that_cannot_be_created(self):
        blocker = os.path.join(self.tmp, "a-file")
        e2e.write(blocker, "not a folder")
        target = self.wp.winpath(blocker) + "\\Game"
        self.assertEqual(self.install("/silent", "/cd", self.wp.winpath(self.cd), "/dir", target), 1)
        self.assertEqual(e2e.setup_log(self.wp)[-1], "ERROR: cannot create the install folder")

    def test_empty_install_folder_is_refused(self):
        before = set(os.listdir(self.wp.c_drive()))
        for args in (["/silent", "/cd", self.wp.winpath(self.cd), "/dir", ""],
                     ["/silent", "/cd", self.wp.winpath(self.cd), "/dir"]):
            with self.subTest(args=args):
                self.assertEqual(self.install(*args), 1)
                self.assertEqual(e2e.setup_log(self.wp)[-2:], ["Install to ", "ERROR: cannot create the install folder"])
        self.assertEqual(set(os.listdir(self.wp.c_drive())), before, "nothing may land at the drive root")

    def test_missing_sound_bank_and_reinstall_keeps_player_files(self):
        cd = os.path.join(self.tmp, "cd-without-bank")
        e2e.copy_tree(self.cd, cd)
        os.remove(os.path.join(cd, "SOUND", "MAGIC.ASL"))
        target = self.fresh("reinstall")
        args = ["/silent", "/cd", self.wp.winpath(cd), "/dir", self.wp.winpath(target)]
        self.assertEqual(self.install(*args), 0)
        log = e2e.setup_log(self.wp)
        bank = self.wp.winpath(target) + "\\game\\cd\\SOUND\\MAGIC.ASL"
        self.assertEqual([l for l in log if l.startswith("cannot")], ["cannot read " + bank])
        self.assertEqual(log[-1], "Done.")

        hd = os.path.join(target, "game", "hd")
        with open(os.path.join(hd, "GAME.CFG"), "w") as f:
            f.write("player's own settings")
        with open(os.path.join(hd, "SAVEGAME", "SLOT1.SAV"), "w") as f:
            f.write("saved game")
        with open(os.path.join(target, "game", "cd", "EXTRA.TXT"), "w") as f:
            f.write("left alone")
        self.assertEqual(self.install(*args), 0)
        self.assertEqual(e2e.read(os.path.join(hd, "GAME.CFG"), "r"), "player's own settings")
        self.assertEqual(e2e.read(os.path.join(hd, "SAVEGAME", "SLOT1.SAV"), "r"), "saved game")
        self.assertTrue(os.path.isfile(os.path.join(target, "game", "cd", "EXTRA.TXT")))

    def test_command_line_rules(self):
        cd = self.wp.winpath(self.cd)
        # Any letter case; "/dir" twice: the last one wins.
        first, second = self.fresh("first"), self.fresh("second")
        self.assertEqual(self.install("/SILENT", "/Cd", cd, "/DIR", self.wp.winpath(first),
                                      "/dIr", self.wp.winpath(second), "/NoDesktop", "/NOSTARTMENU"), 0)
        self.assertFalse(os.path.exists(first))
        self.assertTrue(os.path.isfile(os.path.join(second, "zarnith.exe")))

        # "/uninstall2" without a folder starts the setup normally.
        self.assertEqual(self.install("/silent", "/cd", cd, "/dir", self.wp.winpath(self.fresh("u2")),
                                      "/uninstall2"), 0)
        self.assertEqual(e2e.setup_log(self.wp)[0], "setup started")
        self.assertTrue(os.path.isfile(os.path.join(self.tmp, "u2", "zarnith.exe")))

        # A path dropped on setup.exe arrives as its only argument: an existing one is the CD; "/cd" wins over
        # it, and a bare word that names nothing is ignored as before.
        dropped = self.fresh("dropped")
        self.assertEqual(self.install("/silent", "no-such-cd", cd, "/dir", self.wp.winpath(dropped)), 0)
        self.assertTrue(os.path.isfile(os.path.join(dropped, "zarnith.exe")))
        self.assertEqual(self.install("/silent", cd, "/cd", self.wp.winpath(self.fresh("none")), "/dir",
                                      self.wp.winpath(self.fresh("explicit"))), 1)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "explicit", "zarnith.exe")))


class DriveDetection(e2e.WineTestCase):
    """A CD drive of the prefix that holds the game CD is found without "/cd"; another disc is passed over."""

    def set_cdrom(self, letter, folder):
        link = os.path.join(self.wp.prefix, "dosdevices", letter + ":")
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(folder, link)
        self.assertEqual(subprocess.run(["wine", "reg", "add", "HKLM\\Software\\Wine\\Drives", "/v",
                                         letter + ":", "/t", "REG_SZ", "/d", "cdrom", "/f"], env=self.wp.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode, 0)

    def test_cd_drive_found(self):
        cd = e2e.sample_tree()
        other = os.path.join(self.tmp, "other-disc")
        os.makedirs(os.path.join(other, "DATA"))
        e2e.write(os.path.join(other, "README.TXT"), "another game")
        self.set_cdrom("m", other)
        self.set_cdrom("n", cd)
        self.wp.restart()
        target = os.path.join(self.tmp, "from-drive")
        self.assertEqual(e2e.run_setup(self.wp, ["/silent", "/dir", self.wp.winpath(target)]), 0)
        log = e2e.setup_log(self.wp)
        self.assertEqual(log[1], "defaults: cd 'N:\\' dir '%s'" % DEFAULT_DIR)
        self.assertEqual(log[-1], "Done.")
        # Read by one reader from a CD drive, the copy is the same as from any folder, byte for byte.
        expected = os.path.join(self.tmp, "expected-cd")
        e2e.limit_depth(cd, expected, 16)
        self.assertEqual(e2e.tree_differences(expected, os.path.join(target, "game", "cd")), [])


if __name__ == "__main__":
    e2e.main()
