"""setup.exe as a file: a 64-bit GUI program that runs on a clean Windows (system DLLs only), with its
manifest and the game payload as resources."""
import os
import re
import subprocess
import tempfile
import unittest

import e2e

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll", "shell32.dll",
               "ole32.dll", "advapi32.dll", "msvcrt.dll"}


class Executable(unittest.TestCase):
    def objdump(self, exe):
        return subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], check=True,
                              stdout=subprocess.PIPE).stdout.decode("latin-1")

    def test_pe32_plus_gui_importing_only_system_dlls(self):
        for exe in (e2e.SETUP_EXE, e2e.PAYLOAD):
            with self.subTest(exe=os.path.basename(exe)):
                out = self.objdump(exe)
                self.assertRegex(out, r"Magic\s+020b\s+\(PE32\+\)")
                self.assertRegex(out, r"Subsystem\s+00000002\s+\(Windows GUI\)")
                dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", out)}
                self.assertTrue(dlls, "no imports found")
                self.assertLessEqual(dlls, SYSTEM_DLLS, "imports beyond the system DLLs: %s" % (dlls - SYSTEM_DLLS))

    def test_resources_manifest_and_payload(self):
        listing = subprocess.run(["wrestool", "-l", e2e.SETUP_EXE], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        self.assertRegex(listing, r"--type=24 --name=1 --language=1033")
        self.assertRegex(listing, r"--type=10 --name='GAMEEXE' --language=1033")
        self.assertNotIn("--type=14", listing, "the setup itself carries no icon")

        manifest = subprocess.run(["wrestool", "-x", "--raw", "--type=24", "--name=1", e2e.SETUP_EXE], check=True,
                                  stdout=subprocess.PIPE).stdout.decode()
        self.assertTrue(manifest.startswith('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'))
        self.assertIn('name="TovekZarnithPCNative.Setup"', manifest)
        self.assertIn("<description>Tovek Zarnith - PC Native Setup</description>", manifest)
        self.assertRegex(manifest, r'name="Microsoft.Windows.Common-Controls"\s+version="6.0.0.0"')
        self.assertIn('publicKeyToken="6595b64144ccf1df"', manifest)
        self.assertRegex(manifest, r'level="asInvoker"\s+uiAccess="false"')
        self.assertRegex(manifest, r"<dpiAware[^>]*>true</dpiAware>")
        self.assertRegex(manifest, r'<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">'
                                   r"UTF-8</activeCodePage>", "without it names outside the code page break")

        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "payload.bin")
            subprocess.run(["wrestool", "-x", "--raw", "--type=10", "--name=GAMEEXE", "-o", out, e2e.SETUP_EXE], check=True)
            with open(out, "rb") as a, open(e2e.PAYLOAD, "rb") as b:
                self.assertEqual(a.read(), b.read(), "GAMEEXE must be the stand-in game byte for byte")


if __name__ == "__main__":
    e2e.main()
