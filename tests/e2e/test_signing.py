"""A signed release, from a build of its own given a throwaway code-signing certificate (made with openssl) and
a signed stand-in game: setup.exe, the uninstall.exe an install leaves and the removal's temporary copy verify
against that certificate; the game is installed untouched and still verifies, its emblem in zarnith.ico (in
the record, shown by both shortcuts). A wrong password fails the build with osslsigncode's reason."""
import os
import shutil
import subprocess
import sys

import e2e

PASSWORD = "throwaway signing password"
SIGNING = dict(os.environ, ZARNITH_SIGN_PASSWORD=PASSWORD)


def verify(path, cert):
    """osslsigncode's verdict on path's signature, trusting cert alone: (ok, its output)."""
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-TSA-CAfile", cert, "-in", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return done.returncode == 0, done.stdout.decode("utf-8", "replace")


class SignedRelease(e2e.WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        key, cls.cert, pfx = (os.path.join(cls.tmp, n) for n in ("key.pem", "cert.pem", "sign.p12"))
        ext = ["basicConstraints=critical,CA:FALSE", "keyUsage=critical,digitalSignature", "extendedKeyUsage=codeSigning"]
        quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=SIGNING)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cls.cert,
                        "-days", "7", "-subj", "/CN=Tovek Zarnith test signer"] + sum([["-addext", e] for e in ext], []),
                       **quiet)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cls.cert, "-out", pfx,
                        "-passout", "env:ZARNITH_SIGN_PASSWORD"], **quiet)
        # The main build's stand-in game, signed as a port team ships its game.
        cls.game = os.path.join(cls.tmp, "zarnith.exe")
        shutil.copyfile(e2e.PAYLOAD, cls.game)
        subprocess.run([sys.executable, os.path.join(e2e.SOURCE, "scripts", "sign_exe.py"), "--pfx", pfx, cls.game],
                       **quiet)
        # Only setup.exe and what it needs; a wrong password first, so that the right one costs a link more.
        build, python = os.path.join(cls.tmp, "build"), shutil.which("python3", path="/usr/bin") or sys.executable
        subprocess.run(["cmake", "--preset", "windows", "-B", build, "-DPython3_EXECUTABLE=" + python,
                        "-DZARNITH_SIGN_PFX=" + pfx, "-DZARNITH_GAME_EXE=" + cls.game], cwd=e2e.SOURCE, **quiet)
        make = ["cmake", "--build", build, "--target", "setup", "-j2"]
        cls.wrong = subprocess.run(make, env=dict(SIGNING, ZARNITH_SIGN_PASSWORD="not it"), stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        cls.setup_exe = os.path.join(build, "setup.exe")
        cls.left_after_wrong = os.path.exists(cls.setup_exe)
        subprocess.run(make, **quiet)

    def test_wrong_password_fails_the_build(self):
        out = self.wrong.stdout.decode("utf-8", "replace")
        self.assertNotEqual(self.wrong.returncode, 0, out)
        self.assertIn("signing %s failed:" % self.setup_exe, out)
        self.assertIn("PKCS#12", out, "osslsigncode's reason must be in the build's output")
        self.assertNotIn(PASSWORD, out)
        self.assertFalse(self.left_after_wrong, "an unsigned setup.exe was left for the next build to take")

    def test_signed_setup_installs_a_signed_game_and_removes_it(self):
        ok, out = verify(self.setup_exe, self.cert)
        self.assertTrue(ok and "SHA256" in out, out)
        self.assertFalse(verify(e2e.SETUP_EXE, self.cert)[0], "the unsigned build must not verify")
        signed = e2e.read(self.setup_exe)
        run = self.installed(self.cd, "C:\\Games\\Signed", exe=self.setup_exe)
        self.assertIn("zarnith.exe is signed: its emblem goes into zarnith.ico", run.log)
        for name, original in (("zarnith.exe", e2e.read(self.game)), ("uninstall.exe", signed)):
            path = os.path.join(run.host, name)
            self.assertTrue(e2e.read(path) == original, name + " must be written byte for byte")
            self.assertTrue(verify(path, self.cert)[0], name + " must verify")

        icon = os.path.join(run.host, "zarnith.ico")
        sizes = subprocess.run(["icotool", "-l", icon], check=True, stdout=subprocess.PIPE).stdout.decode()
        self.assertEqual(sizes.count("--bit-depth=32"), 7, sizes)
        for n in (16, 24, 32, 48, 64, 128, 256):
            self.assertIn("--width=%d --height=%d" % (n, n), sizes)
        self.assertIn("zarnith.ico", e2e.read(os.path.join(run.host, "installed_files.txt"), "r").splitlines())
        for link in e2e.shortcuts(self.wp):
            self.assertEqual(e2e.lnkinfo(link).get("Icon location"), run.folder + "\\zarnith.ico", link)
        self.assertEqual(e2e.uninstall_entry(self.wp)["DisplayIcon"], ("REG_SZ", run.folder + "\\zarnith.ico"))

        # The removal takes the icon file with the rest; the first stage's copy that runs it is setup.exe too.
        self.assertEqual(self.wp.run(os.path.join(run.host, "uninstall.exe"), ["/uninstall", "/quiet"]), 0)
        self.assertEqual(e2e.wait_gone(run.host), [], "the removal left the install folder")
        copy = e2e.temp_folder(self.wp, "zarnith_uninstall.exe")
        self.assertTrue(e2e.read(copy) == signed and verify(copy, self.cert)[0], "the temporary copy differs")


if __name__ == "__main__":
    e2e.main()
