"""The window run under a virtual display, driven as a user would: fields, Install, progress, Play/Close,
the warning for empty fields, the close rule, a failed install that can be retried, the start-up's lines
in the list, and a second setup while one runs."""
import os

import e2e

TITLE = e2e.WindowTestCase.TITLE


class Window(e2e.WindowTestCase):
    def test_install_from_the_window_then_close(self):
        target = os.path.join(self.tmp, "windowed")
        proc = self.start("/cd", self.wp.winpath(self.cd), "/dir", self.wp.winpath(target), "/nodesktop")
        rows, items = self.controls()
        edits = [r[3] for r in rows if r[0] == "Edit"]
        self.assertEqual(edits, [self.wp.winpath(self.cd), self.wp.winpath(target)])
        checks = [r[3] for r in rows if r[0] == "Button" and r[3].endswith("]")]
        self.assertEqual(checks, ["Start menu shortcut [x]", "Desktop shortcut [x]"],
                         "the check boxes start checked whatever the command line says")
        self.assertEqual(self.status(), "Ready. About 500 MB of free space is needed.")
        self.assertEqual(self.button(105)[3], "Cancel")

        programs_link, desktop_link = e2e.shortcuts(self.wp)
        e2e.remove_shortcuts(self.wp)  # left by another test of this prefix
        self.ctl("check", TITLE, "Desktop shortcut", "0")
        self.assertEqual(self.ctl("click", TITLE, "Install"), 0)
        self.wait_status("Tovek Zarnith is installed.")
        rows, items = self.controls()
        self.assertEqual([r[3] for r in rows if r[0] == "msctls_progress32"], ["1000"])
        self.assertEqual(self.button(104)[2:], ["1", "Play"])
        self.assertEqual(self.button(105)[3], "Close")
        self.assertEqual(items[2], "Install to " + self.wp.winpath(target))
        self.assertEqual(items[-1], "Done.")
        self.assertEqual(items, e2e.setup_log(self.wp), "the list shows every line of the log, the start-up's too")
        self.assertTrue(os.path.isfile(os.path.join(target, "zarnith.exe")))
        self.assertTrue(os.path.isfile(os.path.join(target, "game", "hd", "GAME.CFG")))
        self.assertFalse(os.path.exists(desktop_link), "the unchecked desktop shortcut must not be made")
        self.assertTrue(os.path.exists(programs_link), "the checked Start-menu shortcut is missing")

        self.assertEqual(self.ctl("click", TITLE, "Close"), 0)
        self.assertEqual(proc.wait(timeout=60), 0)

    def test_empty_field_warns_and_failed_install_can_be_retried(self):
        proc = self.start("/cd", "/silent", "/dir", self.wp.winpath(os.path.join(self.tmp, "retry")))
        rows, _ = self.controls()
        self.assertEqual([r[3] for r in rows if r[0] == "Edit"][0], "/silent",
                         "a value that looks like a switch is taken as the CD path")

        self.ctl("set", TITLE, "0", "")
        self.ctl("click", TITLE, "Install")
        self.assertEqual(self.ctl("wait", "Tovek Zarnith setup", "20000"), 0, "no warning for an empty CD field")
        rows, _ = self.controls("Tovek Zarnith setup")
        self.assertIn("Please choose the CD and the install folder.", [r[3] for r in rows])
        self.ctl("click", "Tovek Zarnith setup", "OK")
        self.assertEqual(self.ctl("gone", "Tovek Zarnith setup", "20000"), 0)
        self.assertEqual(self.status(), "Ready. About 500 MB of free space is needed.")

        self.ctl("set", TITLE, "0", "C:\\no\\such\\cd")
        self.ctl("click", TITLE, "Install")
        self.wait_status("The installation did not finish - see the messages above.")
        _, items = self.controls()
        self.assertEqual(items[-1], e2e.NOT_READABLE)
        self.assertEqual(self.button(104)[2:], ["1", "Install"])
        self.assertEqual(self.button(105)[3], "Close")

        self.ctl("set", TITLE, "0", self.wp.winpath(self.cd))
        self.ctl("click", TITLE, "Install")
        self.wait_status("Tovek Zarnith is installed.")
        _, items = self.controls()
        self.assertIn(e2e.NOT_READABLE, items,
                      "the list keeps the lines of the failed attempt")
        self.ctl("close", TITLE)
        self.assertEqual(proc.wait(timeout=60), 0)

    def test_a_word_not_understood_shows_in_the_list(self):
        proc = self.start("/dir", "C:\\Games\\My", "TZ")
        log = e2e.setup_log(self.wp)
        self.assertEqual(log[-1], e2e.NOT_UNDERSTOOD % "TZ")
        self.assertEqual(self.controls()[1], log, "the list must begin with the lines logged before the window")
        self.assertEqual(self.status(), "Ready. About 500 MB of free space is needed.")
        self.ctl("close", TITLE)
        self.assertEqual(proc.wait(timeout=60), 0)

    def test_a_second_setup_while_one_runs_touches_nothing(self):
        proc = self.start("/dir", "C:\\Games\\First")
        log = e2e.setup_log(self.wp)
        second = self.start_setup("/dir", "C:\\Games\\Second")
        self.assertEqual(self.answer("ok"), e2e.ALREADY_RUNNING)
        self.assertEqual(second.wait(timeout=60), 1)
        # Silent, it says nothing and ends by itself.
        run = self.install(self.cd, "C:\\Games\\Second", timeout=60)
        self.assertEqual(run.code, 1)
        self.assertEqual(run.log, log, "the second setup wrote into the first's log")
        self.assertFalse(os.path.exists(run.host))
        self.ctl("close", TITLE)
        self.assertEqual(proc.wait(timeout=60), 0)

    def test_cancel_before_install_closes_at_once(self):
        proc = self.start("/dir", "C:\\Games\\Unused")
        # The image picker (its dialog library is loaded at this first use) opens and closes again.
        self.ctl("click", TITLE, "Image...")
        self.assertEqual(self.ctl("wait", "Tovek Zarnith CD", "30000"), 0, "the image picker did not open")
        self.ctl("close", "Tovek Zarnith CD")
        self.assertEqual(self.ctl("gone", "Tovek Zarnith CD", "30000"), 0, "the image picker did not close")
        self.assertEqual(self.button(104)[3], "Install", "the window no longer answers after the picker")
        self.ctl("click", TITLE, "Cancel")
        self.assertEqual(proc.wait(timeout=60), 0)
        self.assertFalse(os.path.exists(self.wp.c_drive("Games", "Unused")))


if __name__ == "__main__":
    e2e.main()
