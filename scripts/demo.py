#!/usr/bin/env python3
"""The main job on the bundled sample CD: makes the sample game CD and runs setup.exe on it under Wine,
in a private prefix kept in build/demo. With a display the window opens; without one the install runs
silently into the default folder. Prints where the result is."""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(here)
sys.path.insert(0, os.path.join(root, "tests", "wine"))
sys.path.insert(0, os.path.join(root, "tests", "tools"))
import make_cd  # noqa: E402
from winerun import WinePrefix  # noqa: E402

build = os.path.join(root, "build", "windows")
demo = os.path.join(root, "build", "demo")
cd_dir = os.path.join(demo, "sample-cd")
os.makedirs(demo, exist_ok=True)
os.system("%s %s %s --size small --what tree,iso,bin,cue -q" % (sys.executable, os.path.join(root, "tests", "tools", "make_cd.py"), cd_dir))
cd = os.path.join(cd_dir, "tree")
windowed = bool(os.environ.get("DISPLAY"))
with WinePrefix(keep=True, base=demo) as wp:
    if windowed:
        wp.env["DISPLAY"] = os.environ["DISPLAY"]
        args = ["/cd", wp.winpath(cd)]
    else:
        args = ["/silent", "/cd", wp.winpath(cd)]
    print("running setup.exe %s (prefix %s)" % (" ".join(args), wp.prefix), flush=True)
    rc = wp.run(os.path.join(build, "setup.exe"), args, timeout=3600)
    log = wp.user_folder("Temp", "zarnith_setup.log")
    print("exit code", rc)
    if os.path.isfile(log):
        print(open(log, encoding="latin-1").read())
    print("installed game:", wp.c_drive("Games", "Tovek Zarnith PC"))
sys.exit(rc)
