"""The window while an install runs, on a CD large enough to take some seconds: the progress bar moves, the
close question stops the install on Yes (exit code 1, what it wrote taken back, a reinstall's previous
install kept) and lets it finish on No, and Play starts the installed game."""
import os
import sys
import time

import e2e

TITLE = e2e.WindowTestCase.TITLE


class Busy(e2e.WindowTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cd = e2e.large_tree()
        # Stopping needs an install still copying when Yes is answered, some seconds after the bar is seen
        # moving: three times the files, since the copy workers get through the usual large CD quickly.
        cls.slow_cd = e2e.large_tree(files=12000)

    def test_progress_moves_no_lets_it_finish_and_play_starts_the_game(self):
        target = os.path.join(self.tmp, "played")
        proc = self.start("/cd", self.wp.winpath(self.cd), "/dir", self.wp.winpath(target))
        code, out = self.ctl("watch", TITLE, "Install", "120000", output=True)
        positions = [int(v) for v in out.split()]
        self.assertEqual(code, 0, "the progress bar never showed a position between 0 and 1000: %s" % positions)
        self.assertTrue(0 < positions[-1] < 1000)

        # Escape goes through the same question as the close box (the focus left the disabled Install).
        self.assertEqual(self.ctl("keys", TITLE, "escape"), 0)
        self.assertEqual(self.answer("no"), "Stop the installation?", "no question on Escape while installing")
        self.assertIsNone(proc.poll(), "answering No must not end the setup")
        self.wait_status("Tovek Zarnith is installed.", seconds=300)
        self.assertEqual(e2e.setup_log(self.wp)[-1], "Done.")

        self.assertEqual(self.ctl("click", TITLE, "Play"), 0)
        self.assertEqual(proc.wait(timeout=60), 0, "Play must close the setup with exit code 0")
        game_log = os.path.join(target, "zarnith.log")
        for _ in range(120):
            if os.path.exists(game_log) and "layout complete" in e2e.read(game_log, "r"):
                break
            time.sleep(0.5)
        self.assertIn("layout complete", e2e.read(game_log, "r"), "Play did not start the installed game")

    def stop_rounds(self, target, first=True):
        """Installs into target in the window and answers Yes to the stop question while the bar moves. Should
        the install still reach its end before the stop takes hold (exit code 0), that round shows nothing
        about stopping and is run again (at most three rounds). The log's lines of the stopped round."""
        for attempt in range(3):
            proc = self.start("/cd", self.wp.winpath(self.slow_cd), "/dir", self.wp.winpath(target), first=first)
            self.assertEqual(self.ctl("watch", TITLE, "Install", "120000"), 0)
            self.assertEqual(self.ctl("stop", TITLE, "yes"), 0, "no question while installing")
            asked = time.monotonic()
            code = proc.wait(timeout=120)
            if code == 1:
                print("stopped and taken back %.1f s after Yes: %s" % (time.monotonic() - asked, e2e.setup_log(self.wp)[-1]),
                      file=sys.stderr)
                break
            self.assertEqual(code, 0)
        self.assertEqual(code, 1, "the install was never stopped in three rounds")
        log = e2e.read(e2e.temp_folder(self.wp, "zarnith_setup.log"))
        self.assertTrue(log.endswith(b"\r\n"), "the log must keep whole lines up to the last one")
        lines = e2e.setup_log(self.wp)
        self.assertEqual(lines[-2], "ERROR: the installation was stopped")
        self.assertRegex(lines[-1], r"^Rolled back: removed \d+ files and \d+ folders that this installation had made$")
        self.assertNotIn("Done.", lines)
        return lines

    def test_yes_stops_the_install_and_takes_back_what_it_wrote(self):
        target = self.fresh("stopped")
        lines = self.stop_rounds(target)
        self.assertTrue(any(l.startswith("Copying folder ") for l in lines), lines)
        self.assertFalse(os.path.exists(target), "what the stopped install wrote stays")
        self.assertIsNone(e2e.uninstall_entry(self.wp), "the stopped install's entry stays")

    def test_a_stopped_reinstall_keeps_the_previous_install_and_its_saved_game(self):
        run = self.installed(self.slow_cd, self.fresh("kept"))
        e2e.write(os.path.join(run.host, "game", "hd", "SAVEGAME", "SLOT1.SAV"), "saved game")
        before, entry = e2e.listing(run.host, sizes=True), e2e.uninstall_entry(self.wp)
        self.stop_rounds(run.host, first=False)
        self.assertEqual(e2e.listing(run.host, sizes=True), before, "the previous install changed")
        self.assertEqual(e2e.uninstall_entry(self.wp), entry)


if __name__ == "__main__":
    e2e.main()
