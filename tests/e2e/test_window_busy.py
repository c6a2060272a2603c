"""The window while an install runs, on a CD large enough to take some seconds: the progress bar moves, the
close question stops the install on Yes (exit code 1, the log kept to its last line) and lets it finish on No,
and Play starts the installed game."""
import os
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

    def test_yes_stops_the_install_with_exit_code_1_and_keeps_the_log(self):
        # Should the copy still reach its end between the moment the bar is seen moving and the moment Yes
        # is answered, that round shows nothing about stopping: it is run again on a fresh folder (at most
        # three rounds) rather than taken for a failure or a pass.
        for attempt in range(3):
            target = os.path.join(self.tmp, "stopped%d" % attempt)
            proc = self.start("/cd", self.wp.winpath(self.slow_cd), "/dir", self.wp.winpath(target))
            self.assertEqual(self.ctl("watch", TITLE, "Install", "120000"), 0)
            self.assertEqual(self.ctl("stop", TITLE, "yes"), 0, "no question while installing")
            self.assertEqual(proc.wait(timeout=60), 1, "a stopped install must end with exit code 1")
            log = e2e.read(e2e.temp_folder(self.wp, "zarnith_setup.log"))
            self.assertTrue(log.endswith(b"\r\n"), "the log must keep whole lines up to the last one")
            lines = e2e.setup_log(self.wp)
            if "Setting up the game files ..." not in lines:
                break
        self.assertEqual(lines[:2], ["setup started", lines[1]])
        self.assertTrue(any(l.startswith("Copying folder ") for l in lines), lines)
        self.assertNotIn("Setting up the game files ...", lines, "the copy was never stopped in three rounds")
        self.assertNotIn("Done.", lines)
        self.assertTrue(os.path.isdir(os.path.join(target, "game", "cd")), "what was copied stays")
        self.assertFalse(os.path.exists(os.path.join(target, "zarnith.exe")), "the install went on after Yes")

if __name__ == "__main__":
    e2e.main()
