"""A worn disc, played by tests/tools/readfault.c in front of the CD (its reads fail as a worn sector's do, which
Wine reports as error 21, or take a slow drive's time): a read that works on a retry installs byte for byte, from
the folder and from the image; a file that never reads fails a silent install, which names it and leaves nothing;
in the window a box offers Retry (going on from the failing file), skipping the file and Cancel; and while a
question is open the copy waits."""
import os
import re
import time

import e2e

TITLE = e2e.WindowTestCase.TITLE
BAD = "DATA/GRP04/SUB0/F0121.DAT"  # 188,035 bytes
BAD_WIN = BAD.replace("/", "\\")
NOT_READ = (r"^ERROR: copying the CD failed: %s cannot be read from the CD \(error 21: .+\): clean the disc and run "
            r"the setup again$" % re.escape(BAD_WIN))


class WornDisc(e2e.WindowTestCase):
    forms = "tree,iso"

    def reads(self, log):
        """The lines readfault wrote to its log (see tests/tools/README.md)."""
        return e2e.read(log, "r").splitlines() if os.path.exists(log) else []

    def test_silent_installs_keep_what_a_retry_reads_and_fail_on_what_never_reads(self):
        iso = os.path.join(self.out, "cd.iso")
        at = e2e.read(iso).find(e2e.read(os.path.join(self.cd, *BAD.split("/"))))
        self.assertGreater(at, 0)
        in_iso = "%d-%d" % (at + 70000, at + 72000)  # a sector in the file's middle
        cases = [  # the CD, its faults, whether it installs
            (self.cd, dict(PATH="/" + BAD, FAILS=1), True),
            (iso, dict(PATH="/cd.iso", AT=in_iso, FAILS=4), True),
            (self.cd, dict(PATH="/" + BAD, FAILS=-1), False),
            (iso, dict(PATH="/cd.iso", AT=in_iso, FAILS=-1), False),
        ]
        for cd, faults, installs in cases:
            with self.subTest(cd=os.path.basename(cd), **faults):
                with e2e.read_faults(self.wp, **faults):
                    run = self.install(cd, self.fresh())
                if installs:
                    self.assert_installed(run)
                    again = [l for l in run.log if l.startswith("read again: " + BAD_WIN + " at byte ")]
                    self.assertEqual(len(again), 1, run.log)
                else:
                    self.assert_rolled_back(run, *run.log[-2:-1])
                    self.assertRegex(run.log[-2], NOT_READ)

    def test_the_box_retries_from_the_failing_file_skips_it_or_cancels(self):
        record = lambda host: e2e.read(os.path.join(host, "installed_files.txt"), "r").splitlines()
        for button in ("retry", "skip", "cancel"):
            with self.subTest(button=button):
                target, cleaned = self.fresh(), self.fresh()
                with e2e.read_faults(self.wp, PATH="/" + BAD, UNTIL=cleaned):
                    # Without the list of releases: a skipped file would make the CD a damaged copy of its
                    # release, which the checks ask about after the copy.
                    proc = self.start("/cd", self.wp.winpath(self.cd), "/dir", self.wp.winpath(target),
                                      exe=e2e.SETUP_NOLIST)
                    self.assertEqual(self.ctl("click", TITLE, "Install"), 0)
                    # The disc is cleaned and put back while the box is open.
                    self.assertEqual(self.ctl("wait", self.CAPTION, "120000"), 0, "no box for the unreadable file")
                    e2e.write(cleaned, "")
                    text = self.answer(button)
                self.assertIn(BAD_WIN, text)
                self.assertIn("Clean the disc", text)
                log = e2e.setup_log(self.wp)
                if button == "retry":
                    self.wait_status("Tovek Zarnith is installed.")
                    self.assertEqual(e2e.tree_differences(self.expected_cd, os.path.join(target, "game", "cd")), [])
                elif button == "skip":
                    self.wait_status("Installed without 1 unreadable CD files: run the setup again to add them.")
                    log = e2e.setup_log(self.wp)
                    self.assertEqual(e2e.tree_differences(self.expected_cd, os.path.join(target, "game", "cd")),
                                     ["missing " + BAD.replace("/", os.sep)])
                    self.assertIn("Skipped %s: it could not be read from the CD" % BAD_WIN, log)
                    self.assertEqual(log[-2:], ["Installed without 1 unreadable CD files (named above): run the setup "
                                                "again to add them", "Done."])
                    self.assertIn(":missing game\\cd\\" + BAD_WIN, record(target))
                else:
                    self.wait_status("The installation did not finish - see the messages above.")
                    log = e2e.setup_log(self.wp)
                    self.assertEqual(log[-2], "ERROR: the installation was stopped")
                    self.assertFalse(os.path.exists(target), "a cancelled install leaves its folder")
                self.assertEqual(self.ctl("close", TITLE), 0)
                self.assertEqual(proc.wait(timeout=60), 0)

    def test_a_question_holds_the_copy_no_goes_on_and_yes_stops_at_once(self):
        for answer in ("no", "yes"):
            with self.subTest(answer=answer):
                target, reads = self.fresh(), self.fresh()
                # About 6 MB at 1 MB/s: the copy takes some seconds.
                with e2e.read_faults(self.wp, PATH=os.path.realpath(self.cd) + "/", MBPS=1, LOG=reads):
                    proc = self.start("/cd", self.wp.winpath(self.cd), "/dir", self.wp.winpath(target))
                    self.assertEqual(self.ctl("watch", TITLE, "Install", "120000"), 0)
                    time.sleep(4)  # the time left shows after some seconds of copying
                    self.assertRegex(self.status(), r"^Copying the CD: \d+ of \d+ MB, about \d+ seconds left$")
                    self.assertEqual(self.ctl("close", TITLE), 0)
                    self.assertEqual(self.ctl("wait", self.CAPTION, "60000"), 0, "no stop question")
                    time.sleep(1)  # the read under way when the question came
                    before = len(self.reads(reads))
                    time.sleep(3)
                    self.assertEqual(len(self.reads(reads)), before, "the copy read on while the question was open")
                    self.assertEqual(self.answer(answer), "Stop the installation?")
                    asked = time.monotonic()
                if answer == "no":
                    self.wait_status("Tovek Zarnith is installed.")
                    self.assertEqual(e2e.tree_differences(self.expected_cd, os.path.join(target, "game", "cd")), [])
                    self.assertEqual(self.ctl("close", TITLE), 0)
                    self.assertEqual(proc.wait(timeout=60), 0)
                else:
                    self.assertEqual(proc.wait(timeout=60), 1)
                    self.assertLess(time.monotonic() - asked, 5, "Yes must stop the copy at once")
                    self.assertEqual(e2e.setup_log(self.wp)[-2], "ERROR: the installation was stopped")
                    self.assertFalse(os.path.exists(target))


if __name__ == "__main__":
    e2e.main()
