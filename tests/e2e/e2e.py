"""Shared pieces of the end-to-end tests: the built setup.exe, the sample game CD, a private Wine prefix,
installs and what they leave behind (the log, the shortcuts, the uninstall entry, the folder's files), copies
of setup.exe with images beside it, and tree comparison. Each test_*.py is one CTest test and a unittest
module; a test case installs in a few lines:

    run = self.installed(self.cd, "C:\\Games\\TZ")          # exit code 0, the log ends with "Done."
    self.assertEqual(e2e.uninstall_entry(self.wp)["InstallLocation"], ("REG_SZ", run.folder))
    self.assert_failed(self.install(self.cd, "TZ"), "Install to TZ", "ERROR: ...")
"""
import collections
import contextlib
import fcntl
import filecmp
import itertools
import ntpath
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = os.environ.get("ZARNITH_SOURCE") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("ZARNITH_BUILD") or os.path.join(SOURCE, "build", "windows")
sys.path.insert(0, os.path.join(SOURCE, "tests", "wine"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "tools"))

from winerun import WinePrefix  # noqa: E402
import make_cd  # noqa: E402
import resinfo  # noqa: E402

SETUP_EXE = os.path.join(BUILD, "setup.exe")
# The same setup without the list of known releases: it checks no CD, as for a release nobody listed. For
# the tests that install a changed sample CD on purpose to see something else than the checks.
SETUP_NOLIST = os.path.join(BUILD, "setup_nolist.exe")
PAYLOAD = os.path.join(BUILD, "standin", "zarnith.exe")
SOUND_BANKS = ["AMBIENT", "BATTLE", "CREATURE", "DOORS", "FOOTSTEP", "INTERFAC", "MAGIC", "MUSICA",
               "MUSICB", "VOICES", "WEATHER"]
MARKERS = ["3DGAME.EXE", "MCP.EXE", "VILLAGE1.EXE", os.path.join("VELTRIS", "INTRO.DAT")]
LINK = "Tovek Zarnith.lnk"
UNINSTALL_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TovekZarnith_PCNative"
NOT_READABLE = "ERROR: the CD is not a readable disc, image or folder"
NOT_UNDERSTOOD = ("ERROR: '%s' is neither a switch nor an existing path: a path with spaces needs double quotes "
                  "around it, and the switches are /silent, /cd, /dir, /nodesktop and /nostartmenu")
ALREADY_RUNNING = "Tovek Zarnith setup is already running."


def sample_cd(size="small", what="tree,iso,bin,cue"):
    """The sample CD's output folder (tree/, cd.iso, cd_mode1.bin, ... ), made once per build folder."""
    out = os.path.join(BUILD, "sample-cd-" + size)
    # Tests run in parallel: one maker at a time; the others find the stamp and return at once.
    with open(out + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "tools", "make_cd.py"), out,
                        "--size", size, "--what", what, "-q"], check=True, stdout=subprocess.DEVNULL)
    return out


def large_tree(files=4000, big_mib=200):
    """The small sample CD's tree with many small files and one large one added, so that an install takes
    some seconds under Wine (each created file costs most): made once per build folder."""
    out = os.path.join(BUILD, "sample-cd-large-%d-%d" % (files, big_mib))
    tree = os.path.join(out, "tree")
    with open(out + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stamp = os.path.join(out, "stamp-%d-%d" % (files, big_mib))
        if not os.path.exists(stamp):
            subprocess.run(["rm", "-rf", out], check=True)
            os.makedirs(out)
            subprocess.run(["cp", "-al", sample_tree(), tree], check=True)
            bulk = os.path.join(tree, "BULK")
            for i in range(files):
                folder = os.path.join(bulk, "B%03d" % (i // 200))
                os.makedirs(folder, exist_ok=True)
                write(os.path.join(folder, "F%05d.DAT" % i), bytes([i % 251]) * 8192)
            with open(os.path.join(bulk, "MOVIE.DAT"), "wb") as f:
                f.truncate(big_mib << 20)
            write(stamp, "")
    return tree


def catalogue(code):
    """The translations of one language, {English text: translation}, read from src/util/lang/<code>.inc."""
    unescape = lambda t: re.sub(r'\\(.)', lambda m: "\n" if m.group(1) == "n" else m.group(1), t)
    text = read(os.path.join(SOURCE, "src", "util", "lang", code + ".inc"), "r")
    return {unescape(e): unescape(t) for e, t in
            re.findall(r'^\{"((?:[^"\\]|\\.)*)", "((?:[^"\\]|\\.)*)"\},$', text, re.M)}


def locales():
    """A folder of host locales (German, Polish, Russian, Japanese; UTF-8) for LOCPATH, compiled once per build
    folder: Wine takes the display language from the host's locale, which a machine need not have installed."""
    out = os.path.join(BUILD, "locales")
    os.makedirs(out, exist_ok=True)
    with open(out + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for name in ("de_DE", "pl_PL", "ru_RU", "ja_JP"):
            if not os.path.isdir(os.path.join(out, name + ".UTF-8")):
                subprocess.run(["localedef", "-i", name, "-f", "UTF-8", os.path.join(out, name + ".UTF-8")],
                               check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return out


def readfault():
    """tests/tools/readfault.c, the library that makes reads fail or slows them, built once per build folder."""
    out = os.path.join(BUILD, "readfault.so")
    source = os.path.join(SOURCE, "tests", "tools", "readfault.c")
    with open(out + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(source):
            subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", out + ".new", source, "-ldl", "-lpthread"], check=True)
            os.replace(out + ".new", out)
    return out


@contextlib.contextmanager
def read_faults(wp, **settings):
    """Programs started in the prefix during the with block read through readfault.so with the settings
    (READFAULT_PATH="/DATA/F.DAT", READFAULT_FAILS=1, ...: see tests/tools/README.md)."""
    saved = dict(wp.env)
    wp.env["LD_PRELOAD"] = readfault()
    wp.env.update({"READFAULT_" + k: str(v) for k, v in settings.items()})
    try:
        yield
    finally:
        wp.env.clear()
        wp.env.update(saved)


@contextlib.contextmanager
def display_language(wp, locale):
    """Programs started in the prefix during the with block see the display language of the host locale
    ("de_DE.UTF-8"); afterwards English again."""
    saved = dict(wp.env)
    wp.env.pop("LC_ALL", None)
    wp.env.pop("LC_MESSAGES", None)
    wp.env.update({"LANG": locale, "LOCPATH": locales()})
    try:
        yield
    finally:
        wp.env.clear()
        wp.env.update(saved)


def version_info(exe=SETUP_EXE):
    """The values of the program's version resource (see resinfo.version_strings)."""
    blob = subprocess.run(["wrestool", "-x", "--raw", "--type=16", "--name=1", exe], check=True,
                          stdout=subprocess.PIPE).stdout
    return resinfo.version_strings(blob)


def lnkinfo(path):
    """The fields of a .lnk file as lnkinfo reads them (it parses the published format itself)."""
    out = subprocess.run(["lnkinfo", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
    fields = {}
    for line in out.stdout.decode("utf-8", "replace").splitlines():
        if ":" in line and line.startswith("\t") and not line.startswith("\t\t"):
            name, _, value = line.strip().partition(":")
            fields.setdefault(name.strip(), value.strip())
    return fields


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def write(path, data):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


def sample_tree():
    """The small sample CD's folder tree."""
    return os.path.join(sample_cd("small", "tree"), "tree")


def copy_tree(src, dst):
    subprocess.run(["cp", "-a", src, dst], check=True)


def temp_folder(wp, *parts):
    """Host path of the prefix user's temporary folder (Wine keeps it in the profile as Temp)."""
    for rel in (("Temp",), ("AppData", "Local", "Temp")):
        if os.path.isdir(wp.user_folder(*rel)):
            return wp.user_folder(*(rel + parts))
    return wp.user_folder("Temp", *parts)


def setup_log(wp):
    """The lines of zarnith_setup.log (UTF-8) in the prefix's temporary folder (None when there is none)."""
    path = temp_folder(wp, "zarnith_setup.log")
    if not os.path.isfile(path):
        return None
    data = read(path)
    lines = data.decode("utf-8").split("\r\n")
    return lines[:-1] if data.endswith(b"\r\n") else lines


# A setup.exe that has ended: its exit code, the lines of the log (None when there is none) and, for an
# install, the folder given with /dir and where it lies on the host (None for a path on no drive).
Run = collections.namedtuple("Run", "code log folder host", defaults=(None, None))


def win(wp, path):
    """A host path (one from "/") as the prefix names it; any other string is a Windows path already."""
    return wp.winpath(path) if path.startswith("/") else path


def run_setup(wp, args, exe=None, cwd=None, timeout=900):
    """Runs setup.exe (or a copy of it, by either path) with the arguments to its end; returns its Run."""
    return Run(wp.run(exe or SETUP_EXE, args, cwd=cwd, timeout=timeout), setup_log(wp))


def install_args(wp, cd, folder, *switches, links=True):
    """The command line of a silent install of cd into folder, each a host or a Windows path (cd None: the
    setup finds its CD), the switches after them; links=False leaves out both shortcuts."""
    cd_args = [] if cd is None else ["/cd", win(wp, cd)]
    off = [] if links else ["/nodesktop", "/nostartmenu"]
    return ["/silent"] + cd_args + ["/dir", win(wp, folder)] + list(switches) + off


def install(wp, cd, folder, *switches, links=True, exe=None, cwd=None, timeout=900):
    """A silent install (see install_args) run to its end: its Run, with the folder and its host path."""
    run = run_setup(wp, install_args(wp, cd, folder, *switches, links=links), exe, cwd, timeout)
    return run._replace(folder=win(wp, folder), host=wp.host_path(win(wp, folder)))


def stop(proc):
    """Kills a started program that is still running."""
    if proc.poll() is None:
        proc.kill()
        proc.wait()


def beside_setup(wp, folder, *files, name="setup.exe"):
    """A copy of setup.exe called name in folder (a Windows path on C:, made when missing) with the files
    (host paths) beside it, hard links where the file system allows; returns the copy's Windows path."""
    host = wp.host_path(folder)
    os.makedirs(host, exist_ok=True)
    shutil.copyfile(SETUP_EXE, os.path.join(host, name))
    for f in files:
        make_cd.link_or_copy(f, os.path.join(host, os.path.basename(f)))
    return folder.rstrip("\\") + "\\" + name


Links = collections.namedtuple("Links", "startmenu desktop")


def shortcuts(wp):
    """Host paths of the game's Start-menu and desktop shortcuts in the prefix's profile."""
    return Links(wp.user_folder("AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs", LINK),
                 wp.user_folder("Desktop", LINK))


def remove_shortcuts(wp):
    """Deletes the shortcuts an earlier install in the prefix left."""
    for link in shortcuts(wp):
        if os.path.lexists(link):
            os.unlink(link)


def uninstall_entry(wp):
    """The game's uninstall key in the prefix as {name: (type, data)}, data as 'reg query' shows it
    (("REG_SZ", "C:\\Games"), ("REG_DWORD", "0x1")) but read exactly, from 'reg export'; None when the key
    is missing."""
    text = wp.reg_export(UNINSTALL_KEY)
    if text is None:
        return None
    unescape = lambda v: re.sub(r"\\(.)", r"\1", v)
    found = {}
    for name, value in re.findall(r'^"((?:[^"\\]|\\.)*)"=(.*?)\r?$', text, re.M):
        if value.startswith('"'):
            found[unescape(name)] = ("REG_SZ", unescape(value[1:-1]))
        elif value.startswith("dword:"):
            found[unescape(name)] = ("REG_DWORD", "0x%x" % int(value[6:], 16))
        else:
            found[unescape(name)] = ("other", value)
    return found


def listing(folder, sizes=False):
    """Every folder and file below folder (links not followed) as sorted paths relative to it, with sizes
    (path, bytes) pairs: what a step that must change nothing leaves as it was."""
    paths = sorted(os.path.relpath(os.path.join(d, n), folder)
                   for d, dirs, files in os.walk(folder) for n in dirs + files)
    return [(p, os.path.getsize(os.path.join(folder, p))) for p in paths] if sizes else paths


def folder_bytes(folder):
    """The bytes of every file below folder."""
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(folder) for f in files)


def wait_gone(*paths, seconds=20):
    """Waits until none of the paths is there; returns those still there."""
    end = time.time() + seconds
    while time.time() < end and any(os.path.lexists(p) for p in paths):
        time.sleep(0.2)
    return [p for p in paths if os.path.lexists(p)]


def pending_renames(wp):
    """The delete-at-restart requests Wine recorded (MOVEFILE_DELAY_UNTIL_REBOOT), read from the prefix's
    registry file once every process of this session has ended."""
    wp.wait_idle()
    text = read(os.path.join(wp.prefix, "system.reg")).decode("latin-1")
    m = re.search(r'^"PendingFileRenameOperations"=str\(7\):"(.*)"$', text, re.M)
    return m.group(1).replace("\\\\", "\\") if m else ""


def restart_windows(wp):
    """A new Wine session of the prefix runs the restart work (wineboot), which carries out pending deletions."""
    wp.wait_idle()
    subprocess.run(["wine", "cmd", "/c", "exit", "0"], env=wp.env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)
    wp.wait_idle()


@contextlib.contextmanager
def small_disk(test, mnt, size):
    """A tmpfs of `size` (mount's notation: "2m") mounted at the host folder mnt for the with block;
    the test is skipped where mounting is not allowed. Unmounted on every way out, once the prefix's
    processes have let go of it."""
    os.makedirs(mnt, exist_ok=True)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", mnt],
                      stderr=subprocess.DEVNULL).returncode != 0:
        test.skipTest("cannot mount a small tmpfs here (needs root)")
    try:
        yield mnt
    finally:
        test.wp.wait_idle()
        subprocess.run(["umount", "-l", mnt])


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def tree_differences(a, b):
    """Paths (relative) that differ between two folder trees: missing, extra, or different bytes."""
    diffs = []

    def walk(rel):
        pa, pb = os.path.join(a, rel), os.path.join(b, rel)
        la, lb = set(os.listdir(pa)), set(os.listdir(pb))
        for n in sorted(la - lb):
            diffs.append("missing " + os.path.join(rel, n))
        for n in sorted(lb - la):
            diffs.append("extra " + os.path.join(rel, n))
        for n in sorted(la & lb):
            r = os.path.join(rel, n)
            if os.path.isdir(os.path.join(pa, n)) != os.path.isdir(os.path.join(pb, n)):
                diffs.append("kind " + r)
            elif os.path.isdir(os.path.join(pa, n)):
                walk(r)
            elif not filecmp.cmp(os.path.join(pa, n), os.path.join(pb, n), shallow=False):
                diffs.append("content " + r)

    walk("")
    return diffs


def limit_depth(src, dst, max_depth=16):
    """Copies src to dst leaving out every folder more than max_depth levels below the root:
    what a complete install of src must reproduce."""
    for dirpath, dirnames, filenames in os.walk(src):
        rel = os.path.relpath(dirpath, src)
        depth = 0 if rel == "." else rel.count(os.sep) + 1
        os.makedirs(os.path.join(dst, rel), exist_ok=True)
        for f in filenames:
            shutil.copyfile(os.path.join(dirpath, f), os.path.join(dst, rel, f))
        if depth >= max_depth:
            dirnames[:] = []


class WineTestCase(unittest.TestCase):
    """One private prefix for all tests of the class, and the small sample CD in the forms named by `forms`:
    out is their folder, cd the tree, expected_cd what a complete install copies of it. Installs make both
    shortcuts unless the class sets links to False."""
    display = False
    screen = "1024x768x24"
    forms = "tree"
    links = True
    # Each setup a test starts finds no earlier install: a setup run again defaults to the installed folder
    # and an install elsewhere moves it (taking the earlier one away). Tests of reinstalls and removals
    # keep what the earlier runs registered.
    first_installs = True

    @classmethod
    def setUpClass(cls):
        # Cleaned up in the reverse order: the prefix's processes end before their folders go.
        cls.tmp = tempfile.mkdtemp(prefix="zarnith-e2e-")
        cls.addClassCleanup(subprocess.run, ["rm", "-rf", cls.tmp])
        cls.wp = WinePrefix(display=cls.display, screen=cls.screen).__enter__()
        cls.addClassCleanup(cls.wp.__exit__, None, None, None)
        cls.count = itertools.count()
        cls.out = sample_cd("small", cls.forms)
        cls.cd = os.path.join(cls.out, "tree")
        cls.expected_cd = os.path.join(cls.tmp, "expected-cd")
        limit_depth(cls.cd, cls.expected_cd, 16)

    def fresh(self, name=None):
        """A path in the temporary folder that nothing holds yet; numbered when no name is given."""
        d = os.path.join(self.tmp, name or "inst%d" % next(self.count))
        self.assertFalse(os.path.exists(d))
        return d

    @classmethod
    def cd_copy(cls, name, changes=None):
        """A copy of the sample CD's tree at name in the temporary folder with changes, {path with "/": bytes
        to write there, or None to delete the file}; returns its host path."""
        cd = os.path.join(cls.tmp, name)
        os.makedirs(os.path.dirname(cd), exist_ok=True)
        copy_tree(cls.cd, cd)
        for rel, data in (changes or {}).items():
            path = os.path.join(cd, *rel.split("/"))
            if data is None:
                os.remove(path)
            else:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                write(path, data)
        return cd

    def forget_installs(self):
        """Takes away the uninstall entry, so that the next setup is a first one (see first_installs)."""
        if self.first_installs:
            self.wp.run("reg", ["delete", UNINSTALL_KEY, "/f"], timeout=120)

    def run_setup(self, *args, **options):
        self.forget_installs()
        return run_setup(self.wp, list(args), **options)

    def install(self, cd, folder, *switches, **options):
        options.setdefault("links", self.links)
        self.forget_installs()
        return install(self.wp, cd, folder, *switches, **options)

    def installed(self, cd, folder, *switches, **options):
        """An install that must succeed (see assert_done); returns its Run."""
        return self.assert_done(self.install(cd, folder, *switches, **options))

    def assert_done(self, run):
        """Exit code 0 and "Done." as the log's last line."""
        self.assertEqual(run.code, 0, run.log)
        self.assertIsNotNone(run.log, "no setup log")
        self.assertEqual(run.log[-1], "Done.", run.log)
        return run

    def assert_failed(self, run, *last):
        """Exit code 1 and the log ending with the lines last."""
        self.assertEqual(run.code, 1, run.log)
        self.assertIsNotNone(run.log, "no setup log")
        self.assertEqual(run.log[-len(last):], list(last))
        return run

    def assert_rolled_back(self, run, *last):
        """Exit code 1, the log ending with the lines last and then the roll-back's line, and nothing left of
        the run in its folder."""
        self.assertEqual(run.code, 1, run.log)
        self.assertEqual(run.log[-len(last) - 1:-1], list(last))
        self.assertRegex(run.log[-1], r"^Rolled back: removed \d+ files and \d+ folders that this installation had made$")
        self.assertFalse(os.path.exists(run.host), "a failed first install leaves its folder")
        return run

    def assert_installed(self, run):
        """A complete install of the sample CD: done, game\\cd the CD down to depth 16, the game beside it."""
        self.assert_done(run)
        diffs = tree_differences(self.expected_cd, os.path.join(run.host, "game", "cd"))
        self.assertEqual(diffs, [], "game\\cd must equal the CD down to depth 16")
        self.assertTrue(os.path.isfile(os.path.join(run.host, "zarnith.exe")))
        return run

    def assert_found_beside_setup(self, image, companions, target):
        """A copy of setup.exe with the sample CD's image file and its companions beside it, started without
        /cd, finds that image and installs from it."""
        exe = beside_setup(self.wp, "C:\\dist-" + image.replace(".", "-"),
                           *[os.path.join(self.out, f) for f in [image] + companions])
        run = self.assert_installed(self.install(None, target, exe=exe))
        self.assertTrue(run.log[1].startswith("defaults: cd '%s\\%s' dir " % (ntpath.dirname(exe), image)), run.log[1])

    def start_setup(self, *args, exe=None, cwd=None, first=True):
        """setup.exe (or a copy) started with the arguments, not waited for: its Popen, killed at the end
        of the test should it still run. first=False keeps what earlier runs registered."""
        if first:
            self.forget_installs()
        proc = self.wp.start(exe or SETUP_EXE, list(args), cwd=cwd)
        self.addCleanup(stop, proc)
        return proc

    def second_stage(self, folder, quiet=True):
        """Runs a removal's second stage as the first starts it, from a copy in the temporary folder; quiet,
        to its end (its exit code), else started in the background for its box to be answered (a Popen)."""
        temp = "C:\\users\\%s\\Temp" % os.path.basename(self.wp.user_folder())
        copy = beside_setup(self.wp, temp, name="zarnith_uninstall.exe")
        if not quiet:
            proc = self.wp.start(copy, ["/uninstall2", folder])
            self.addCleanup(stop, proc)
            return proc
        return run_setup(self.wp, ["/uninstall2", folder, "/quiet"], exe=copy, timeout=120).code

    def start_install(self, cd, folder, *switches, links=None, exe=None, cwd=None):
        """An install as install() starts it, not waited for (see start_setup)."""
        args = install_args(self.wp, cd, folder, *switches, links=self.links if links is None else links)
        return self.start_setup(*args, exe=exe, cwd=cwd)


class WindowTestCase(WineTestCase):
    """The setup's main window under a virtual display, driven through winctl as a user would."""
    display = True
    TITLE = "Tovek Zarnith - PC Native Setup"
    CAPTION = "Tovek Zarnith setup"  # of the setup's message boxes
    WINCTL = os.path.join(BUILD, "winctl.exe")

    def ctl(self, *args, output=False):
        """winctl with the arguments: its exit code, and with output its printed text (UTF-8)."""
        got = self.wp.run(self.WINCTL, list(args), timeout=120, check_output=output)
        return (got[0], got[1].encode("latin-1").decode("utf-8")) if output else got

    def start_ctl(self, *args):
        """winctl started with the arguments, not waited for (see start_setup)."""
        proc = self.wp.start(self.WINCTL, list(args))
        self.addCleanup(stop, proc)
        return proc

    def answer(self, button, seconds=60):
        """Waits for a message box of the caption CAPTION and presses the button; returns the box's text."""
        code, text = self.ctl("answer", self.CAPTION, button, str(seconds), output=True)
        self.assertEqual(code, 0, "no message box '%s' to answer %s" % (self.CAPTION, button))
        return text.strip()

    def hold_open(self, path):
        """Holds a file open as a running program holds its executable (no delete sharing) until
        release() is called; returns (process, release)."""
        release = tempfile.mktemp(prefix="release-", dir=self.tmp)
        said = tempfile.mktemp(prefix="held-", dir=self.tmp)
        with open(said, "wb") as out:
            holder = subprocess.Popen(["wine", self.WINCTL, "hold", path, self.wp.winpath(release)],
                                      env=self.wp.env, stdout=out, stderr=subprocess.DEVNULL)
        self.addCleanup(stop, holder)
        end = time.time() + 60
        while b"held" not in read(said) and holder.poll() is None and time.time() < end:
            time.sleep(0.1)
        self.assertIn(b"held", read(said), "the file could not be held open")

        def release_it():
            open(release, "w").close()
            self.assertEqual(holder.wait(timeout=60), 0)
        return holder, release_it

    def layout(self, title=None, also=()):
        """The client area (width, height) and, per control, (class, id, style, x, y, w, h, needed w, needed h,
        text): its rect in client pixels and the room its text needs in the window's font (see winctl). With
        also, (control index, text) pairs, a third list: the (needed w, needed h) of each such text in its control."""
        code, out = self.ctl("layout", title or self.TITLE, *[str(v) for pair in also for v in pair], output=True)
        self.assertEqual(code, 0, "the window is not there")
        lines = [l.split("|") for l in out.replace("\r\n", "\n").split("\n") if "|" in l]
        client = tuple(int(v) for v in lines[0][1:3])
        rows = [(r[0], int(r[1]), int(r[2], 16)) + tuple(int(v) for v in r[3:9]) + (r[9],)
                for r in lines[2:] if r[0] != "as"]
        extra = [(int(r[2]), int(r[3])) for r in lines if r[0] == "as"]
        return (client, rows, extra) if also else (client, rows)

    def controls(self, title=None):
        """(class, id, enabled, text) of every control, and the list box's lines."""
        code, out = self.ctl("texts", title or self.TITLE, output=True)
        self.assertEqual(code, 0, "the window is not there")
        rows = [l.split("|", 3) for l in out.replace("\r\n", "\n").split("\n") if "|" in l]
        items = [r[3] for r in rows if r[0] == "ListBox-item"]
        return [r for r in rows if r[0] != "ListBox-item"], items

    def status(self):
        return [r[3] for r in self.controls()[0] if r[0] == "Static"][3]

    def button(self, ident):
        return [r for r in self.controls()[0] if r[1] == str(ident)][0]

    def wait_status(self, *texts, seconds=120):
        end = time.time() + seconds
        while time.time() < end:
            s = self.status()
            if s in texts:
                return s
            time.sleep(0.5)
        self.fail("status never became %s (last: %r)" % (texts, s))

    def start(self, *args, first=True, exe=None):
        """setup.exe (or exe) started with the arguments (see start_setup), once its main window is open."""
        proc = self.start_setup(*args, exe=exe, first=first)
        # A setup still starting on a loaded machine gets more time; one that has ended fails at once.
        opened = self.ctl("wait", self.TITLE, "60000") == 0
        if not opened and proc.poll() is None:
            opened = self.ctl("wait", self.TITLE, "120000") == 0
        if not opened:
            ended = "ended with exit code %s" % proc.returncode if proc.poll() is not None else "still running"
            self.wp.diagnose("the main window did not open (the setup is %s)" % ended)
            self.fail("the main window did not open: the setup is %s (setup log: %s)" % (ended, setup_log(self.wp)))
        return proc


def main():
    unittest.main(verbosity=2)
