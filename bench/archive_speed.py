#!/usr/bin/env python3
"""Times silent installs of the ~600 MB sample CD kept as a ZIP and as a 7z under Wine against what a player
does without them, in the same run: extract the ISO with the native tool (unzip, 7zz x), then install from the
extracted ISO. Prints every run, the medians, the ratios and each run's peak memory (the largest resident
size of the program, Wine's process for the installs; for the extract-and-install rows the larger of the two).

    bench/archive_speed.py [--cd DIR] [--rounds N] [--work DIR]

Targets (median wall time): install from the ZIP <= 0.7 of "unzip + setup ISO", from the 7z <= 0.8 of
"7zz x + setup ISO"; the peak memory of either within 64 MB of the ISO install's. The archives are made once in
the CD folder (cd.zip with zip's default level, cd.7z with 7zz's default LZMA2 settings: a 16 MB dictionary).
One wineserver and one Wine desktop stay up for the whole session; the runs alternate, every other round in
reverse order, each writes a fresh folder after the data of the runs before it is on disk, and nothing is
deleted before the last run (see install_speed.py).
"""
import argparse
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
sys.path.insert(0, HERE)

from install_speed import UNINSTALL_KEY, settle, tree_size  # noqa: E402
from winerun import WinePrefix  # noqa: E402

TARGETS = {"setup ZIP": ("unzip + setup ISO", 0.7), "setup 7z": ("7zz x + setup ISO", 0.8)}
MEMORY_SLACK = 64 * 1024 * 1024


def run_measured(cmd, env=None, cwd=None):
    """(wall seconds, peak resident bytes, exit code) of a program run to its end."""
    start = time.monotonic()
    with open(os.devnull, "wb") as null:
        p = subprocess.Popen(cmd, env=env, cwd=cwd, stdout=null, stderr=null)
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
    return time.monotonic() - start, usage.ru_maxrss * 1024, p.returncode


def make_archives(cd):
    for name, cmd in (("cd.zip", ["zip", "-X", "-q"]), ("cd.7z", ["7zz", "a", "-bd", "-bso0", "-bsp0"])):
        path = os.path.join(cd, name)
        if not os.path.exists(path):
            print("making %s ..." % path, flush=True)
            subprocess.run(cmd + [path + ".tmp", "cd.iso"], cwd=cd, check=True)
            os.replace(path + ".tmp", path)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cd", default="/tmp/cdbench", help="sample CD folder (made with --size bench if needed)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--work", default=None, help="folder for the copies (default: a new one in /tmp)")
    ap.add_argument("--build", default=os.path.join(SOURCE, "build", "windows"))
    a = ap.parse_args()

    subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "tools", "make_cd.py"), a.cd, "--size", "bench",
                    "--what", "tree,iso", "-q"], check=True)
    make_archives(a.cd)
    tree, iso = os.path.join(a.cd, "tree"), os.path.join(a.cd, "cd.iso")
    limited = tree_size(tree, 16)
    setup_exe = os.path.join(a.build, "setup.exe")
    work = a.work or tempfile.mkdtemp(prefix="zarnith-bench-")
    os.makedirs(work, exist_ok=True)
    print("CD: %s, %d bytes; copies in %s" % (a.cd, limited[1], work), flush=True)
    for f in (iso, os.path.join(a.cd, "cd.zip"), os.path.join(a.cd, "cd.7z")):
        subprocess.run(["cat", f], stdout=subprocess.DEVNULL, check=True)

    times, peaks = {}, {}
    with WinePrefix(display=shutil.which("Xvfb") is not None) as wp:
        server = subprocess.Popen(["wineserver", "-f", "-p"], env=wp.env)
        wp.run("cmd", ["/c", "exit"], timeout=300)
        idle = wp.start(os.path.join(a.build, "winctl.exe"), ["wait", "never shown", "86400000"])
        time.sleep(3)

        def setup(cd, out):
            wp.run("reg", ["delete", UNINSTALL_KEY, "/f"], timeout=120)
            settle()
            secs, peak, rc = run_measured(["wine", setup_exe, "/silent", "/nodesktop", "/nostartmenu", "/cd",
                                           wp.winpath(cd), "/dir", wp.winpath(out)], env=wp.env)
            if rc != 0:
                sys.exit("the install from %s failed with exit code %d" % (cd, rc))
            if tree_size(os.path.join(out, "game", "cd")) != limited:
                sys.exit("the install from %s did not copy the CD whole" % cd)
            return secs, peak

        def extracted(tool, out):
            os.makedirs(out)
            settle()
            cmd = (["unzip", "-q", os.path.join(a.cd, "cd.zip"), "-d", out] if tool == "unzip" else
                   ["7zz", "x", "-bd", "-bso0", "-bsp0", "-o" + out, os.path.join(a.cd, "cd.7z")])
            secs, peak, rc = run_measured(cmd)
            if rc != 0:
                sys.exit("%s failed with exit code %d" % (tool, rc))
            more, more_peak = setup(os.path.join(out, "cd.iso"), out + "-installed")
            return secs + more, max(peak, more_peak)

        kinds = [
            ("setup ISO", lambda out: setup(iso, out)),
            ("unzip + setup ISO", lambda out: extracted("unzip", out)),
            ("setup ZIP", lambda out: setup(os.path.join(a.cd, "cd.zip"), out)),
            ("7zz x + setup ISO", lambda out: extracted("7zz", out)),
            ("setup 7z", lambda out: setup(os.path.join(a.cd, "cd.7z"), out)),
        ]
        for r in range(a.rounds):
            for name, run in (kinds if r % 2 == 0 else kinds[::-1]):
                out = os.path.join(work, "%s-%d" % (name.replace(" ", "_").replace("+", ""), r))
                secs, peak = run(out)
                times.setdefault(name, []).append(secs)
                peaks.setdefault(name, []).append(peak)
                print("round %d  %-18s %6.2f s  peak %6.1f MB" % (r + 1, name, secs, peak / 1e6), flush=True)
        subprocess.run(["wineserver", "-k"], env=wp.env, check=False)
        server.wait(timeout=60)
        idle.wait(timeout=60)

    print()
    print("%-18s %-22s %7s %7s %9s %7s" % ("run", "wall seconds", "median", "ratio", "peak MB", "target"))
    medians = {k: statistics.median(v) for k, v in times.items()}
    missed = []
    for name, runs in times.items():
        ratio = target = ""
        if name in TARGETS:
            base, limit = TARGETS[name]
            q = medians[name] / medians[base]
            ratio, target = "%.3f" % q, "<= %.2f" % limit
            if q > limit:
                missed.append(name)
            if max(peaks[name]) > max(peaks["setup ISO"]) + MEMORY_SLACK:
                missed.append(name + " (memory)")
        print("%-18s %-22s %7.2f %7s %9.1f %7s" % (name, " ".join("%.2f" % t for t in runs), medians[name], ratio,
                                                  max(peaks[name]) / 1e6, target))
    print("\nmedians; peak: the largest of the rounds (for extract + install, the larger of the two programs)")
    if missed:
        print("target missed: " + ", ".join(missed))
    if not a.work:
        subprocess.run(["rm", "-rf", work])
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
