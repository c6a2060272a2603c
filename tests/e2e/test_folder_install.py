"""Silent installs from a CD folder and from a CD drive, the command line, and the failures a user meets."""
import os
import re
import shutil
import subprocess

import e2e
import make_cd

DEFAULT_DIR = "C:\\Games\\Tovek Zarnith PC"


class FolderInstall(e2e.WineTestCase):
    forms = "tree,iso"

    def fake_cd(self, name, leave_out=()):
        """A folder with the four marker files and the files the setup needs, less those left out."""
        d = os.path.join(self.tmp, name)
        for rel in e2e.MARKERS + ["GAME.CFG"]:
            if rel in leave_out:
                continue
            os.makedirs(os.path.dirname(os.path.join(d, rel)), exist_ok=True)
            shutil.copy(os.path.join(self.cd, rel), os.path.join(d, rel))
        return d

    def test_complete_install_from_folder(self):
        run = self.assert_installed(self.install(self.cd, self.fresh("full")))
        hd = os.path.join(run.host, "game", "hd")
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
        self.assertEqual(self.wp.run(os.path.join(run.host, "zarnith.exe"), ["/check"]), 0,
                         "the stand-in game finds a complete layout")

        log = run.log
        self.assertEqual(log[0], "setup started")
        self.assertTrue(log[1].startswith("defaults: cd '") and log[1].endswith("' dir '%s'" % DEFAULT_DIR), log[1])
        self.assertEqual(log[2:], ["Install to " + run.folder, "Copying folder %s ..." % self.wp.winpath(self.cd),
                                   "The CD is %s." % make_cd.SAMPLE_RELEASE, "Setting up the game files ...",
                                   "Writing the emblem into zarnith.exe", "Done."])

    def test_payload_written_byte_for_byte_without_emblem(self):
        # Without the list: with it, a CD without its picture is a damaged copy (test_releases).
        cd = self.cd_copy("cd-without-picture", {"INTRO/DATA/A.LBM": None})
        run = self.installed(cd, self.fresh("no-picture"), exe=e2e.SETUP_NOLIST)
        self.assertEqual(e2e.read(os.path.join(run.host, "zarnith.exe")), e2e.read(e2e.PAYLOAD),
                         "zarnith.exe must be the payload byte for byte")

    def test_not_the_game_cd(self):
        for missing in e2e.MARKERS:
            with self.subTest(missing=missing):
                cd = self.fake_cd("fake-" + missing.replace("/", "_"), leave_out=(missing,))
                target = self.fresh("t-" + missing.replace("/", "_"))
                run = self.assert_failed(self.install(cd, target), "ERROR: this is not the Tovek Zarnith CD")
                self.assertEqual(run.log[-2], "folder %s holds no %s" % (self.wp.winpath(cd), missing.replace("/", "\\")))
                self.assertFalse(os.path.exists(target), "nothing is created for a wrong CD")

    def test_a_folder_of_images_given_as_the_cd_installs_the_game_image_in_it(self):
        images = os.path.join(self.tmp, "my images")
        os.makedirs(images)
        e2e.write(os.path.join(images, "another game.iso"), b"not this game" * 1000)
        make_cd.link_or_copy(os.path.join(self.out, "cd.iso"), os.path.join(images, "tovek.iso"))
        run = self.assert_installed(self.install(images, self.fresh()))
        self.assertIn("Found the CD as %s" % self.wp.winpath(os.path.join(images, "tovek.iso")), run.log)

    def test_missing_or_empty_cd_argument(self):
        for args in (["/silent", "/dir", "C:\\x1", "/cd", ""], ["/silent", "/dir", "C:\\x2", "/cd"],
                     ["/silent", "/cd", "C:\\no\\such\\folder", "/dir", "C:\\x3"]):
            with self.subTest(args=args):
                self.assert_failed(self.run_setup(*args), e2e.NOT_READABLE)

    def test_install_folder_that_cannot_be_created(self):
        blocker = os.path.join(self.tmp, "a-file")
        e2e.write(blocker, "not a folder")
        folder = self.wp.winpath(blocker) + "\\Game"
        run = self.install(self.cd, folder)
        self.assertEqual(run.code, 1)
        self.assertRegex(run.log[-1], r"^ERROR: cannot create the install folder %s: %s is a file \(error 183: .+\)$"
                         % (re.escape(folder), re.escape(self.wp.winpath(blocker))))

    def test_empty_install_folder_is_refused(self):
        before = set(os.listdir(self.wp.c_drive()))
        for run in (self.install(self.cd, ""), self.run_setup("/silent", "/cd", self.wp.winpath(self.cd), "/dir")):
            self.assert_failed(run, "Install to ", "ERROR: cannot create the install folder")
        self.assertEqual(set(os.listdir(self.wp.c_drive())), before, "nothing may land at the drive root")

    def test_missing_sound_bank_and_reinstall_keeps_player_files(self):
        cd = self.cd_copy("cd-without-bank", {"SOUND/MAGIC.ASL": None})
        run = self.installed(cd, self.fresh("reinstall"), exe=e2e.SETUP_NOLIST)
        bank = run.folder + "\\game\\cd\\SOUND\\MAGIC.ASL"
        self.assertEqual([l for l in run.log if l.startswith("cannot")], ["cannot read " + bank])

        hd = os.path.join(run.host, "game", "hd")
        e2e.write(os.path.join(hd, "GAME.CFG"), "player's own settings")
        e2e.write(os.path.join(hd, "SAVEGAME", "SLOT1.SAV"), "saved game")
        e2e.write(os.path.join(run.host, "game", "cd", "EXTRA.TXT"), "left alone")
        self.assertEqual(self.install(cd, run.host, exe=e2e.SETUP_NOLIST).code, 0)
        self.assertEqual(e2e.read(os.path.join(hd, "GAME.CFG"), "r"), "player's own settings")
        self.assertEqual(e2e.read(os.path.join(hd, "SAVEGAME", "SLOT1.SAV"), "r"), "saved game")
        self.assertTrue(os.path.isfile(os.path.join(run.host, "game", "cd", "EXTRA.TXT")))

    def test_command_line_rules(self):
        cd = self.wp.winpath(self.cd)
        # Any letter case; "/dir" twice: the last one wins.
        first, second = self.fresh("first"), self.fresh("second")
        self.assertEqual(self.run_setup("/SILENT", "/Cd", cd, "/DIR", self.wp.winpath(first),
                                        "/dIr", self.wp.winpath(second), "/NoDesktop", "/NOSTARTMENU").code, 0)
        self.assertFalse(os.path.exists(first))
        self.assertTrue(os.path.isfile(os.path.join(second, "zarnith.exe")))

        # "/uninstall2" without a folder starts the setup normally.
        run = self.install(cd, self.fresh("u2"), "/uninstall2")
        self.assertEqual(run.code, 0)
        self.assertEqual(run.log[0], "setup started")
        self.assertTrue(os.path.isfile(os.path.join(run.host, "zarnith.exe")))

        # A path dropped on setup.exe arrives as its only argument: an existing one is the CD; "/cd" wins over it.
        dropped = self.fresh("dropped")
        self.assertEqual(self.run_setup("/silent", cd, "/dir", self.wp.winpath(dropped)).code, 0)
        self.assertTrue(os.path.isfile(os.path.join(dropped, "zarnith.exe")))
        self.assertEqual(self.run_setup("/silent", cd, "/cd", self.wp.winpath(self.fresh("none")), "/dir",
                                        self.wp.winpath(self.fresh("explicit"))).code, 1)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "explicit", "zarnith.exe")))

    def test_a_silent_run_with_a_word_it_does_not_understand_writes_nothing(self):
        cd = self.wp.winpath(self.cd)
        # An unquoted folder with a space, a mistyped switch (its value then names nothing either), a bare word.
        for args, unknown in ((["/cd", cd, "/dir", "C:\\Games\\My", "TZ"], ["TZ"]),
                              (["/cd", cd, "/dri", "C:\\Games\\My"], ["/dri", "C:\\Games\\My"]),
                              (["no-such-cd", "/dir", "C:\\Games\\My"], ["no-such-cd"])):
            with self.subTest(args=args):
                run = self.assert_failed(self.run_setup("/silent", *args), *[e2e.NOT_UNDERSTOOD % u for u in unknown])
                self.assertFalse(any(l.startswith("Install to") for l in run.log), "the install began")
                for target in ("C:\\Games\\My", DEFAULT_DIR):
                    self.assertFalse(os.path.exists(self.wp.host_path(target)), target)


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
        other = os.path.join(self.tmp, "other-disc")
        os.makedirs(os.path.join(other, "DATA"))
        e2e.write(os.path.join(other, "README.TXT"), "another game")
        self.set_cdrom("m", other)
        self.set_cdrom("n", self.cd)
        self.wp.restart()
        # Read by one reader from a CD drive, the copy is the same as from any folder, byte for byte.
        run = self.assert_installed(self.install(None, os.path.join(self.tmp, "from-drive")))
        self.assertEqual(run.log[1], "defaults: cd 'N:\\' dir '%s'" % DEFAULT_DIR)


if __name__ == "__main__":
    e2e.main()
