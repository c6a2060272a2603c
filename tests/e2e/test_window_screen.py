"""The window for every screen and for the keyboard: at 96 DPI the layout is exactly the designed table; at 144
and 192 DPI every control grows with the font and its text still fits; Tab walks the controls in visual order,
Escape closes an idle window and Enter starts the install."""
import os

import e2e

TITLE = e2e.WindowTestCase.TITLE
# (class, id, x, y, width, height) at 96 DPI, in creation (and Tab) order.
TABLE = [
    ("Static", 0, 16, 14, 600, 36), ("Static", 0, 16, 66, 90, 20), ("Edit", 0, 110, 62, 360, 24),
    ("Button", 101, 478, 62, 66, 24), ("Button", 102, 548, 62, 66, 24), ("Static", 0, 16, 98, 90, 20),
    ("Edit", 0, 110, 94, 360, 24), ("Button", 103, 478, 94, 136, 24), ("Button", 0, 16, 134, 200, 22),
    ("Button", 0, 230, 134, 200, 22), ("msctls_progress32", 0, 16, 168, 598, 18), ("Static", 0, 16, 192, 598, 20),
    ("ListBox", 0, 16, 216, 598, 110), ("Button", 104, 418, 336, 96, 30), ("Button", 105, 518, 336, 96, 30),
]
WS_TABSTOP, WS_GROUP = 0x10000, 0x20000
# Indexes into TABLE: the Tab stops in visual order, and the first control of each row.
STOPS = [2, 3, 4, 6, 7, 8, 9, 12, 13, 14]
ROW_STARTS = [0, 1, 5, 8, 10, 11, 12, 13]


class Screen(e2e.WindowTestCase):
    screen = "2560x1600x24"  # room for the window at 192 DPI: Wine shrinks a window the screen cannot hold

    def test_layout_scales_with_the_dpi_and_every_text_fits(self):
        for dpi in (96, 144, 192):
            with self.subTest(dpi=dpi):
                self.wp.set_dpi(dpi)
                proc = self.start("/cd", self.wp.winpath(self.cd), "/dir", "C:\\Games\\Unused")
                client, rows = self.layout()
                scale = lambda v: v * dpi // 96
                self.assertEqual([r[:2] for r in rows], [t[:2] for t in TABLE], "controls missing or out of order")
                if dpi == 96:
                    self.assertEqual(client, (630, 420))
                    self.assertEqual([r[3:7] for r in rows], [t[2:] for t in TABLE],
                                     "at 96 DPI the window must keep its designed pixel layout")
                for row, want in zip(rows, TABLE):
                    cls, ident, style, x, y, w, h, need_w, need_h, text = row
                    where = "%s %r at %d DPI" % (cls, text, dpi)
                    self.assertTrue(all(abs(a - scale(b)) <= 2 for a, b in zip((x, y, w, h), want[2:])),
                                    "%s: rect %s is not the layout scaled" % (where, (x, y, w, h)))
                    self.assertLessEqual(need_w, w, "%s: the text is cut at the right" % where)
                    self.assertLessEqual(need_h, h, "%s: the text is cut at the bottom" % where)
                self.assertTrue(all(abs(a - scale(b)) <= 2 for a, b in zip(client, (630, 420))), client)
                # The measurement means something: the font grew with the DPI.
                intro = rows[0]
                self.assertGreater(intro[8], 0)
                if dpi == 96:
                    intro_96 = intro[8]
                else:
                    self.assertGreaterEqual(intro[8], intro_96 * dpi // 96 - 3, "the font did not follow the DPI")
                self.assertEqual(self.ctl("close", TITLE), 0)
                self.assertEqual(proc.wait(timeout=60), 0)
        self.wp.set_dpi(96)

    def focus(self):
        code, out = self.ctl("focus", TITLE, output=True)
        return out.strip()

    def test_keyboard_tab_order_escape_and_enter(self):
        # The tab stops and the row groups, by style.
        proc = self.start("/dir", "C:\\Games\\Unused")
        _, rows = self.layout()
        self.assertEqual([i for i, r in enumerate(rows) if r[2] & WS_TABSTOP], STOPS)
        self.assertEqual([i for i, r in enumerate(rows) if r[2] & WS_GROUP], ROW_STARTS)
        # No CD found: the focus starts in the CD field; Tab then walks every stop in order and comes round.
        self.assertEqual(self.focus(), "Edit|0|")
        seen = []
        for _ in range(len(STOPS)):
            self.assertEqual(self.ctl("keys", TITLE, "tab"), 0)
            seen.append(self.focus())
        expect = ["Button|101|Image...", "Button|102|Folder...", "Edit|0|C:\\Games\\Unused", "Button|103|Browse...",
                  "Button|0|Start menu shortcut", "Button|0|Desktop shortcut", "ListBox|0|", "Button|104|Install",
                  "Button|105|Cancel", "Edit|0|"]
        self.assertEqual(seen, expect, "Tab does not walk the controls in visual order")
        self.ctl("keys", TITLE, "shift+tab")
        self.assertEqual(self.focus(), "Button|105|Cancel", "Shift+Tab does not go back")
        # Escape on an idle window closes it like Cancel.
        self.assertEqual(self.ctl("keys", TITLE, "escape"), 0)
        self.assertEqual(proc.wait(timeout=60), 0)

        # With the CD filled in, the focus starts on Install and Enter installs; Enter then means Play.
        target = os.path.join(self.tmp, "by-keyboard")
        proc = self.start("/cd", self.wp.winpath(self.cd), "/dir", self.wp.winpath(target))
        self.assertEqual(self.focus(), "Button|104|Install")
        # Enter from another control presses the default button, Install.
        self.ctl("keys", TITLE, "shift+tab")
        self.assertEqual(self.focus(), "ListBox|0|")
        self.ctl("keys", TITLE, "enter")
        self.wait_status("Tovek Zarnith is installed.")
        self.assertTrue(os.path.isfile(os.path.join(target, "zarnith.exe")))
        self.assertEqual(self.focus(), "Button|104|Play")
        self.ctl("keys", TITLE, "escape")
        self.assertEqual(proc.wait(timeout=60), 0, "Escape after the install must close with exit code 0")


if __name__ == "__main__":
    e2e.main()
