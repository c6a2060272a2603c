"""Shared pieces of the end-to-end tests: the built setup.exe, the sample game CD, a private Wine prefix,
the setup log, and tree comparison. Each test_*.py is one CTest test and a unittest module."""
import contextlib
import fcntl
import filecmp
import os
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

SETUP_EXE = os.path.join(BUILD, "setup.exe")
PAYLOAD = os.path.join(BUILD, "standin", "zarnith.exe")
SOUND_BANKS = ["AMBIENT", "BATTLE", "CREATURE", "DOORS", "FOOTSTEP", "INTERFAC", "MAGIC", "MUSICA",
               "MUSICB", "VOICES", "WEATHER"]
MARKERS = ["3DGAME.EXE", "MCP.EXE", "VILLAGE1.EXE", os.path.join("VELTRIS", "INTRO.DAT")]


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
    """The lines of zarnith_setup.log in the prefix's temporary folder (None when there is none)."""
    path = temp_folder(wp, "zarnith_setup.log")
    if not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        data = f.read()
    return data.decode("latin-1").split("\r\n")[:-1] if data.endswith(b"\r\n") else data.decode("latin-1").split("\r\n")


def run_setup(wp, args, exe=None, timeout=300):
    """Runs setup.exe (or a copy of it) with the arguments; returns its exit code."""
    return wp.run(exe or SETUP_EXE, args, timeout=timeout)


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
            subprocess.run(["cp", os.path.join(dirpath, f), os.path.join(dst, rel, f)], check=True)
        if depth >= max_depth:
            dirnames[:] = []


class WineTestCase(unittest.TestCase):
    """One private prefix for all tests of the class."""
    display = False
    screen = "1024x768x24"

    @classmethod
    def setUpClass(cls):
        cls.wp = WinePrefix(display=cls.display, screen=cls.screen).__enter__()
        cls.tmp = tempfile.mkdtemp(prefix="zarnith-e2e-")

    @classmethod
    def tearDownClass(cls):
        cls.wp.__exit__(None, None, None)
        subprocess.run(["rm", "-rf", cls.tmp])


class SampleInstallCase(WineTestCase):
    """Silent installs of the small sample CD's forms, compared with its tree cut at depth 16."""
    forms = "tree,iso,bin,cue"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.out = sample_cd("small", cls.forms)
        cls.expected_cd = os.path.join(cls.tmp, "expected-cd")
        limit_depth(os.path.join(cls.out, "tree"), cls.expected_cd, 16)

    def install(self, cd, target, exe=None, cwd=None, timeout=600):
        """A silent install into target without shortcuts; cd None leaves the setup to find its CD."""
        args = ["/silent", "/nodesktop", "/nostartmenu", "/dir", self.wp.winpath(target)]
        if cd is not None:
            args += ["/cd", cd]
        return self.wp.run(exe or SETUP_EXE, args, cwd=cwd, timeout=timeout)

    def assert_installed(self, target):
        diffs = tree_differences(self.expected_cd, os.path.join(target, "game", "cd"))
        self.assertEqual(diffs, [], "game\\cd must equal the CD down to depth 16")
        self.assertTrue(os.path.isfile(os.path.join(target, "zarnith.exe")))
        self.assertEqual(setup_log(self.wp)[-1], "Done.")


class WindowTestCase(WineTestCase):
    """The setup's main window under a virtual display, driven through winctl as a user would."""
    display = True
    TITLE = "Tovek Zarnith - PC Native Setup"
    WINCTL = os.path.join(BUILD, "winctl.exe")

    def ctl(self, *args, output=False):
        return self.wp.run(self.WINCTL, list(args), timeout=120, check_output=output)

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

    def start(self, *args):
        proc = self.wp.start(SETUP_EXE, list(args))
        if self.ctl("wait", self.TITLE, "60000") != 0:
            self.wp.diagnose("the main window did not open within 60 s")
            log = setup_log(self.wp)
            proc.kill()
            proc.wait()
            self.fail("the main window did not open (setup log: %s)" % log)
        return proc


def main():
    unittest.main(verbosity=2)
