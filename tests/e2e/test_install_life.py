"""An install's life beside the player's own files: what a removal takes and leaves, a failed or killed
install and a failed reinstall, folders that hold another program's files, and the game running from the
install folder. Each scenario checks the host's files and the uninstall entry."""
import os
import time

import e2e

ROLLED_BACK = r"^Rolled back: removed \d+ files and \d+ folders that this installation had made$"


def put(path, text="mine"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    e2e.write(path, text)


class InstallLife(e2e.WindowTestCase):
    forms = "tree,iso"
    links = False
    first_installs = False

    def entry(self):
        return e2e.uninstall_entry(self.wp)

    def cut_image(self):
        cut = os.path.join(self.tmp, "cut.iso")
        if not os.path.exists(cut):
            whole = e2e.read(os.path.join(self.out, "cd.iso"))
            e2e.write(cut, whole[:len(whole) * 3 // 4])
        return cut

    def test_a_folder_of_the_users_keeps_its_files_through_install_and_removal(self):
        stuff = self.fresh("stuff")
        put(os.path.join(stuff, "game", "letters", "to-mum.txt"))
        put(os.path.join(stuff, "notes.txt"))
        run = self.installed(self.cd, stuff)
        self.assertEqual(self.second_stage(run.folder), 0)
        self.assertEqual(e2e.listing(stuff), ["game", "game/letters", "game/letters/to-mum.txt", "notes.txt"])
        self.assertIsNone(self.entry())

        # Another program's files where the install would write: refused before anything is written.
        for rel in ("uninstall.exe", "zarnith.exe", "game/cd/readme.txt", "game/hd/x.txt"):
            other = self.fresh()
            put(os.path.join(other, *rel.split("/")))
            before = e2e.listing(other)
            run = self.install(self.cd, other)
            self.assertEqual(run.code, 1, rel)
            self.assertRegex(run.log[-1], r"^ERROR: .+ belongs to another program: choose another folder$")
            self.assertEqual(e2e.listing(other), before, rel)
        # A folder where a file must go, and a file where a folder must go.
        for rel, text in (("zarnith.exe/x", "is a folder where the install must write a file"),
                          ("game", "is a file where the install must make a folder")):
            other = self.fresh()
            put(os.path.join(other, *rel.split("/")))
            self.assertRegex(self.install(self.cd, other).log[-1], "^ERROR: .+ %s: choose another folder$" % text)

    def test_a_failed_install_takes_back_what_it_wrote_and_a_failed_reinstall_keeps_the_previous(self):
        self.assert_rolled_back(self.install(self.cut_image(), os.path.join(self.fresh(), "new", "TZ")),
                                "ERROR: copying the CD failed")
        self.assertIsNone(self.entry())

        # Without the list: with it, a setup run again over a whole install reads nothing of the CD (a repair
        # copies only what the install lacks), so the cut image could not fail it.
        run = self.installed(self.cd, self.fresh(), exe=e2e.SETUP_NOLIST)
        put(os.path.join(run.host, "game", "hd", "SAVEGAME", "SLOT1.SAV"), "saved game")
        before, entry = e2e.listing(run.host, sizes=True), self.entry()
        again = self.install(self.cut_image(), run.folder, exe=e2e.SETUP_NOLIST)
        self.assertEqual(again.code, 1)
        self.assertRegex(again.log[-1], ROLLED_BACK)
        self.assertEqual(e2e.listing(run.host, sizes=True), before, "the previous install changed")
        self.assertEqual(self.entry(), entry)

    def test_a_killed_install_is_listed_and_its_removal_takes_all_it_wrote(self):
        box = self.fresh("killed")
        os.makedirs(box)
        folder = os.path.join(box, "TZ")
        setup = self.start_install(e2e.large_tree(), folder)
        copied = os.path.join(folder, "game", "cd", "BULK")
        end = time.time() + 120
        while not os.path.isdir(copied) and time.time() < end and setup.poll() is None:
            time.sleep(0.1)
        registered = self.entry()
        time.sleep(0.5)
        e2e.stop(setup)
        self.assertTrue(os.path.isdir(copied), "the copy had not begun")
        entry = self.entry()
        self.assertIsNotNone(registered, "the install copies before it is in the list of installed apps")
        self.assertIsNotNone(entry, "an install stopped half-way is not in the list of installed apps")
        self.assertEqual(entry["InstallLocation"][1], self.wp.winpath(folder))
        self.assertEqual(self.second_stage(self.wp.winpath(folder)), 0)
        self.assertEqual(os.listdir(box), [], "the removal left some of what the install wrote")
        self.assertIsNone(self.entry())

    def test_the_running_game_blocks_reinstall_and_removal_until_it_ends(self):
        run = self.installed(self.cd, self.fresh())
        game = self.wp.start(os.path.join(run.host, "zarnith.exe"), [], cwd=run.host)
        self.addCleanup(e2e.stop, game)
        end = time.time() + 60
        while "layout complete" not in (e2e.read(os.path.join(run.host, "zarnith.log"), "r")
                                        if os.path.exists(os.path.join(run.host, "zarnith.log")) else ""):
            self.assertLess(time.time(), end, "the game did not start")
            time.sleep(0.2)
        before, entry = e2e.listing(run.host, sizes=True), self.entry()
        again = self.install(self.cd, run.folder)
        self.assertEqual(again.code, 1)
        self.assertEqual(again.log[-1], "ERROR: Tovek Zarnith is running from %s: close the game first, then try "
                         "again" % run.folder)
        self.assertFalse(any(l.startswith("Copying ") for l in again.log), "the copy began")
        self.assertEqual(self.second_stage(run.folder), 0)
        # Not quiet, the removal says why it took nothing; the window asks to close the game and retry.
        removal = self.second_stage(run.folder, quiet=False)
        code, text = self.ctl("answer", "Tovek Zarnith uninstall", "ok", "60", output=True)
        self.assertEqual((code, text.strip()), (0, "Tovek Zarnith is running. Close the game, then remove it again."))
        self.assertEqual(removal.wait(timeout=60), 0)
        window = self.start("/cd", self.wp.winpath(self.cd), "/dir", run.folder)
        self.assertEqual(self.ctl("click", self.TITLE, "Install"), 0)
        self.assertEqual(self.answer("cancel"), "Tovek Zarnith is running from %s. Close the game, then press Retry."
                         % run.folder)
        self.assertEqual(self.ctl("click", self.TITLE, "Cancel"), 0)
        self.assertEqual(window.wait(timeout=60), 0)
        self.assertEqual(e2e.listing(run.host, sizes=True), before)
        self.assertEqual(self.entry(), entry)

        e2e.stop(game)
        self.wp.wait_idle()
        self.installed(self.cd, run.folder)
        self.assertEqual(self.second_stage(run.folder), 0)
        self.assertFalse(os.path.exists(run.host))
        self.assertIsNone(self.entry())

    def test_a_setup_run_again_offers_the_install_and_moves_it_with_the_saved_games(self):
        first = self.installed(self.cd, self.fresh("first"))
        put(os.path.join(first.host, "game", "hd", "SAVEGAME", "SLOT1.SAV"), "saved game")
        put(os.path.join(first.host, "zarnith_pc.ini"), "the player's settings")
        # Without /dir, a silent run and the window both go to the installed folder.
        again = self.assert_done(self.run_setup("/silent", "/cd", self.wp.winpath(self.cd), "/nodesktop", "/nostartmenu"))
        self.assertEqual(again.log[1], "defaults: cd '' dir '%s'" % first.folder)
        target = self.fresh("moved")
        window = self.start("/cd", self.wp.winpath(self.cd))
        self.assertEqual([r[3] for r in self.controls()[0] if r[0] == "Edit"][1], first.folder)
        # Asked to move it elsewhere, No writes nothing and leaves the window as it was.
        self.assertEqual(self.ctl("set", self.TITLE, "1", self.wp.winpath(target)), 0)
        self.assertEqual(self.ctl("click", self.TITLE, "Install"), 0)
        self.assertEqual(self.answer("no"), "Tovek Zarnith is installed in %s. Move it to %s? Your saved games come "
                         "along." % (first.folder, self.wp.winpath(target)))
        self.assertEqual(self.ctl("click", self.TITLE, "Cancel"), 0)
        self.assertEqual(window.wait(timeout=60), 0)  # one setup at a time: the next waits for its end
        self.assertFalse(os.path.exists(target))

        # A silent move takes the saved game and the settings along and leaves one install and one entry.
        moved = self.installed(self.cd, target)
        self.assertEqual(e2e.read(os.path.join(target, "game", "hd", "SAVEGAME", "SLOT1.SAV"), "r"), "saved game")
        self.assertEqual(e2e.read(os.path.join(target, "zarnith_pc.ini"), "r"), "the player's settings")
        self.assertIn("Removed the previous install in %s" % first.folder, moved.log)
        self.assertFalse(os.path.exists(first.host), "the previous install stays")
        self.assertEqual(self.entry()["InstallLocation"], ("REG_SZ", moved.folder))


if __name__ == "__main__":
    e2e.main()
