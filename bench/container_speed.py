#!/usr/bin/env python3
"""Times silent installs of the ~600 MB sample CD under Wine straight from the containers players keep it in,
against what a player does today in the same session: extract the image with the container's own tool
(natively), then install from the extracted image. Also the peak memory of each install beside the ISO
install's. One table of containers, one row each:

    bench/container_speed.py [--cd DIR] [--rounds N] [--work DIR] [--only NAME,...]

A row names the container file in the CD folder, how it is made from the sample CD when it is missing, the
extraction (a command that writes into a folder) and the file there to install from, and the target: the
install from the container takes at most that fraction of extraction plus install. Peak memory (the maximum
resident size of the setup process) may exceed the ISO install's by 64 MB at most. The rounds alternate the
kinds; medians of the rounds are compared.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "wine"))

from install_speed import UNINSTALL_KEY, settle, timed, tree_size, wine_session, bench_args  # noqa: E402
from winerun import WinePrefix  # noqa: E402

MEMORY_LIMIT = 64 << 20  # bytes more than the ISO install


def quiet(cmd, cwd=None):
    res = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if res.returncode != 0:
        sys.exit("%s failed (%d):\n%s" % (" ".join(cmd), res.returncode, res.stdout.decode(errors="replace")[-2000:]))


# name, container, how to make it (cd folder -> None), extraction (container, folder -> command), the file the
# extraction leaves to install from, the target ratio.
CONTAINERS = [
    ("CHD", "cd_mode1.chd",
     lambda cd: quiet(["chdman", "createcd", "-i", os.path.join(cd, "cd_mode1.cue"), "-o",
                       os.path.join(cd, "cd_mode1.chd"), "-f"]),
     lambda c, out: ["chdman", "extractcd", "-i", c, "-o", os.path.join(out, "cd.cue"), "-ob",
                     os.path.join(out, "cd.bin"), "-f"],
     "cd.cue", 0.6),
    # zip's default (deflate) and 7zz's (LZMA2, a 16 MB dictionary, solid) of the ISO.
    ("ZIP", "cd.zip", lambda cd: quiet(["zip", "-X", "-q", "cd.zip", "cd.iso"], cwd=cd),
     lambda c, out: ["unzip", "-q", "-o", c, "-d", out], "cd.iso", 0.7),
    ("7z", "cd.7z", lambda cd: quiet(["7zz", "a", "-bd", "-bso0", "-bsp0", "cd.7z", "cd.iso"], cwd=cd),
     lambda c, out: ["7zz", "x", "-y", "-bd", "-bso0", "-bsp0", "-o" + out, c], "cd.iso", 0.8),
]


def main():
    ap = bench_args(__doc__)
    ap.add_argument("--only", default="", help="comma separated names of the rows to time")
    a = ap.parse_args()

    rows = [r for r in CONTAINERS if not a.only or r[0] in a.only.split(",")]
    subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "tools", "make_cd.py"), a.cd, "--size", "bench",
                    "--what", "tree,iso,bin,cue", "-q"], check=True)
    for name, container, make, _, _, _ in rows:
        if not os.path.exists(os.path.join(a.cd, container)):
            print("making %s ..." % container, flush=True)
            make(a.cd)
    total = tree_size(os.path.join(a.cd, "tree"), 16)
    setup_exe = os.path.join(a.build, "setup.exe")
    work = a.work or tempfile.mkdtemp(prefix="zarnith-bench-")
    os.makedirs(work, exist_ok=True)
    times, peaks = {}, {}
    with WinePrefix(display=shutil.which("Xvfb") is not None) as wp, wine_session(wp, a.build) as server:

        def install(kind, cd, out):
            """Exit code of setup.exe installing cd into out; its peak resident bytes go to peaks[kind]."""
            proc = wp.start(setup_exe, ["/silent", "/nodesktop", "/nostartmenu", "/cd", wp.winpath(cd), "/dir",
                                        wp.winpath(out)])
            _, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = os.waitstatus_to_exitcode(status)
            peaks.setdefault(kind, []).append(usage.ru_maxrss * 1024)
            return proc.returncode

        kinds = [("setup ISO", lambda out: install("setup ISO", os.path.join(a.cd, "cd.iso"), out))]
        for name, container, _, extract, extracted, _ in rows:
            c = os.path.join(a.cd, container)
            kinds.append(("setup " + name, lambda out, c=c, name=name: install("setup " + name, c, out)))
            kinds.append(("extract " + name, lambda out, c=c, extract=extract: quiet(extract(c, out)) or 0))
            kinds.append(("then setup " + name,
                          lambda out, name=name, extracted=extracted: install(
                              "then setup " + name, os.path.join(work, "extract_%s-%d" % (name, rnd), extracted), out)))
        for f in ["cd.iso"] + [r[1] for r in rows]:
            subprocess.run(["cat", os.path.join(a.cd, f)], stdout=subprocess.DEVNULL, check=True)
        for rnd in range(a.rounds):
            order = kinds if rnd % 2 == 0 else kinds[:1] + kinds[1:][::-1]
            # An extraction comes before the install from what it extracted, in either order of the rows.
            order = sorted(order, key=lambda k: (not k[0].startswith("extract"), order.index(k)))
            for kind, run in order:
                out = os.path.join(work, "%s-%d" % (kind.replace(" ", "_"), rnd))
                wp.run("reg", ["delete", UNINSTALL_KEY, "/f"], timeout=120)
                if kind.startswith("extract"):
                    os.makedirs(out, exist_ok=True)
                settle()
                secs, _, rc = timed(lambda: run(out), server.pid)
                if rc != 0:
                    sys.exit("%s failed with exit code %d" % (kind, rc))
                if kind.startswith(("setup", "then")) and tree_size(os.path.join(out, "game", "cd")) != total:
                    sys.exit("%s did not install the whole CD" % kind)
                times.setdefault(kind, []).append(secs)
                print("round %d  %-18s %6.2f s" % (rnd + 1, kind, secs), flush=True)

    med = {k: statistics.median(v) for k, v in times.items()}
    peak = {k: max(v) for k, v in peaks.items()}
    missed = []
    print("\n%-20s %8s %10s %8s %8s" % ("container", "median s", "peak MB", "ratio", "target"))
    print("%-20s %8.2f %10.1f" % ("setup ISO", med["setup ISO"], peak["setup ISO"] / 1e6))
    for name, _, _, _, _, target in rows:
        today = med["extract " + name] + med["then setup " + name]
        ratio = med["setup " + name] / today
        extra = peak["setup " + name] - peak["setup ISO"]
        print("%-20s %8.2f %10.1f %8.3f %8s" % ("setup " + name, med["setup " + name], peak["setup " + name] / 1e6,
                                                ratio, "<= %.2f" % target))
        print("%-20s %8.2f %10s   (extraction %.2f s, then the install %.2f s)"
              % ("extract + setup", today, "", med["extract " + name], med["then setup " + name]))
        if ratio > target:
            missed.append("%s speed" % name)
        if extra > MEMORY_LIMIT:
            missed.append("%s memory (%.1f MB more than the ISO install)" % (name, extra / 1e6))
    if missed:
        print("target missed: " + ", ".join(missed))
    if not a.work:
        subprocess.run(["rm", "-rf", work])
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
