"""The setup in the player's language: the window under a German, a Russian and a Japanese display language
shows its texts translated and each fits its control at 96 and 144 DPI; "/lang" wins over the display language;
a German install shows its lines in German while the log file stays English; the uninstaller asks in the
display language, or in that of "/lang" in both its stages."""
import os
import sys

import e2e

TITLE = "Tovek Zarnith - PC Native Setup"
# The texts of the controls in creation order (the edit fields, the bar and the list show none of their own).
CONTROL_TEXTS = [
    "Install Tovek Zarnith as a native Windows game.\nYou need your Tovek Zarnith CD (the disc, an ISO / BIN+CUE "
    "image, or a copied folder).", "CD:", None, "Image...", "Folder...", "Install to:", None, "Browse...",
    "Start menu shortcut", "Desktop shortcut", None, "Ready. About 500 MB of free space is needed.", None,
    "Install", "Cancel"]


# Texts that controls show later, by control index: the status line's and the two buttons'.
LATER = [(11, "Installing..."), (11, "Stopping the installation..."), (11, "Tovek Zarnith is installed."),
         (11, "The installation did not finish - see the messages above."), (13, "Play"), (14, "Close"),
         (11, "Copying the CD: %llu of %llu MB, about %llu minutes left"),
         (11, "Copying the CD: %llu of %llu MB, about 1 minute left"),
         (11, "Installed without %u unreadable CD files: run the setup again to add them.")]


class WindowLanguage(e2e.WindowTestCase):
    screen = "1600x1200x24"  # room for the window at 144 DPI

    def speak(self, code):
        """Drives the windows and boxes of the setup in that language from here on; returns its catalogue."""
        tr = e2e.catalogue(code)
        self.TITLE, self.CAPTION = tr[TITLE], tr["Tovek Zarnith setup"]
        return tr

    def assert_fits(self, code, dpi, widest, *switches):
        """The window in the language shows its translations, and every text, also those shown later, fits its
        control; widest keeps, per English text, the largest share of its control's width a translation needs."""
        tr = self.speak(code)
        self.wp.set_dpi(dpi)
        proc = self.start("/cd", self.wp.winpath(self.cd), "/dir", "C:\\Games\\Unused", *switches)
        # A window a failed check leaves open would keep the next language's setup from starting.
        try:
            _, rows, later = self.layout(also=[(i, tr[t]) for i, t in LATER])
            _, items = self.controls()
            self.assertEqual(self.ctl("close", self.TITLE), 0)
            self.assertEqual(proc.wait(timeout=60), 0)
            texts = [tr[t].replace("\n", " ") if t else r[9] for t, r in zip(CONTROL_TEXTS, rows)]
            self.assertEqual([r[9] for r in rows], texts, "the controls do not show the translations")
            shown = [(english, r[5], r[6], r[7], r[8]) for english, r in zip(CONTROL_TEXTS, rows) if english]
            shown += [(english, rows[i][5], rows[i][6], w, h) for (i, english), (w, h) in zip(LATER, later)]
            for english, w, h, need_w, need_h in shown:
                where = "%s: %r at %d DPI" % (code, tr[english], dpi)
                self.assertLessEqual(need_w, w, "%s is cut at the right" % where)
                self.assertLessEqual(need_h, h, "%s is cut at the bottom" % where)
                if dpi == 96 and need_w / w > widest.get(english, (0, ""))[0]:
                    widest[english] = (need_w / w, "%s %r" % (code, tr[english]))
            # The lines logged before the window opened are shown translated too.
            self.assertEqual(items[0], tr["setup started"])
            self.assertTrue(items[1].startswith(tr["defaults: cd '%s' dir '%s'"].split("%s")[0]), items)
        finally:
            e2e.stop(proc)

    def test_the_window_speaks_the_display_language_and_every_text_fits(self):
        widest = {}
        for locale, code in (("de_DE.UTF-8", "de"), ("ru_RU.UTF-8", "ru"), ("ja_JP.UTF-8", "ja")):
            for dpi in (96, 144):
                with self.subTest(language=code, dpi=dpi), e2e.display_language(self.wp, locale):
                    self.assert_fits(code, dpi, widest)
        # The other languages, chosen by the switch, at 96 DPI.
        for code in ("fr", "es", "it", "pt", "pl", "cs", "uk", "zh"):
            with self.subTest(language=code):
                self.assert_fits(code, 96, widest, "/lang", code)
        self.wp.set_dpi(96)
        sys.stderr.write("\nThe widest translation of each text at 96 DPI (share of its control's width):\n")
        for english, (share, which) in widest.items():
            sys.stderr.write("  %-30.30r %3.0f%%  %s\n" % (english, 100 * share, which))

    def test_lang_switch_wins_and_the_log_file_stays_english(self):
        with e2e.display_language(self.wp, "de_DE.UTF-8"):
            # "/lang pl" over a German display: the window is Polish.
            pl = self.speak("pl")
            proc = self.start("/lang", "pl", "/dir", "C:\\Games\\Unused")
            self.assertEqual(self.button(105)[3], pl["Cancel"])
            self.assertEqual(self.ctl("close", self.TITLE), 0)
            self.assertEqual(proc.wait(timeout=60), 0)

            # A German install: German lines in the window, English ones in the log file.
            de = self.speak("de")
            target = self.fresh()
            proc = self.start("/cd", self.wp.winpath(self.cd), "/dir", self.wp.winpath(target))
            self.assertEqual(self.ctl("click", self.TITLE, de["Install"]), 0)
            self.wait_status(de["Tovek Zarnith is installed."])
            controls, items = self.controls()
            self.assertEqual((self.button(104)[3], self.button(105)[3]), (de["Play"], de["Close"]))
            self.assertIn(de["Install to %s"] % self.wp.winpath(target), items)
            self.assertIn(de["Copying %s ..."] % (de["folder %s"] % self.wp.winpath(self.cd)), items)
            self.assertEqual(items[-1], de["Done."])
            self.ctl("close", self.TITLE)
            self.assertEqual(proc.wait(timeout=60), 0)
        log = e2e.setup_log(self.wp)
        self.assertEqual(log[0], "setup started")
        self.assertIn("Install to %s" % self.wp.winpath(target), log)
        self.assertEqual(log[-1], "Done.")

    def test_the_removal_asks_in_the_display_language(self):
        self.assertEqual(self.install(self.cd, "C:\\Games\\TZ-ru").code, 0)
        command = e2e.uninstall_entry(self.wp)["UninstallString"][1]
        ru = e2e.catalogue("ru")
        self.CAPTION = ru["Tovek Zarnith uninstall"]
        with e2e.display_language(self.wp, "ru_RU.UTF-8"):
            first = self.start_ctl("run", command)
            self.assertEqual(self.answer("no"), ru["Remove Tovek Zarnith (PC Native) and its saved games?"])
            self.assertEqual(first.wait(timeout=60), 0)
            self.assertIsNotNone(e2e.uninstall_entry(self.wp), "No must keep the game")
            # The language "/lang" chose goes on into the second stage, which reports in it.
            pl = e2e.catalogue("pl")
            self.CAPTION = pl["Tovek Zarnith uninstall"]
            first = self.start_ctl("run", command + " /lang pl")
            self.assertEqual(self.answer("yes"), pl["Remove Tovek Zarnith (PC Native) and its saved games?"])
            self.assertEqual(self.answer("ok"), pl["Tovek Zarnith has been removed."])
        self.assertIsNone(e2e.uninstall_entry(self.wp))


if __name__ == "__main__":
    e2e.main()
