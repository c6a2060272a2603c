"""The uninstaller: its registry entry and copy after a silent install, a removal started the way the
list of installed apps starts it (quiet, and with its message boxes answered from here), and the
folders a removal must leave alone."""
import os
import re
import subprocess
import tempfile
import time
import unittest

import e2e

KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TovekZarnith_PCNative"
CAPTION = "Tovek Zarnith uninstall"
LINK = "Tovek Zarnith.lnk"
WINCTL = os.path.join(e2e.BUILD, "winctl.exe")
FILES = ["zarnith.exe", "uninstall.exe", "zarnith_pc.ini", "zarnith.log", "setup.log"]


def cd_bytes(root, max_depth=16):
    """What the setup counts as the CD's size: every file in folders down to max_depth levels."""
    total = 0
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        depth = 0 if rel == "." else rel.count(os.sep) + 1
        total += sum(os.path.getsize(os.path.join(dirpath, f)) for f in filenames)
        if depth >= max_depth:
            dirnames[:] = []
    return total


class Uninstall(e2e.WineTestCase):
    display = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cd_tree = e2e.sample_tree()
        cls.cd = cls.wp.winpath(cls.cd_tree)
        cls.links = [cls.wp.user_folder("AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs", LINK),
                     cls.wp.user_folder("Desktop", LINK)]
        cls.temp = cls.wp.user_folder("Temp")
        cls.setup_bytes = e2e.read(e2e.SETUP_EXE)

    # ---- helpers ----

    def host(self, winpath):
        """Host path of a path on drive C: of the prefix."""
        self.assertTrue(winpath.startswith("C:\\"))
        return self.wp.c_drive(*winpath[3:].split("\\"))

    def install(self, folder):
        rc = e2e.run_setup(self.wp, ["/silent", "/cd", self.cd, "/dir", folder])
        self.assertEqual(rc, 0, "silent install into %s" % folder)
        return self.host(folder)

    def values(self):
        """The uninstall key's values as {name: (type, data)}, or None when the key is missing."""
        rc, out = self.wp.reg_query(KEY)
        if rc != 0:
            return None
        found = {}
        for line in out.splitlines():
            m = re.match(r"^    (\S+)    (REG_\w+)    (.*)$", line)
            if m:
                found[m.group(1)] = (m.group(2), m.group(3))
        return found

    def winctl(self, *args, background=False):
        # Output goes through a file, not a pipe: Wine's session processes started meanwhile inherit
        # the descriptors and would hold a pipe open long after the tool has ended.
        out = tempfile.TemporaryFile(dir=self.tmp)
        command = ["wine", WINCTL] + list(args)
        if background:
            return subprocess.Popen(command, env=self.wp.env, stdout=out, stderr=subprocess.DEVNULL)
        rc = subprocess.run(command, env=self.wp.env, stdout=out, stderr=subprocess.DEVNULL, timeout=120).returncode
        out.seek(0)
        return rc, out.read().decode("latin-1").strip()

    def answer(self, button):
        """Waits for the uninstaller's message box, presses the button; returns the box's text."""
        rc, text = self.winctl("answer", CAPTION, button, "60")
        self.assertEqual(rc, 0, "no message box '%s' to answer %s" % (CAPTION, button))
        return text

    def uninstall_command(self):
        values = self.values()
        self.assertIsNotNone(values, "no uninstall key")
        return values["UninstallString"][1]

    def wait_gone(self, *paths, seconds=20):
        end = time.time() + seconds
        while time.time() < end and any(os.path.lexists(p) for p in paths):
            time.sleep(0.2)
        return [p for p in paths if os.path.lexists(p)]

    def snapshot(self, folder):
        """Every path under folder, the links and the key: what a refused or declined removal must keep."""
        tree = sorted(os.path.join(d, n) for d, dirs, files in os.walk(folder) for n in dirs + files)
        return tree, [os.path.lexists(link) for link in self.links], self.values()

    def pending_renames(self):
        """The delete-at-restart requests Wine recorded (MOVEFILE_DELAY_UNTIL_REBOOT), read from the
        prefix's registry file once every process of this session has ended."""
        self.wp.wait_idle()
        text = e2e.read(os.path.join(self.wp.prefix, "system.reg")).decode("latin-1")
        m = re.search(r'^"PendingFileRenameOperations"=str\(7\):"(.*)"$', text, re.M)
        return m.group(1).replace("\\\\", "\\") if m else ""

    def second_stage(self, folder, quiet=True):
        """Runs the second stage as the first starts it, from a copy in the temporary folder; quiet, to
        its end (its exit code), else started in the background for its box to be answered (a Popen)."""
        with open(os.path.join(self.temp, "zarnith_uninstall.exe"), "wb") as f:
            f.write(self.setup_bytes)
        user = os.path.basename(self.wp.user_folder())
        copy = "C:\\users\\%s\\Temp\\zarnith_uninstall.exe" % user
        if not quiet:
            return self.wp.start(copy, ["/uninstall2", folder])
        return self.wp.run(copy, ["/uninstall2", folder, "/quiet"], timeout=120)

    def hold(self, path):
        """Holds a file open as a running program holds its executable (no delete sharing) until
        release() is called; returns (process, release)."""
        release = tempfile.mktemp(prefix="release-", dir=self.tmp)
        said = tempfile.mktemp(prefix="held-", dir=self.tmp)
        with open(said, "wb") as out:
            holder = subprocess.Popen(["wine", WINCTL, "hold", path, self.wp.winpath(release)], env=self.wp.env,
                                      stdout=out, stderr=subprocess.DEVNULL)
        end = time.time() + 60
        while b"held" not in e2e.read(said) and holder.poll() is None and time.time() < end:
            time.sleep(0.1)
        self.assertIn(b"held", e2e.read(said), "the file could not be held open")

        def release_it():
            open(release, "w").close()
            self.assertEqual(holder.wait(timeout=60), 0)
        return holder, release_it

    def restart(self):
        """A new Wine session runs the restart work (wineboot), which carries out pending deletions."""
        self.wp.wait_idle()
        subprocess.run(["wine", "cmd", "/c", "exit", "0"], env=self.wp.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        self.wp.wait_idle()

    # ---- tests ----

    def test_registration_values(self):
        folder = "C:\\Games\\Tovek Zarnith PC"
        host = self.install(folder)
        kib = (cd_bytes(self.cd_tree) + 20 * 1024 * 1024) // 1024
        self.assertEqual(self.values(), {
            "DisplayName": ("REG_SZ", "Tovek Zarnith (PC Native)"),
            "UninstallString": ("REG_SZ", '"C:\\Games\\Tovek Zarnith PC\\uninstall.exe" /uninstall'),
            "DisplayIcon": ("REG_SZ", "C:\\Games\\Tovek Zarnith PC\\zarnith.exe,0"),
            "InstallLocation": ("REG_SZ", folder),
            "Publisher": ("REG_SZ", "PC Native port (fan project)"),
            "EstimatedSize": ("REG_DWORD", "0x%x" % kib),
            "NoModify": ("REG_DWORD", "0x1"),
            "NoRepair": ("REG_DWORD", "0x1"),
        })
        self.assertEqual(e2e.read(os.path.join(host, "uninstall.exe")), self.setup_bytes)

        # A reinstall elsewhere rewrites the one entry.
        self.install("C:\\Elsewhere\\TZ")
        self.assertEqual(self.values()["InstallLocation"], ("REG_SZ", "C:\\Elsewhere\\TZ"))
        self.assertEqual(self.values()["UninstallString"][1], '"C:\\Elsewhere\\TZ\\uninstall.exe" /uninstall')

    def test_quiet_removal_from_the_registered_command(self):
        folder = "C:\\Games\\Quiet Removal"
        host = self.install(folder)
        game = os.path.join(host, "game")
        # Files the game itself writes beside its executable go too.
        for name in ("zarnith_pc.ini", "zarnith.log", "setup.log"):
            with open(os.path.join(host, name), "w") as f:
                f.write("x")
        self.assertTrue(all(os.path.isfile(link) for link in self.links))
        command = self.uninstall_command() + " /quiet"

        rc, _ = self.winctl("run", command)
        self.assertEqual(rc, 0, "first stage exit code")
        self.assertEqual(self.wait_gone(host), [], "the install folder is still there")
        # Read before any other Wine command: the next session start is a restart for Wine.
        pending = self.pending_renames()
        copy = os.path.join(self.temp, "zarnith_uninstall.exe")
        self.assertRegex(pending, r"^\\\?\?\\C:\\users\\[^\\]+\\Temp\\zarnith_uninstall\.exe\\0\\0$")
        self.assertEqual(e2e.read(copy), self.setup_bytes, "the temporary copy lives until the restart")

        self.assertFalse(any(os.path.lexists(link) for link in self.links), "a link is left")
        self.assertIsNone(self.values(), "the uninstall key is left")
        self.assertFalse(os.path.exists(game))
        self.assertTrue(os.path.isdir(self.wp.c_drive("Games")), "the parent folder must stay")
        self.restart()
        self.assertFalse(os.path.exists(copy), "the restart did not delete the temporary copy")

    def test_second_stage_exit_code_and_user_files(self):
        folder = "C:\\Games\\Keeps Mine"
        host = self.install(folder)
        with open(os.path.join(host, "my notes.txt"), "w") as f:
            f.write("mine")
        os.makedirs(os.path.join(host, "mods"))
        rc = self.second_stage(folder)
        self.assertEqual(rc, 0)
        self.assertTrue(self.pending_renames().endswith("\\Temp\\zarnith_uninstall.exe\\0\\0"))
        self.assertEqual(sorted(os.listdir(host)), ["mods", "my notes.txt"])
        self.assertIsNone(self.values())
        self.assertFalse(any(os.path.lexists(link) for link in self.links))
        self.restart()

    def test_removal_never_follows_a_link_out_of_the_game_folder(self):
        folder = "C:\\Games\\Linked Saves"
        host = self.install(folder)
        # A player who keeps the saved games elsewhere and links them in (Wine shows a host symbolic
        # link as a folder link).
        elsewhere = os.path.join(self.tmp, "my-saves")
        os.makedirs(os.path.join(elsewhere, "old"))
        for name in ("slot1.sav", os.path.join("old", "slot0.sav")):
            with open(os.path.join(elsewhere, name), "w") as f:
                f.write("precious")
        os.symlink(elsewhere, os.path.join(host, "game", "hd", "SAVES LINK"))
        os.symlink(os.path.join(elsewhere, "slot1.sav"), os.path.join(host, "game", "hd", "slot1.sav"))
        rc = self.second_stage(folder)
        self.assertEqual(rc, 0)
        self.assertEqual(sorted(os.listdir(elsewhere)), ["old", "slot1.sav"], "a link was followed")
        self.assertEqual(e2e.read(os.path.join(elsewhere, "slot1.sav")), b"precious")
        self.assertEqual(e2e.read(os.path.join(elsewhere, "old", "slot0.sav")), b"precious")
        # Wine would delete a link's target instead of the link, so the links (and the folders that
        # hold them) stay; everything else of the install is gone.
        left = sorted(os.path.relpath(os.path.join(d, n), host) for d, dirs, names in os.walk(host) for n in dirs + names)
        self.assertEqual(left, ["game", os.path.join("game", "hd"), os.path.join("game", "hd", "SAVES LINK"),
                                os.path.join("game", "hd", "slot1.sav")])
        self.assertIsNone(self.values())
        self.restart()

    def test_confirmation_no_then_yes(self):
        folder = "C:\\Games\\Asked First"
        host = self.install(folder)
        before = self.snapshot(host)
        command = self.uninstall_command()

        first = self.winctl("run", command, background=True)
        self.assertEqual(self.answer("no"), "Remove Tovek Zarnith (PC Native) and its saved games?")
        self.assertEqual(first.wait(timeout=60), 0, "first stage exit code after No")
        time.sleep(2)
        self.assertEqual(self.snapshot(host), before, "No changed something")
        self.assertFalse(os.path.exists(os.path.join(self.temp, "zarnith_uninstall.exe")))

        first = self.winctl("run", command, background=True)
        self.assertEqual(self.answer("yes"), "Remove Tovek Zarnith (PC Native) and its saved games?")
        self.assertEqual(self.answer("ok"), "Tovek Zarnith has been removed.")
        self.assertEqual(first.wait(timeout=60), 0)
        self.assertEqual(self.wait_gone(host), [])
        self.assertIsNone(self.values())
        self.restart()

    def test_installed_uninstaller_as_setup_keeps_itself(self):
        folder = "C:\\Games\\Reinstall"
        host = self.install(folder)
        uninstaller = os.path.join(host, "uninstall.exe")
        # The same folder written three ways: as registered, with a trailing backslash, and in another
        # letter case with forward slashes; none may copy the program onto itself.
        for target in (folder, folder + "\\", "c:/games/REINSTALL"):
            rc = e2e.run_setup(self.wp, ["/silent", "/cd", self.cd, "/dir", target], exe=uninstaller)
            self.assertEqual(rc, 0, target)
            self.assertEqual(e2e.read(uninstaller), self.setup_bytes, "uninstall.exe damaged by /dir " + target)
        # Installing from it into another folder copies it there.
        other = e2e.run_setup(self.wp, ["/silent", "/cd", self.cd, "/dir", "C:\\Games\\Copied On"],
                              exe=uninstaller)
        self.assertEqual(other, 0)
        self.assertEqual(e2e.read(self.host("C:\\Games\\Copied On\\uninstall.exe")), self.setup_bytes)

    def test_a_file_in_use_is_reported_and_a_second_removal_finishes(self):
        folder = "C:\\Games\\Held Open"
        host = self.install(folder)
        exe = os.path.join(host, "zarnith.exe")
        holder, release = self.hold(folder + "\\zarnith.exe")
        try:
            first = self.winctl("run", self.uninstall_command(), background=True)
            self.assertEqual(self.answer("yes"), "Remove Tovek Zarnith (PC Native) and its saved games?")
            self.assertEqual(self.answer("ok"),
                             "Tovek Zarnith has been removed, but some files could not be deleted: " + folder)
            self.assertEqual(first.wait(timeout=60), 0)
            # Everything else went; nothing more than a removal deletes.
            self.assertEqual(os.listdir(host), ["zarnith.exe"])
            self.assertIsNone(self.values())
            self.assertFalse(any(os.path.lexists(link) for link in self.links))
            # Quiet, the same removal shows no box: the run ends by itself.
            self.assertEqual(self.second_stage(folder), 0)
            self.assertTrue(os.path.isfile(exe))
        finally:
            if holder.poll() is None:
                release()
        second = self.second_stage(folder, quiet=False)
        self.assertEqual(self.answer("ok"), "Tovek Zarnith has been removed.")
        self.assertEqual(second.wait(timeout=60), 0)
        self.assertEqual(self.wait_gone(host), [])
        self.restart()

    def test_folders_that_are_no_install_are_left_alone(self):
        folder = "C:\\Games\\Real Install"
        host = self.install(folder)
        real = self.snapshot(host)

        # A copy of the setup in a downloads folder, started with /uninstall: that folder is taken as
        # the install folder, and it holds someone else's "game" and logs.
        downloads = self.wp.c_drive("Downloads Here")
        os.makedirs(os.path.join(downloads, "game", "saves"))
        for name in ("game/saves/slot1.sav", "setup.log", "zarnith.log"):
            with open(os.path.join(downloads, name), "w") as f:
                f.write("someone else's")
        setup_copy = os.path.join(downloads, "setup.exe")
        with open(setup_copy, "wb") as f:
            f.write(self.setup_bytes)
        others = self.snapshot(downloads)
        self.assertEqual(self.wp.run(setup_copy, ["/uninstall", "/quiet"], timeout=120), 0)
        time.sleep(3)
        self.wp.wait_idle()
        self.assertEqual(self.snapshot(downloads), others)
        self.restart()  # that run's temporary copy goes

        # A drive root that looks like an install, an empty folder argument, and a path through "..".
        root_game = self.wp.c_drive("game")
        os.makedirs(os.path.join(root_game, "hd"))
        with open(os.path.join(root_game, "hd", "GAME.CFG"), "w") as f:
            f.write("x")
        with open(self.wp.c_drive("zarnith.exe"), "w") as f:
            f.write("x")
        # Run from a copy in the prefix: should it wrongly ask for its own deletion, the restart takes
        # that copy and not the build's setup.exe.
        tool = self.wp.c_drive("Tools", "setup.exe")
        os.makedirs(os.path.dirname(tool))
        with open(tool, "wb") as f:
            f.write(self.setup_bytes)
        for args in (["/uninstall2", "C:\\", "/quiet"], ["/uninstall2", "C:", "/quiet"],
                     ["/uninstall2", "", "/quiet"], ["/uninstall2", folder + "\\..\\..", "/quiet"],
                     ["/uninstall2", "Games\\Real Install", "/quiet"]):
            self.assertEqual(self.wp.run("C:\\Tools\\setup.exe", args, timeout=120), 0, args)
            # A second stage that is not the temporary copy never asks for its own deletion.
            self.assertEqual(self.pending_renames(), "", args)
        # Asked without /quiet, the refusal is reported, not called a removal.
        second = subprocess.Popen(["wine", "C:\\Tools\\setup.exe", "/uninstall2", "C:\\"], env=self.wp.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(self.answer("ok"), "Nothing was removed: 'C:\\' is not a Tovek Zarnith install folder.")
        self.assertEqual(second.wait(timeout=60), 0)
        self.assertTrue(os.path.isfile(os.path.join(root_game, "hd", "GAME.CFG")))
        self.assertTrue(os.path.isfile(self.wp.c_drive("zarnith.exe")))
        self.assertEqual(self.snapshot(host), real, "the real install was touched")

if __name__ == "__main__":
    e2e.main()
