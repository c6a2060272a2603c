#!/usr/bin/env python3
"""Runs Windows programs under a private Wine prefix that this run creates and tears down.

Every prefix lives in a temp folder with its own HOME (Wine maps the Desktop there), menu entries
off (winemenubuilder disabled) and no debug output. A test run makes one template prefix
(wineboot -i) and each test copies it, so tests never share a wineserver and never touch a prefix
they did not create.

As a module:
    with WinePrefix() as wp:
        rc = wp.run("build/windows/setup.exe", ["/silent", "/cd", wp.winpath(cd)])
As a command:
    winerun.py --make-template DIR
    winerun.py [--template DIR] [--cwd DIR] [--display] -- program.exe args...
"""
import argparse
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time


def _base_env(prefix, home, user=None):
    env = dict(os.environ)
    if user:
        env["USER"] = env["LOGNAME"] = user  # Wine names the profile folder after it
    env.update({
        "WINEPREFIX": prefix,
        "HOME": home,
        "WINEDLLOVERRIDES": "winemenubuilder.exe=d;mscoree=d;mshtml=d",
        "WINEDEBUG": "-all",
        "WINEARCH": "win64",
        "XDG_CONFIG_HOME": os.path.join(home, ".config"),
        "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
        "XDG_CACHE_HOME": os.path.join(home, ".cache"),
    })
    env.pop("DISPLAY", None)
    return env


def make_template(dest, user=None):
    """Creates a fresh prefix in dest (replacing what is there) and stops its wineserver; with a user name,
    the profile is C:\\users\\<user>."""
    dest = os.path.abspath(dest)
    if os.path.isdir(dest):
        shutil.rmtree(dest)
    os.makedirs(dest)
    home = os.path.join(dest, "home")
    prefix = os.path.join(dest, "prefix")
    os.makedirs(home)
    env = _base_env(prefix, home, user)
    subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False, timeout=600)
    # A program that crashes ends at once with its backtrace on stderr, instead of waiting behind the
    # debugger's crash dialog on the virtual display, where nobody will ever press a button.
    subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v", "ShowCrashDialog", "/t",
                    "REG_DWORD", "/d", "0", "/f"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=False, timeout=600)
    # Wine has none of the Japanese and Chinese fonts that Windows brings, and draws those characters as
    # boxes of some width: the fonts it asks for (the message font of a Japanese display, and those that
    # Tahoma links to for the characters it lacks) are taken from the host's WenQuanYi Micro Hei, which holds
    # both scripts (Debian's fonts-wqy-microhei).
    fonts = os.path.join(dest, "cjk-fonts.reg")
    with open(fonts, "w", encoding="utf-16") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n")
        for face in ("MS UI Gothic", "MS Gothic", "MS PGothic", "SimSun", "NSimSun", "Microsoft YaHei"):
            f.write('"%s"="WenQuanYi Micro Hei"\r\n' % face)
    subprocess.run(["wine", "reg", "import", "Z:" + fonts.replace("/", "\\")], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False, timeout=600)
    os.remove(fonts)
    subprocess.run(["wineserver", "-w"], env=env, check=False, timeout=600)
    subprocess.run(["wineserver", "-k"], env=env, check=False, timeout=60)
    if not os.path.isfile(os.path.join(prefix, "system.reg")):
        raise RuntimeError("wineboot did not create a prefix in " + prefix)
    return dest


class WinePrefix:
    """A private Wine prefix (copied from a template when one is given) in a temp folder."""

    def __init__(self, template=None, display=False, keep=False, base=None, screen="1024x768x24", user=None):
        # A profile of its own user name needs a prefix of its own: the shared template has another user.
        self.user = user
        self.template = None if user else (template or os.environ.get("ZARNITH_WINE_TEMPLATE"))
        self.screen = screen
        self.base = base
        self.want_display = display
        self.keep = keep
        self.root = None
        self.xvfb = None

    def __enter__(self):
        self.root = tempfile.mkdtemp(prefix="zarnith-wine-", dir=self.base)
        self.home = os.path.join(self.root, "home")
        self.prefix = os.path.join(self.root, "prefix")
        if self.template and os.path.isdir(os.path.join(self.template, "prefix")):
            # Hard links keep the copy cheap (the prefix is mostly DLLs, ~700 MB); the registry and
            # .ini files, which Wine may rewrite in place, are real copies.
            subprocess.run(["cp", "-al", os.path.join(self.template, "prefix"), self.prefix], check=True)
            for dirpath, _, filenames in os.walk(self.prefix):
                for name in filenames:
                    if name.lower().endswith((".reg", ".ini")):
                        p = os.path.join(dirpath, name)
                        if not os.path.islink(p):
                            with open(p, "rb") as f:
                                data = f.read()
                            os.unlink(p)
                            with open(p, "wb") as f:
                                f.write(data)
            subprocess.run(["cp", "-a", os.path.join(self.template, "home"), self.home], check=True)
            self._fix_home_links()
        else:
            make_template(self.root, self.user)
        self.env = _base_env(self.prefix, self.home, self.user)
        if self.want_display:
            self._start_display()
        return self

    def _fix_home_links(self):
        # The template's user folders (Desktop, Documents...) are links into the template's HOME;
        # point them at this prefix's own HOME so nothing is shared between tests.
        users = os.path.join(self.prefix, "drive_c", "users")
        template_home = os.path.join(os.path.abspath(self.template), "home")
        for dirpath, dirnames, filenames in os.walk(users):
            for name in dirnames + filenames:
                p = os.path.join(dirpath, name)
                if os.path.islink(p):
                    target = os.readlink(p)
                    if target.startswith(template_home):
                        os.unlink(p)
                        new = self.home + target[len(template_home):]
                        os.makedirs(new, exist_ok=True)
                        os.symlink(new, p)

    def _start_display(self):
        # Xvfb picks a free display number itself and writes it to the pipe once it accepts clients.
        # Choosing the number here (the first one without a socket or lock file) raced with every other
        # test run starting at the same moment: two prefixes ended up on one server, and when the run
        # that owned it stopped its Xvfb, the other's next window had no display to appear on.
        r, w = os.pipe()
        try:
            self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", self.screen,
                                          "-nolisten", "tcp"], pass_fds=(w,),
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(w)
            w = None
            number = b""
            end = time.time() + 60
            while not number.endswith(b"\n"):
                ready, _, _ = select.select([r], [], [], max(0.0, end - time.time()))
                chunk = os.read(r, 16) if ready else b""
                if not chunk:
                    raise RuntimeError("Xvfb did not start")
                number += chunk
        finally:
            os.close(r)
            if w is not None:
                os.close(w)
        self.env["DISPLAY"] = ":%d" % int(number)

    def winpath(self, path):
        """The Windows path (drive Z:) of a host path."""
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def host_path(self, winpath):
        """The host path of a full Windows path on drive C: or Z: (either separator), None for any other."""
        path = winpath.replace("/", "\\")
        if path[:3].upper() == "Z:\\":
            return path[2:].replace("\\", "/")
        if path[:3].upper() == "C:\\":
            return self.c_drive(*path[3:].split("\\"))
        return None

    def c_drive(self, *parts):
        """The host path of a path on drive C:."""
        return os.path.join(self.prefix, "drive_c", *parts)

    def user_folder(self, *parts):
        """The host path of the prefix user's profile folder (e.g. Desktop, AppData)."""
        users = os.path.join(self.prefix, "drive_c", "users")
        for u in sorted(os.listdir(users)):
            if u not in ("Public", "Default"):
                return os.path.join(users, u, *parts)
        raise RuntimeError("no user profile in the prefix")

    def run(self, exe, args=(), cwd=None, timeout=600, check_output=False):
        """Runs a Windows program to its end; returns its exit code (or (code, stdout) with check_output)."""
        # Output goes through a file, never a pipe: Wine's background processes (services, winedevice)
        # inherit the handles and would hold a pipe open long after the program has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.Popen(["wine", exe] + list(args), env=self.env, cwd=cwd, stdout=out, stderr=err)
            try:
                code = p.wait(timeout)
            except subprocess.TimeoutExpired:
                self.diagnose("%s did not end within %d s" % (os.path.basename(exe), timeout))
                p.kill()
                p.wait()
                raise
            out.seek(0)
            text = out.read().decode("latin-1")
            err.seek(0)
            crash = err.read().decode("latin-1")
            if "Unhandled" in crash:
                sys.stderr.write("\n=== %s crashed ===\n%s\n" % (os.path.basename(exe), crash))
        if check_output:
            return code, text
        return code

    def diagnose(self, why):
        """Writes to stderr, for the test's log, where every thread of every process of this prefix
        stands: a program that hangs is caught in the act."""
        sys.stderr.write("\n=== %s: the processes of the prefix ===\n" % why)
        try:
            bt = subprocess.run(["winedbg", "--command", "bt all"], env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=180).stdout.decode("latin-1")
        except subprocess.TimeoutExpired:
            bt = "(winedbg did not answer within 180 s)"
        for name in sorted(os.listdir(self.root)):
            if name.startswith("started-"):
                with open(os.path.join(self.root, name), "rb") as f:
                    text = f.read().decode("latin-1").strip()
                if text:
                    sys.stderr.write("--- stderr of a started program ---\n%s\n" % text)
        sys.stderr.write(bt + "\n=== end of the processes ===\n")
        sys.stderr.flush()

    def start(self, exe, args=(), cwd=None):
        """Starts a Windows program without waiting for it; returns the Popen."""
        # Its stderr is kept for diagnose(): Wine writes there when a program crashes.
        err = tempfile.NamedTemporaryFile(prefix="started-", suffix=".err", dir=self.root, delete=False)
        try:
            return subprocess.Popen(["wine", exe] + list(args), env=self.env, cwd=cwd,
                                    stdout=subprocess.DEVNULL, stderr=err)
        finally:
            err.close()

    def reg_query(self, key):
        """The output of 'reg query KEY' in this prefix (text), and its exit code."""
        return self.run("reg", ["query", key], timeout=120, check_output=True)

    def set_dpi(self, dpi):
        """Sets the display's pixels per inch; each process started afterwards reads it at its start."""
        self.run("reg", ["add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                         "/d", str(dpi), "/f"], timeout=120)

    def reg_export(self, key):
        """The key exported by 'reg export' (exact UTF-16, unlike 'reg query'), as text; None when missing."""
        out = os.path.join(self.root, "export.reg")
        if self.run("reg", ["export", key, self.winpath(out), "/y"], timeout=120) != 0 or not os.path.exists(out):
            return None
        with open(out, "rb") as f:
            data = f.read()
        os.remove(out)
        return data.decode("utf-16")

    def wait_idle(self, timeout=120):
        """Waits until every process of this prefix has ended."""
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=timeout, check=False)

    def restart(self):
        """Stops this prefix's wineserver so that changed drive settings take effect."""
        subprocess.run(["wineserver", "-k"], env=self.env, check=False, timeout=60)
        time.sleep(0.5)

    def __exit__(self, *exc):
        subprocess.run(["wineserver", "-k"], env=self.env, check=False, timeout=60)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)
        return False


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--make-template", metavar="DIR")
    ap.add_argument("--template", metavar="DIR")
    ap.add_argument("--cwd")
    ap.add_argument("--display", action="store_true")
    ap.add_argument("command", nargs="*")
    a = ap.parse_args()
    if a.make_template:
        make_template(a.make_template)
        return 0
    if not a.command:
        ap.error("no program to run")
    with WinePrefix(template=a.template, display=a.display) as wp:
        p = subprocess.run(["wine"] + a.command, env=wp.env, cwd=a.cwd)
        return p.returncode


if __name__ == "__main__":
    sys.exit(main())
