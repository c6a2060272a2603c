#!/usr/bin/env python3
"""Times silent installs of the ~600 MB sample CD under Wine against bare copy programs run in the same
prefix and the same session: the ISO and the Mode 1 BIN (through its CUE sheet) against `isox chunk`
(one 64 KiB read per chunk) on the ISO, the folder against `wtree` (1 MiB chunks). Both baselines copy on
one thread; the installs copy on as many workers as the machine has processors (at most 4), except from a
CD drive: the "setup CD drive" row installs the same folder through a drive letter of type cdrom, which
the setup reads with one worker. Prints every run, the medians, each install's ratio to its baseline,
and for reference: "bare workers" (bench/parallel_tree.c, the folders made first and the files copied on
as many threads as the setup uses, with nothing else: what a parallel copy can reach on this machine) and
native xorriso / cp -r rows. One Wine desktop stays up for the whole session (on a virtual display when
Xvfb is there), as Windows always has one.

    bench/install_speed.py [--cd DIR] [--rounds N] [--work DIR] [--with-shortcuts] [--forms] [--joliet]
                           [--before BUILD]

--before BUILD adds the installs of another build's setup.exe (say, the one before a change) as rows
"before ISO", "before BIN+CUE" and "before folder", timed in the same rounds.
--forms adds installs from the images other tools write (2448-byte raw sectors, 2336-byte Mode 2
through a CUE sheet, a data track after audio and a pregap, CloneCD, Alcohol with subchannel, Nero),
each against the same `isox chunk` baseline.
--joliet adds the install of an ISO of the same tree with a Joliet tree beside the primary one (which the
setup then reads), against the "setup ISO" row.
--checks times what the checks against the known releases cost instead: the setup built with the list of the
benchmark CD (setup_benchlist.exe, every file summed while it is copied, then the release decided) against the
same setup built without a list (setup_nolist.exe), from the ISO and from the folder; both are built first.

The runs alternate (one of each kind per round, every other round in reverse order), each starts after
the data of the runs before it is on disk and writes a fresh folder, and nothing is deleted before the
last run: deleting a large tree slows file creation on the same disk for minutes.
The baselines are compiled at run time from ../shared/bench beside the project root (or
$ZARNITH_BENCH_BASELINES).
"""
import argparse
import contextlib
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "wine"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "tools"))

import make_cd  # noqa: E402
from winerun import WinePrefix  # noqa: E402

# Against the bare parallel copy of the same folder on as many threads: what a copy can reach here.
TARGETS = {"setup ISO": ("bare workers", 1.05), "setup BIN+CUE": ("bare workers", 1.05),
           "setup folder": ("bare workers", 1.10), "setup CD drive": ("wtree folder", 1.10)}
REFERENCE = {"before ISO": "bare workers", "before BIN+CUE": "bare workers", "before folder": "bare workers",
             "isox ISO": "bare workers", "wtree folder": "bare workers"}
UNINSTALL_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TovekZarnith_PCNative"
WORKERS = max(1, min(4, os.cpu_count() or 1))  # what the setup uses off a CD drive
CD_DRIVE = "m"  # the sample folder as a CD drive of the prefix
# The forms other tools write (--forms): every one within 1.30 of the bare extractor.
FORMS = [("setup 2448 raw", "cd_sub.img"), ("setup 2336 CUE", "cd_2336.cue"), ("setup pregap CUE", "cd_pregap.cue"),
         ("setup CloneCD", "cd_clone.ccd"), ("setup Alcohol", "cd_alcsub.mds"), ("setup Nero", "cd_new.nrg")]
TARGETS.update({name: ("isox ISO", 1.30) for name, _ in FORMS})
TARGETS["setup Joliet ISO"] = ("setup ISO", 1.05)
# The checks against the known releases (--checks): at most 3 % of the install.
TARGETS.update({"checks ISO": ("no list ISO", 1.03), "checks folder": ("no list folder", 1.03)})


def tree_size(root, max_depth=None):
    """(files, bytes) below root, folders deeper than max_depth left out."""
    files = size = 0
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        depth = 0 if rel == "." else rel.count(os.sep) + 1
        files += len(filenames)
        size += sum(os.path.getsize(os.path.join(dirpath, f)) for f in filenames)
        if max_depth is not None and depth >= max_depth:
            dirnames[:] = []
    return files, size


def cpu_seconds(pid=None):
    """CPU time of the waited-for children of this process, or of the running process pid."""
    if pid is None:
        r = resource.getrusage(resource.RUSAGE_CHILDREN)
        return r.ru_utime + r.ru_stime
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def compile_baselines(dest):
    src = os.environ.get("ZARNITH_BENCH_BASELINES", os.path.join(SOURCE, "..", "shared", "bench"))
    exes = {}
    for name in ("isox", "wtree"):
        exe = os.path.join(dest, name + ".exe")
        subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-o", exe, os.path.join(src, name + ".c")], check=True)
        exes[name] = exe
    # Not a baseline: the least a parallel copy can do here (bench/parallel_tree.c), for reference.
    exe = os.path.join(dest, "parallel_tree.exe")
    subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-o", exe, os.path.join(HERE, "parallel_tree.c")], check=True)
    exes["parallel_tree"] = exe
    return exes


def settle():
    """Writes out what earlier runs left in the page cache, so that no run pays for another's data."""
    os.sync()
    time.sleep(1)


def timed(fn, server=None):
    """(wall seconds, CPU seconds of the run and of the wineserver, result) of fn()."""
    cpu0 = cpu_seconds() + (cpu_seconds(server) if server else 0)
    start = time.monotonic()
    rc = fn()
    wall = time.monotonic() - start
    return wall, cpu_seconds() + (cpu_seconds(server) if server else 0) - cpu0, rc


@contextlib.contextmanager
def wine_session(wp, build, cd_tree=None):
    """Readies the prefix for timing and yields its wineserver's process: cd_tree (a folder) as the CD drive
    CD_DRIVE; one wineserver for the whole session, so no run pays for starting it; and one desktop, as Windows
    always has one (without it Wine starts and ends its desktop process around every GUI program, which would
    cost each install some tenths of a second that no console baseline pays). Both end with the session."""
    if cd_tree:
        # A drive link plus the drive's type in the registry, read when the wineserver starts.
        os.symlink(os.path.abspath(cd_tree), os.path.join(wp.prefix, "dosdevices", CD_DRIVE + ":"))
        subprocess.run(["wine", "reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", CD_DRIVE + ":", "/t", "REG_SZ",
                        "/d", "cdrom", "/f"], env=wp.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        subprocess.run(["wineserver", "-k"], env=wp.env, check=False)
        subprocess.run(["wineserver", "-w"], env=wp.env, check=False)
    server = subprocess.Popen(["wineserver", "-f", "-p"], env=wp.env)
    wp.run("cmd", ["/c", "exit"], timeout=300)
    idle = wp.start(os.path.join(build, "winctl.exe"), ["wait", "never shown", "86400000"])
    time.sleep(3)
    try:
        yield server
    finally:
        subprocess.run(["wineserver", "-k"], env=wp.env, check=False)
        server.wait(timeout=60)
        idle.wait(timeout=60)


def bench_args(doc):
    """The options every benchmark takes: the sample CD, the rounds, the work folder and the build."""
    ap = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cd", default="/tmp/cdbench", help="sample CD folder (made with --size bench if needed)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--work", default=None, help="folder for the copies (default: a new one in /tmp)")
    ap.add_argument("--build", default=os.path.join(SOURCE, "build", "windows"))
    return ap


def main():
    ap = bench_args(__doc__)
    ap.add_argument("--with-shortcuts", action="store_true", help="let the installs create both shortcuts")
    ap.add_argument("--before", default=None, help="build folder of a setup.exe to time beside this one")
    ap.add_argument("--forms", action="store_true", help="also time the CloneCD, Alcohol, Nero and other forms")
    ap.add_argument("--joliet", action="store_true", help="also time an ISO with a Joliet tree")
    ap.add_argument("--checks", action="store_true", help="time the checks against the known releases instead")
    a = ap.parse_args()
    if a.checks:
        subprocess.run(["cmake", "--build", a.build, "--target", "setup_benchlist", "setup_nolist"], check=True,
                       stdout=subprocess.DEVNULL)

    subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "tools", "make_cd.py"), a.cd, "--size", "bench",
                    "--what", "tree,iso,bin,cue" + (",forms" if a.forms else ""), "-q"], check=True)
    tree, iso, cue = os.path.join(a.cd, "tree"), os.path.join(a.cd, "cd.iso"), os.path.join(a.cd, "cd_mode1.cue")
    joliet = os.path.join(a.cd, "cd_joliet.iso")
    if a.joliet and not os.path.exists(joliet):
        make_cd.write_iso(tree, joliet, joliet=True)
    whole = tree_size(tree)           # what the bare copies write
    limited = tree_size(tree, 16)     # what an install copies (16 folder levels)
    total = limited[1]
    setup_exe = os.path.join(a.build, "setup.exe")
    work = a.work or tempfile.mkdtemp(prefix="zarnith-bench-")
    os.makedirs(work, exist_ok=True)
    tools = tempfile.mkdtemp(prefix="zarnith-bench-tools-")
    exes = compile_baselines(tools)
    print("CD: %s, %d bytes; copies in %s" % (a.cd, total, work), flush=True)

    times, cpus = {}, {}

    def check(name, out):
        installed = name.startswith(("setup", "before", "checks", "no list"))
        got = tree_size(os.path.join(out, "game", "cd") if installed else out)
        want = limited if installed else whole
        if got != want:
            sys.exit("%s wrote %d files, %d bytes instead of %d, %d" % ((name,) + got + want))
    with WinePrefix(display=shutil.which("Xvfb") is not None) as wp, wine_session(wp, a.build, tree) as server:
        flags = [] if a.with_shortcuts else ["/nodesktop", "/nostartmenu"]

        def setup_from(cd, exe=setup_exe):
            return lambda out: wp.run(exe, ["/silent"] + flags + ["/cd", wp.winpath(cd), "/dir", wp.winpath(out)])

        kinds = [
            ("isox ISO", lambda out: wp.run(exes["isox"], ["chunk", wp.winpath(iso), wp.winpath(out)])),
            ("setup ISO", setup_from(iso)),
            ("setup BIN+CUE", setup_from(cue)),
            ("wtree folder", lambda out: wp.run(exes["wtree"], [wp.winpath(tree), wp.winpath(out), "1024"])),
            ("setup folder", setup_from(tree)),
            ("bare workers", lambda out: wp.run(exes["parallel_tree"], [wp.winpath(tree), wp.winpath(out),
                                                                         str(WORKERS)])),
            ("setup CD drive", lambda out: wp.run(setup_exe, ["/silent"] + flags + ["/cd", CD_DRIVE.upper() + ":\\",
                                                                                  "/dir", wp.winpath(out)])),
        ]
        if a.checks:
            listed, unlisted = (os.path.join(a.build, n + ".exe") for n in ("setup_benchlist", "setup_nolist"))
            kinds = [("no list ISO", setup_from(iso, unlisted)), ("checks ISO", setup_from(iso, listed)),
                     ("no list folder", setup_from(tree, unlisted)), ("checks folder", setup_from(tree, listed))]
        if a.before:
            before_exe = os.path.join(a.before, "setup.exe")
            kinds += [("before ISO", setup_from(iso, before_exe)), ("before BIN+CUE", setup_from(cue, before_exe)),
                      ("before folder", setup_from(tree, before_exe))]
        if a.forms:
            kinds += [(name, setup_from(os.path.join(a.cd, f))) for name, f in FORMS]
        if a.joliet:
            kinds.append(("setup Joliet ISO", setup_from(joliet)))
        # Read every source once so that the first round does not pay for the page cache.
        data_files = ["cd_sub.img", "cd_2336.bin", "cd_pregap.bin", "cd_new.nrg"] if a.forms else []
        data_files += ["cd_joliet.iso"] if a.joliet else []
        for f in [iso, os.path.join(a.cd, "cd_mode1.bin")] + [os.path.join(a.cd, d) for d in data_files]:
            subprocess.run(["cat", f], stdout=subprocess.DEVNULL, check=True)
        subprocess.run(["tar", "cf", "/dev/null", tree], check=True)
        for r in range(a.rounds):
            # Every other round runs backwards, so no kind always follows the same other kind.
            for name, run in (kinds if r % 2 == 0 else kinds[::-1]):
                out = os.path.join(work, "%s-%d" % (name.replace(" ", "_").replace("+", ""), r))
                # Each install a first one: an install finds the one before it through the uninstall entry
                # and would move it (and remove it) on the clock.
                wp.run("reg", ["delete", UNINSTALL_KEY, "/f"], timeout=120)
                settle()
                secs, cpu, rc = timed(lambda: run(out), server.pid)
                if rc != 0:
                    sys.exit("%s failed with exit code %d" % (name, rc))
                check(name, out)
                times.setdefault(name, []).append(secs)
                cpus.setdefault(name, []).append(cpu)
                print("round %d  %-14s %6.2f s  %6.1f MB/s  cpu %5.2f s" % (r + 1, name, secs, total / secs / 1e6, cpu),
                      flush=True)

    for name, cmd in () if a.checks else (("native xorriso", ["xorriso", "-osirrox", "on", "-indev", iso, "-extract", "/"]),
                      ("native cp -r", ["cp", "-r", "--reflink=never", tree])):
        for r in range(a.rounds):
            out = os.path.join(work, "%s-%d" % (name.replace(" ", "_"), r))
            settle()
            secs, cpu, rc = timed(lambda: subprocess.run(cmd + [out], stdout=subprocess.DEVNULL,
                                                         stderr=subprocess.DEVNULL).returncode)
            if rc != 0:
                sys.exit("%s failed with exit code %d" % (name, rc))
            check(name, out)
            times.setdefault(name, []).append(secs)
            cpus.setdefault(name, []).append(cpu)

    print()
    print("%-15s %-30s %7s %7s %7s %7s %7s %7s" % ("run", "wall seconds", "median", "MB/s", "cpu", "ratio",
                                                 "cpu rt", "target"))
    medians = {k: statistics.median(v) for k, v in times.items()}
    cpu_medians = {k: statistics.median(v) for k, v in cpus.items()}
    missed = []
    for name, runs in times.items():
        ratio = cpu_ratio = target = ""
        if name in TARGETS:
            base, limit = TARGETS[name]
            q = medians[name] / medians[base]
            ratio, target = "%.3f" % q, "<= %.2f" % limit
            cpu_ratio = "%.3f" % (cpu_medians[name] / cpu_medians[base])
            if q > limit:
                missed.append(name)
        elif name in REFERENCE:
            base = REFERENCE[name]
            ratio = "%.3f" % (medians[name] / medians[base])
            cpu_ratio = "%.3f" % (cpu_medians[name] / cpu_medians[base])
        print("%-15s %-30s %7.2f %7.1f %7.2f %7s %7s %7s" % (
            name, " ".join("%.2f" % t for t in runs), medians[name], total / medians[name] / 1e6, cpu_medians[name],
            ratio, cpu_ratio, target))
    if a.checks:
        # The two builds of a row ran one right after the other in every round: the ratio of each such pair
        # shifts less with what else the machine does than the ratio of the medians.
        for name in ("checks ISO", "checks folder"):
            base = TARGETS[name][0]
            pairs = [x / y for x, y in zip(times[name], times[base])]
            cpu_pairs = [x / y for x, y in zip(cpus[name], cpus[base])]
            print("%-15s median of the %d paired ratios: wall %.3f, cpu %.3f" % (
                name, len(pairs), statistics.median(pairs), statistics.median(cpu_pairs)))
    print("\nmedians; ratios against: the installs and the bare copiers -> bare workers (the folders made first,"
          " the files copied on the setup's threads), the other image forms -> isox ISO (chunk), CD drive -> wtree "
          "folder (1 MiB);")
    print("cpu: the program's CPU seconds plus the wineserver's during the run (less sensitive to a busy machine)")
    if missed:
        print("target missed (wall time): " + ", ".join(missed))

    shutil.rmtree(tools, ignore_errors=True)
    if not a.work:
        subprocess.run(["rm", "-rf", work])
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
