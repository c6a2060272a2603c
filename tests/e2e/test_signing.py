"""A signed release. A throwaway code-signing certificate (made here with openssl) goes to a build of its own
with -DZARNITH_SIGN_PFX and a signed stand-in game as the payload: setup.exe verifies against that
certificate with osslsigncode, and so do the uninstall.exe an install leaves and the temporary copy that
removes the game, byte for byte setup.exe. The signed game comes out of the install as it went in, still
verifying, with its emblem in zarnith.ico beside it (seven sizes, in the install record), which both
shortcuts show. A wrong password fails the build with osslsigncode's reason and leaves no setup.exe behind."""
import os
import shutil
import subprocess
import sys

import e2e

PASSWORD = "throwaway signing password"
CERT_CONFIG = """[req]
distinguished_name = dn
x509_extensions = ext
prompt = no
[dn]
CN = Tovek Zarnith test signer
[ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
"""


def make_certificate(folder):
    """A self-signed code-signing certificate (cert.pem) and the PKCS#12 file with it and its key (sign.p12,
    protected by PASSWORD, handed to openssl through its environment)."""
    cnf, key, cert, pfx = (os.path.join(folder, n) for n in ("cert.cnf", "key.pem", "cert.pem", "sign.p12"))
    e2e.write(cnf, CERT_CONFIG)
    quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "7", "-config", cnf], **quiet)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                    "-passout", "env:ZARNITH_SIGN_PASSWORD"], env=dict(os.environ, ZARNITH_SIGN_PASSWORD=PASSWORD),
                   **quiet)
    return cert, pfx


def verify(path, cert):
    """osslsigncode's verdict on path's signature, trusting cert alone: (ok, its output)."""
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-TSA-CAfile", cert, "-in", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return done.returncode == 0, done.stdout.decode("utf-8", "replace")


class SignedRelease(e2e.WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cert, cls.pfx = make_certificate(cls.tmp)
        signing = dict(os.environ, ZARNITH_SIGN_PASSWORD=PASSWORD)
        # The stand-in game of the main build, signed as a port team ships its game.
        cls.game = os.path.join(cls.tmp, "signed-game", "zarnith.exe")
        os.makedirs(os.path.dirname(cls.game))
        shutil.copyfile(e2e.PAYLOAD, cls.game)
        subprocess.run([sys.executable, os.path.join(e2e.SOURCE, "scripts", "sign_exe.py"), "--pfx", cls.pfx,
                        cls.game], env=signing, check=True, stdout=subprocess.DEVNULL)

        # Only setup.exe and what it needs are built; a wrong password first, which fails after the
        # compiling, so that the right one costs a link and a signature more.
        cls.build = os.path.join(cls.tmp, "build")
        python = shutil.which("python3", path="/usr/bin") or sys.executable
        subprocess.run(["cmake", "--preset", "windows", "-B", cls.build, "-DPython3_EXECUTABLE=" + python,
                        "-DZARNITH_SIGN_PFX=" + cls.pfx, "-DZARNITH_GAME_EXE=" + cls.game],
                       cwd=e2e.SOURCE, check=True, stdout=subprocess.DEVNULL)
        build = ["cmake", "--build", cls.build, "--target", "setup", "-j2"]
        cls.wrong = subprocess.run(build, env=dict(signing, ZARNITH_SIGN_PASSWORD="not the password"),
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        cls.setup_exe = os.path.join(cls.build, "setup.exe")
        cls.left_after_wrong = os.path.exists(cls.setup_exe)
        subprocess.run(build, env=signing, check=True, stdout=subprocess.DEVNULL)
        cls.signed = e2e.read(cls.setup_exe)

    def test_wrong_password_fails_the_build(self):
        out = self.wrong.stdout.decode("utf-8", "replace")
        self.assertNotEqual(self.wrong.returncode, 0, out)
        self.assertIn("signing %s failed:" % self.setup_exe, out)
        self.assertIn("PKCS#12", out, "osslsigncode's reason must be in the build's output")
        self.assertNotIn(PASSWORD, out)
        self.assertFalse(self.left_after_wrong, "an unsigned setup.exe was left for the next build to take")

    def test_signed_game_stays_signed_and_its_emblem_goes_into_an_icon_file(self):
        run = self.installed(self.cd, "C:\\Games\\Signed Game", exe=self.setup_exe)
        self.assertIn("zarnith.exe is signed: its emblem goes into zarnith.ico", run.log)
        game = os.path.join(run.host, "zarnith.exe")
        self.assertTrue(e2e.read(game) == e2e.read(self.game), "the signed game must be written byte for byte")
        ok, out = verify(game, self.cert)
        self.assertTrue(ok, out)

        icon = os.path.join(run.host, "zarnith.ico")
        sizes = subprocess.run(["icotool", "-l", icon], check=True, stdout=subprocess.PIPE).stdout.decode()
        found = [tuple(int(f.split("=")[1]) for f in line.split() if f.split("=")[0] in ("--width", "--bit-depth"))
                 for line in sizes.splitlines()]
        self.assertEqual(found, [(n, 32) for n in (16, 24, 32, 48, 64, 128, 256)], sizes)
        self.assertIn("zarnith.ico", e2e.read(os.path.join(run.host, "installed_files.txt"), "r").splitlines())
        for link in e2e.shortcuts(self.wp):
            info = e2e.lnkinfo(link)
            self.assertEqual(info.get("Local path"), run.folder + "\\zarnith.exe", link)
            self.assertEqual(info.get("Icon location"), run.folder + "\\zarnith.ico", link)

    def test_setup_and_its_uninstaller_verify(self):
        ok, out = verify(self.setup_exe, self.cert)
        self.assertTrue(ok, out)
        self.assertIn("SHA256", out)
        self.assertFalse(verify(e2e.SETUP_EXE, self.cert)[0], "the unsigned build must not verify")

        run = self.installed(self.cd, "C:\\Games\\Signed", exe=self.setup_exe)
        uninstaller = os.path.join(run.host, "uninstall.exe")
        ok, out = verify(uninstaller, self.cert)
        self.assertTrue(ok, out)
        self.assertTrue(e2e.read(uninstaller) == self.signed, "uninstall.exe must be setup.exe byte for byte")

        # The first stage's copy in the temporary folder, which runs the removal, is the same file.
        self.assertEqual(self.wp.run(uninstaller, ["/uninstall", "/quiet"], timeout=120), 0)
        self.assertEqual(e2e.wait_gone(run.host), [], "the removal left the install folder")
        copy = e2e.temp_folder(self.wp, "zarnith_uninstall.exe")
        self.assertTrue(e2e.read(copy) == self.signed, "the temporary copy must be setup.exe byte for byte")
        self.assertTrue(verify(copy, self.cert)[0])


if __name__ == "__main__":
    e2e.main()
