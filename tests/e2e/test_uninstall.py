"""The uninstaller: its registry entry and copy after a silent install, a removal started the way the
list of installed apps starts it (quiet, and with its message boxes answered from here), the folders a
removal must leave alone, and no removal while a setup runs."""
import os
import time

import e2e


class Uninstall(e2e.WindowTestCase):
    CAPTION = "Tovek Zarnith uninstall"
    first_installs = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.shortcuts = e2e.shortcuts(cls.wp)
        cls.temp = cls.wp.user_folder("Temp")
        cls.setup_bytes = e2e.read(e2e.SETUP_EXE)

    # ---- helpers ----

    def values(self):
        return e2e.uninstall_entry(self.wp)

    def uninstall_command(self):
        values = self.values()
        self.assertIsNotNone(values, "no uninstall key")
        return values["UninstallString"][1]

    def snapshot(self, folder):
        """Every path under folder, the links and the key: what a refused or declined removal must keep."""
        return e2e.listing(folder), [os.path.lexists(link) for link in self.shortcuts], self.values()


    # ---- tests ----

    def test_registration_values(self):
        folder = "C:\\Games\\Tovek Zarnith PC"
        days = [time.strftime("%Y%m%d")]  # the prefix keeps the host's time zone
        host = self.installed(self.cd, folder).host
        days.append(time.strftime("%Y%m%d"))
        kib = (e2e.folder_bytes(self.expected_cd) + 20 * 1024 * 1024) // 1024
        values = self.values()
        self.assertIn(values.pop("InstallDate", None), [("REG_SZ", day) for day in days],
                      "not the day of the install")
        self.assertEqual(values, {
            "DisplayName": ("REG_SZ", "Tovek Zarnith (PC Native)"),
            "DisplayVersion": ("REG_SZ", e2e.version_info()["ProductVersion"]),
            "UninstallString": ("REG_SZ", '"C:\\Games\\Tovek Zarnith PC\\uninstall.exe" /uninstall'),
            "QuietUninstallString": ("REG_SZ", '"C:\\Games\\Tovek Zarnith PC\\uninstall.exe" /uninstall /quiet'),
            "DisplayIcon": ("REG_SZ", "C:\\Games\\Tovek Zarnith PC\\zarnith.exe,0"),
            "InstallLocation": ("REG_SZ", folder),
            "Publisher": ("REG_SZ", "PC Native port (fan project)"),
            "EstimatedSize": ("REG_DWORD", "0x%x" % kib),
            "NoModify": ("REG_DWORD", "0x1"),
            "NoRepair": ("REG_DWORD", "0x1"),
        })
        self.assertEqual(e2e.read(os.path.join(host, "uninstall.exe")), self.setup_bytes)

        # A reinstall elsewhere rewrites the one entry.
        self.installed(self.cd, "C:\\Elsewhere\\TZ")
        self.assertEqual(self.values()["InstallLocation"], ("REG_SZ", "C:\\Elsewhere\\TZ"))
        self.assertEqual(self.values()["UninstallString"][1], '"C:\\Elsewhere\\TZ\\uninstall.exe" /uninstall')

    def test_quiet_removal_from_the_registered_command(self):
        folder = "C:\\Games\\Quiet Removal"
        host = self.installed(self.cd, folder).host
        game = os.path.join(host, "game")
        # Files the game itself writes beside its executable go too.
        for name in ("zarnith_pc.ini", "zarnith.log"):
            e2e.write(os.path.join(host, name), "x")
        self.assertTrue(all(os.path.isfile(link) for link in self.shortcuts))
        command = self.uninstall_command() + " /quiet"

        self.assertEqual(self.ctl("run", command), 0, "first stage exit code")
        self.assertEqual(e2e.wait_gone(host), [], "the install folder is still there")
        # Read before any other Wine command: the next session start is a restart for Wine.
        pending = e2e.pending_renames(self.wp)
        copy = os.path.join(self.temp, "zarnith_uninstall.exe")
        self.assertRegex(pending, r"^\\\?\?\\C:\\users\\[^\\]+\\Temp\\zarnith_uninstall\.exe\\0\\0$")
        self.assertEqual(e2e.read(copy), self.setup_bytes, "the temporary copy lives until the restart")

        self.assertFalse(any(os.path.lexists(link) for link in self.shortcuts), "a link is left")
        self.assertIsNone(self.values(), "the uninstall key is left")
        self.assertFalse(os.path.exists(game))
        self.assertTrue(os.path.isdir(self.wp.c_drive("Games")), "the parent folder must stay")
        e2e.restart_windows(self.wp)
        self.assertFalse(os.path.exists(copy), "the restart did not delete the temporary copy")

    def test_second_stage_exit_code_and_user_files(self):
        folder = "C:\\Games\\Keeps Mine"
        host = self.installed(self.cd, folder).host
        e2e.write(os.path.join(host, "my notes.txt"), "mine")
        os.makedirs(os.path.join(host, "mods"))
        rc = self.second_stage(folder)
        self.assertEqual(rc, 0)
        self.assertTrue(e2e.pending_renames(self.wp).endswith("\\Temp\\zarnith_uninstall.exe\\0\\0"))
        self.assertEqual(sorted(os.listdir(host)), ["mods", "my notes.txt"])
        self.assertIsNone(self.values())
        self.assertFalse(any(os.path.lexists(link) for link in self.shortcuts))
        e2e.restart_windows(self.wp)

    def test_removal_never_follows_a_link_out_of_the_game_folder(self):
        folder = "C:\\Games\\Linked Saves"
        host = self.installed(self.cd, folder).host
        # A player who keeps the saved games elsewhere and links them in (Wine shows a host symbolic
        # link as a folder link).
        elsewhere = os.path.join(self.tmp, "my-saves")
        os.makedirs(os.path.join(elsewhere, "old"))
        for name in ("slot1.sav", os.path.join("old", "slot0.sav")):
            e2e.write(os.path.join(elsewhere, name), "precious")
        os.symlink(elsewhere, os.path.join(host, "game", "hd", "SAVES LINK"))
        os.symlink(os.path.join(elsewhere, "slot1.sav"), os.path.join(host, "game", "hd", "slot1.sav"))
        rc = self.second_stage(folder)
        self.assertEqual(rc, 0)
        self.assertEqual(sorted(os.listdir(elsewhere)), ["old", "slot1.sav"], "a link was followed")
        self.assertEqual(e2e.read(os.path.join(elsewhere, "slot1.sav")), b"precious")
        self.assertEqual(e2e.read(os.path.join(elsewhere, "old", "slot0.sav")), b"precious")
        # Wine would delete a link's target instead of the link, so the links (and the folders that
        # hold them) stay; everything else of the install is gone.
        self.assertEqual(e2e.listing(host), ["game", os.path.join("game", "hd"),
                                             os.path.join("game", "hd", "SAVES LINK"),
                                             os.path.join("game", "hd", "slot1.sav")])
        self.assertIsNone(self.values())
        e2e.restart_windows(self.wp)

    def test_confirmation_no_then_yes(self):
        folder = "C:\\Games\\Asked First"
        host = self.installed(self.cd, folder).host
        before = self.snapshot(host)
        command = self.uninstall_command()

        first = self.start_ctl("run", command)
        self.assertEqual(self.answer("no"), "Remove Tovek Zarnith (PC Native) and its saved games?")
        self.assertEqual(first.wait(timeout=60), 0, "first stage exit code after No")
        time.sleep(2)
        self.assertEqual(self.snapshot(host), before, "No changed something")
        self.assertFalse(os.path.exists(os.path.join(self.temp, "zarnith_uninstall.exe")))

        first = self.start_ctl("run", command)
        self.assertEqual(self.answer("yes"), "Remove Tovek Zarnith (PC Native) and its saved games?")
        self.assertEqual(self.answer("ok"), "Tovek Zarnith has been removed.")
        self.assertEqual(first.wait(timeout=60), 0)
        self.assertEqual(e2e.wait_gone(host), [])
        self.assertIsNone(self.values())
        e2e.restart_windows(self.wp)

    def test_a_removal_while_a_setup_runs_changes_nothing(self):
        folder = "C:\\Games\\Not Now"
        host = self.installed(self.cd, folder).host
        before, command = self.snapshot(host), self.uninstall_command()
        copy = os.path.join(self.temp, "zarnith_uninstall.exe")
        e2e.restart_windows(self.wp)  # no deletion asked by another test stays pending
        if os.path.exists(copy):
            os.remove(copy)
        setup = self.start("/dir", "C:\\Games\\Unused")
        log = e2e.setup_log(self.wp)

        first = self.start_ctl("run", command)
        self.assertEqual(self.answer("ok"), e2e.ALREADY_RUNNING)
        self.assertEqual(first.wait(timeout=60), 0)
        # Quiet, both stages end by themselves, and the first places no copy to start the second.
        self.assertEqual(self.ctl("run", command + " /quiet"), 0)
        self.assertFalse(os.path.exists(copy), "the first stage went on")
        self.assertEqual(self.second_stage(folder), 0)
        self.assertEqual(self.snapshot(host), before)
        self.assertEqual(e2e.setup_log(self.wp), log, "the removal wrote into the setup's log")
        self.assertEqual(self.ctl("close", self.TITLE), 0)
        self.assertEqual(setup.wait(timeout=60), 0)
        # That stage, without its turn, still has its temporary copy deleted at the restart.
        self.assertTrue(e2e.pending_renames(self.wp).endswith("\\Temp\\zarnith_uninstall.exe\\0\\0"))
        e2e.restart_windows(self.wp)
        self.assertFalse(os.path.exists(copy), "the restart left the temporary copy")

    def test_installed_uninstaller_as_setup_keeps_itself(self):
        folder = "C:\\Games\\Reinstall"
        host = self.installed(self.cd, folder).host
        uninstaller = os.path.join(host, "uninstall.exe")
        # The same folder written three ways: as registered, with a trailing backslash, and in another
        # letter case with forward slashes; none may copy the program onto itself.
        for target in (folder, folder + "\\", "c:/games/REINSTALL"):
            self.assertEqual(self.install(self.cd, target, exe=uninstaller).code, 0, target)
            self.assertEqual(e2e.read(uninstaller), self.setup_bytes, "uninstall.exe damaged by /dir " + target)
        # Installing from it into another folder copies it there.
        self.assertEqual(self.install(self.cd, "C:\\Games\\Copied On", exe=uninstaller).code, 0)
        self.assertEqual(e2e.read(self.wp.c_drive("Games", "Copied On", "uninstall.exe")), self.setup_bytes)

    def test_a_file_in_use_is_reported_and_a_second_removal_finishes(self):
        folder = "C:\\Games\\Held Open"
        host = self.installed(self.cd, folder).host
        held = os.path.join(host, "game", "cd", "3DGAME.EXE")
        holder, release = self.hold_open(folder + "\\game\\cd\\3DGAME.EXE")
        try:
            first = self.start_ctl("run", self.uninstall_command())
            self.assertEqual(self.answer("yes"), "Remove Tovek Zarnith (PC Native) and its saved games?")
            self.assertEqual(self.answer("ok"),
                             "Tovek Zarnith has been removed, but some files could not be deleted: " + folder)
            self.assertEqual(first.wait(timeout=60), 0)
            # Everything else went; the record stays with the file, for a second removal to find it.
            self.assertEqual(e2e.listing(host), ["game", "game/cd", "game/cd/3DGAME.EXE", "installed_files.txt"])
            self.assertIsNone(self.values())
            self.assertFalse(any(os.path.lexists(link) for link in self.shortcuts))
            # Quiet, the same removal shows no box: the run ends by itself.
            self.assertEqual(self.second_stage(folder), 0)
            self.assertTrue(os.path.isfile(held))
        finally:
            if holder.poll() is None:
                release()
        second = self.second_stage(folder, quiet=False)
        self.assertEqual(self.answer("ok"), "Tovek Zarnith has been removed.")
        self.assertEqual(second.wait(timeout=60), 0)
        self.assertEqual(e2e.wait_gone(host), [])
        e2e.restart_windows(self.wp)

    def test_folders_that_are_no_install_are_left_alone(self):
        folder = "C:\\Games\\Real Install"
        host = self.installed(self.cd, folder).host
        real = self.snapshot(host)

        # A copy of the setup in a downloads folder, started with /uninstall: that folder is taken as
        # the install folder, and it holds someone else's "game" and logs.
        downloads = self.wp.c_drive("Downloads Here")
        os.makedirs(os.path.join(downloads, "game", "saves"))
        for name in ("game/saves/slot1.sav", "setup.log", "zarnith.log"):
            e2e.write(os.path.join(downloads, name), "someone else's")
        setup_copy = e2e.beside_setup(self.wp, "C:\\Downloads Here")
        others = self.snapshot(downloads)
        self.assertEqual(self.run_setup("/uninstall", "/quiet", exe=setup_copy, timeout=120).code, 0)
        time.sleep(3)
        self.wp.wait_idle()
        self.assertEqual(self.snapshot(downloads), others)
        e2e.restart_windows(self.wp)  # that run's temporary copy goes

        # A drive root that looks like an install, an empty folder argument, and a path through "..".
        root_game = self.wp.c_drive("game")
        os.makedirs(os.path.join(root_game, "hd"))
        e2e.write(os.path.join(root_game, "hd", "GAME.CFG"), "x")
        e2e.write(self.wp.c_drive("zarnith.exe"), "x")
        # Run from a copy in the prefix: should it wrongly ask for its own deletion, the restart takes
        # that copy and not the build's setup.exe.
        tool = e2e.beside_setup(self.wp, "C:\\Tools")
        for args in (["/uninstall2", "C:\\", "/quiet"], ["/uninstall2", "C:", "/quiet"],
                     ["/uninstall2", "", "/quiet"], ["/uninstall2", folder + "\\..\\..", "/quiet"],
                     ["/uninstall2", "Games\\Real Install", "/quiet"]):
            self.assertEqual(self.run_setup(*args, exe=tool, timeout=120).code, 0, args)
            # A second stage that is not the temporary copy never asks for its own deletion.
            self.assertEqual(e2e.pending_renames(self.wp), "", args)
        # Asked without /quiet, the refusal is reported, not called a removal.
        second = self.start_setup("/uninstall2", "C:\\", exe=tool)
        self.assertEqual(self.answer("ok"), "Nothing was removed: 'C:\\' is not a Tovek Zarnith install folder.")
        self.assertEqual(second.wait(timeout=60), 0)
        self.assertTrue(os.path.isfile(os.path.join(root_game, "hd", "GAME.CFG")))
        self.assertTrue(os.path.isfile(self.wp.c_drive("zarnith.exe")))
        self.assertEqual(self.snapshot(host), real, "the real install was touched")

if __name__ == "__main__":
    e2e.main()
