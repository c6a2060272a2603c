#!/usr/bin/env python3
"""Times a silent install of the ~600 MB sample CD's folder from a CD drive that reads at drive speed (30 MB/s by
default): the folder is drive M: of type cdrom in a Wine prefix, and tests/tools/readfault.c (LD_PRELOAD) makes
every read of its files wait its turn and take its bytes' time, as one drive serves one read at a time. The
baseline is the time the drive needs to read the bytes that the install copies; the install should take no longer
than that and a little (target: median ratio <= 1.10), since it creates and writes the files while the drive
reads the next ones. For reference, `wtree 1024` (../shared/bench, one file after the other) copies the same
drive in the same session.

    bench/slow_drive.py [--cd DIR] [--mbps 30] [--rounds 3] [--work DIR] [--build DIR] [--before BUILD]

--before BUILD adds the install of another build's setup.exe (say, the one before a change) as "before CD drive".

Needs build/windows/setup.exe and winctl.exe; makes or reuses the sample CD in /tmp/cdbench (as
install_speed.py); about 30 s a round at 30 MB/s.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "wine"))

from winerun import WinePrefix  # noqa: E402
from install_speed import CD_DRIVE, UNINSTALL_KEY, settle, tree_size, wine_session, bench_args  # noqa: E402

TARGET = 1.10


def main():
    ap = bench_args(__doc__)
    ap.add_argument("--mbps", type=float, default=30.0, help="the drive's speed in MB/s (10^6 bytes)")
    ap.add_argument("--before", default=None, help="build folder of a setup.exe to time beside this one")
    a = ap.parse_args()

    subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "tools", "make_cd.py"), a.cd, "--size", "bench",
                    "--what", "tree", "-q"], check=True)
    tree = os.path.realpath(os.path.join(a.cd, "tree"))
    files, total = tree_size(tree, 16)
    drive_secs = total / (a.mbps * 1e6)
    work = a.work or tempfile.mkdtemp(prefix="zarnith-slow-")
    tools = tempfile.mkdtemp(prefix="zarnith-slow-tools-")
    shim = os.path.join(tools, "readfault.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", shim, os.path.join(SOURCE, "tests", "tools", "readfault.c"),
                    "-ldl", "-lpthread"], check=True)
    wtree = os.path.join(tools, "wtree.exe")
    baselines = os.environ.get("ZARNITH_BENCH_BASELINES", os.path.join(SOURCE, "..", "shared", "bench"))
    subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-o", wtree, os.path.join(baselines, "wtree.c")], check=True)
    print("CD: %s, %d files, %d bytes; the drive reads them in %.1f s at %.0f MB/s" %
          (tree, files, total, drive_secs, a.mbps), flush=True)

    times = {}
    with WinePrefix(display=shutil.which("Xvfb") is not None) as wp, wine_session(wp, a.build, tree):
        # Only the programs timed read through the slow drive.
        slow = {"LD_PRELOAD": shim, "READFAULT_PATH": tree + "/", "READFAULT_MBPS": str(a.mbps)}
        install = lambda out: ["/silent", "/nodesktop", "/nostartmenu", "/cd", CD_DRIVE.upper() + ":\\", "/dir",
                               wp.winpath(out)]
        kinds = [("setup CD drive", os.path.join(a.build, "setup.exe"), install),
                 ("wtree", wtree, lambda out: [CD_DRIVE.upper() + ":\\", wp.winpath(out), "1024"])]
        if a.before:
            kinds.append(("before CD drive", os.path.join(a.before, "setup.exe"), install))
        subprocess.run(["tar", "cf", "/dev/null", tree], check=True)
        for r in range(a.rounds):
            for name, exe, args in (kinds if r % 2 == 0 else kinds[::-1]):
                out = os.path.join(work, "%s-%d" % (name.replace(" ", "_"), r))
                wp.run("reg", ["delete", UNINSTALL_KEY, "/f"], timeout=120)
                settle()
                saved = dict(wp.env)
                wp.env.update(slow)
                start = time.monotonic()
                try:
                    rc = wp.run(exe, args(out), timeout=900)
                finally:
                    wp.env.clear()
                    wp.env.update(saved)
                secs = time.monotonic() - start
                if rc != 0:
                    sys.exit("%s failed with exit code %d" % (name, rc))
                got = tree_size(os.path.join(out, "game", "cd") if "CD drive" in name else out, 16)
                if got != (files, total):
                    sys.exit("%s wrote %d files, %d bytes instead of %d, %d" % ((name,) + got + (files, total)))
                times.setdefault(name, []).append(secs)
                print("round %d  %-14s %6.2f s  ratio %.3f" % (r + 1, name, secs, secs / drive_secs), flush=True)

    print()
    for name, runs in times.items():
        m = statistics.median(runs)
        target = ("target <= %.2f" % TARGET) if name.startswith("setup") else "reference"
        print("%-15s median %6.2f s  ratio to the drive's %.1f s: %.3f  (%s)" % (name, m, drive_secs, m / drive_secs,
                                                                           target))
    shutil.rmtree(tools, ignore_errors=True)
    if not a.work:
        shutil.rmtree(work, ignore_errors=True)
    m = statistics.median(times["setup CD drive"])
    if m / drive_secs > TARGET:
        print("target missed")


if __name__ == "__main__":
    main()
