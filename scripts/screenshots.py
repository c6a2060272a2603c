#!/usr/bin/env python3
"""Screenshots of the setup window for the README: starts build/windows/setup.exe under a private Wine prefix
and a virtual display with the sample CD, at 96 and at 144 DPI, and writes docs/setup-96dpi.png and
docs/setup-144dpi.png, and at 96 DPI under a German display language docs/setup-96dpi-de.png (the window's
client area; without a window manager there is no frame to show).

    bash scripts/build.sh --windows-only && python3 scripts/screenshots.py
"""
import os
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import e2e  # noqa: E402

TITLE = "Tovek Zarnith - PC Native Setup"


def shoot(wp, dpi, out, title=TITLE):
    wp.set_dpi(dpi)
    winctl = os.path.join(e2e.BUILD, "winctl.exe")
    proc = wp.start(e2e.SETUP_EXE, ["/cd", "D:\\", "/dir", "C:\\Games\\Tovek Zarnith PC"])
    try:
        if wp.run(winctl, ["wait", title, "60000"]) != 0:
            raise RuntimeError("the setup window did not open")
        code, text = wp.run(winctl, ["layout", title], check_output=True)
        w, h, x, y = (int(v) for v in text.splitlines()[0].split("|")[1:5])
        subprocess.run(["sleep", "1"])  # let the controls finish painting
        subprocess.run(["import", "-display", wp.env["DISPLAY"], "-window", "root", "-crop",
                        "%dx%d+%d+%d" % (w, h, x, y), "+repage", "-strip", out], check=True)
        wp.run(winctl, ["close", title])
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
    print("wrote %s (%dx%d)" % (out, w, h))


def main():
    docs = os.path.join(ROOT, "docs")
    os.makedirs(docs, exist_ok=True)
    with e2e.WinePrefix(display=True, screen="1600x1200x24") as wp:
        # The sample CD as drive D:, as a user would see a disc (and no path of this machine in the picture).
        os.symlink(e2e.sample_tree(), os.path.join(wp.prefix, "dosdevices", "d:"))
        for dpi in (96, 144):
            shoot(wp, dpi, os.path.join(docs, "setup-%ddpi.png" % dpi))
        with e2e.display_language(wp, "de_DE.UTF-8"):
            shoot(wp, 96, os.path.join(docs, "setup-96dpi-de.png"), e2e.catalogue("de")[TITLE])
    return 0


if __name__ == "__main__":
    sys.exit(main())
