"""The main window shows the setup's own icon, big and small, pixel for pixel.

Wine answers GetClassLongPtr for another process's window class only with the atom, style and instance
(icons, cursor and brush come back as none) and WM_GETICON with none for class icons, so no probe in a
second Windows process can see the class icon. Wine hands that icon to the desktop instead, as the X
window's _NET_WM_ICON (the window's own icon, else the class icon, else the Wine logo): that is read here
and compared with the images in setup.exe."""
import os
import subprocess
import tempfile
import time

import e2e
import resinfo


def net_wm_icons(display, title, seconds=30):
    """{size: [(r, g, b, a)] top row first} of the _NET_WM_ICON of the X window with that title."""
    env = dict(os.environ, DISPLAY=display)
    end = time.time() + seconds
    while True:
        tree = subprocess.run(["xwininfo", "-root", "-tree"], env=env, stdout=subprocess.PIPE, text=True).stdout
        ids = [line.split()[0] for line in tree.splitlines() if '"%s"' % title in line]
        values = []
        if ids:
            out = subprocess.run(["xprop", "-id", ids[0], "-f", "_NET_WM_ICON", "32c", "_NET_WM_ICON"], env=env,
                                 stdout=subprocess.PIPE, text=True).stdout
            if "=" in out:
                values = [int(v) for v in out.split("=", 1)[1].replace("\n", "").split(",")]
        if values or time.time() > end:
            break
        time.sleep(0.5)
    icons, i = {}, 0
    while i + 2 <= len(values):
        w, h = values[i], values[i + 1]
        argb = values[i + 2:i + 2 + w * h]
        icons[w] = [((v >> 16) & 255, (v >> 8) & 255, v & 255, v >> 24) for v in argb]
        i += 2 + w * h
    return icons


def visible(pixels):
    """Pixels with the colour of fully transparent ones left out of the comparison."""
    return [p if p[3] else (0, 0, 0, 0) for p in pixels]


class WindowIcon(e2e.WindowTestCase):
    def test_window_shows_the_setup_icon(self):
        with tempfile.TemporaryDirectory() as d:
            ico = os.path.join(d, "setup.ico")
            subprocess.run(["wrestool", "-x", "--type=14", "--name=1", "-o", ico, e2e.SETUP_EXE], check=True)
            own = {}
            for w, _, _, data in resinfo.ico_images(e2e.read(ico)):
                own[w] = resinfo.png_rgba(data)[2]

        proc = self.start()
        try:
            shown = net_wm_icons(self.wp.env["DISPLAY"], self.TITLE)
        finally:
            self.ctl("close", self.TITLE)
            proc.wait(60)
        self.assertTrue(32 in shown and 16 in shown,
                        "the window shows no 32- and 16-pixel icons (sizes %s): not the setup's own" % sorted(shown))
        for size in (32, 16):
            with self.subTest(size=size):
                self.assertEqual(visible(shown[size]), visible(own[size]),
                                 "the window shows another icon than the setup's own (the default one?)")


if __name__ == "__main__":
    e2e.main()
