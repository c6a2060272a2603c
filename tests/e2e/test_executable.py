"""setup.exe as a file: a 64-bit GUI program that runs on a clean Windows (system DLLs only), with its
manifest, its icon, its version information, the game payload and the list of known releases as resources; small, stripped, and
built with the protections Windows offers (ASLR with high entropy, DEP)."""
import os
import re
import subprocess
import tempfile
import unittest

import e2e
import resinfo

# setup.exe without the game it carries stays near a bare NSIS installer (94 KB): it was below 80 KiB
# until the install record, the roll-back, the checks before writing, moving an install, one setup at a
# time, the Joliet tree and the sheets under any name added 16.5 KiB; TOC sheets, a data track at its
# disc address and Rock Ridge's moved folders 5 KiB more; keeping a signed game signed (the signature check,
# its emblem as an icon file beside it) 1.5 KiB more. A worn disc's retries, the box that asks about a file
# that does not read, the copy that reads ahead and the time left add 16 KiB of code; the checks against the
# CD's known releases (CRC-32 by carry-less multiplication, the list's reader, the decision, /verify, the
# repair) 12 KiB. The catalogues of eleven languages go packed with LZMA, their English texts once. The
# decoders of the images players keep take the rest: CHD (libchdr with its FLAC decoder, zstd's decoder,
# zlib's inflate), ZIP (minizip), 7z (the LZMA SDK, whose LZMA decoder libchdr shares) and ECM. The list of
# known releases is data like the payload and is not counted.
SETUP_PART_LIMIT = 384 * 1024
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
        self.assertRegex(listing, r"--type=10 --name='CDLIST' --language=1033", "built without the list of releases")

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


    def test_stripped_small_and_hardened(self):
        for exe in (e2e.SETUP_EXE, e2e.PAYLOAD):
            with self.subTest(exe=os.path.basename(exe)):
                sections = subprocess.run(["x86_64-w64-mingw32-objdump", "-h", exe], check=True,
                                          stdout=subprocess.PIPE).stdout.decode()
                names = re.findall(r"^\s*\d+\s+(\S+)", sections, re.M)
                self.assertEqual([n for n in names if n.startswith(".debug")], [], "debug sections shipped")
                self.assertIn(".reloc", names, "no base relocations: Windows could not move the image (ASLR)")
                symbols = subprocess.run(["x86_64-w64-mingw32-objdump", "-t", exe], check=True,
                                         stdout=subprocess.PIPE).stdout.decode()
                self.assertIn("no symbols", symbols, "the symbol table was shipped")
                out = self.objdump(exe)
                flags = re.search(r"DllCharacteristics\s+([0-9a-f]+)", out)
                self.assertTrue(flags, "no DllCharacteristics in the PE header")
                # DYNAMIC_BASE 0x40, HIGH_ENTROPY_VA 0x20, NX_COMPAT 0x100
                self.assertEqual(int(flags.group(1), 16) & 0x160, 0x160, "ASLR, high-entropy VA or DEP is off")
                self.assertRegex(out, r"Time/Date\s+Thu Jan  1 00:00:00 1970",
                                 "a build time stamp makes two builds of one commit differ")

        listing = subprocess.run(["wrestool", "-l", e2e.SETUP_EXE], check=True, stdout=subprocess.PIPE).stdout.decode()
        payload = int(re.search(r"--name='GAMEEXE'.*size=(\d+)", listing).group(1))
        cd_list = int(re.search(r"--name='CDLIST'.*size=(\d+)", listing).group(1))
        whole = os.path.getsize(e2e.SETUP_EXE) - cd_list
        sizes = subprocess.run(["x86_64-w64-mingw32-size", "-A", e2e.SETUP_EXE], check=True,
                               stdout=subprocess.PIPE).stdout.decode()
        self.assertEqual(payload, os.path.getsize(e2e.PAYLOAD))
        self.assertLessEqual(whole - payload, SETUP_PART_LIMIT,
                             "setup.exe without its payload is %d bytes; sections:\n%s" % (whole - payload, sizes))
        self.assertGreater(whole - payload, 16 * 1024, "implausibly small setup part")

    def test_icon_and_version_information(self):
        listing = subprocess.run(["wrestool", "-l", e2e.SETUP_EXE], check=True, stdout=subprocess.PIPE).stdout.decode()
        # Explorer shows the first icon group, and the window class loads id 1: there is one, and it is 1.
        self.assertEqual(re.findall(r"--type=14 --name=(\S+)", listing), ["1"])
        with tempfile.TemporaryDirectory() as d:
            ico = os.path.join(d, "setup.ico")
            subprocess.run(["wrestool", "-x", "--type=14", "--name=1", "-o", ico, e2e.SETUP_EXE], check=True)
            icotool = subprocess.run(["icotool", "-l", ico], check=True, stdout=subprocess.PIPE).stdout.decode()
            images = resinfo.ico_images(e2e.read(ico))
        self.assertEqual(sorted(re.findall(r"--width=(\d+) --height=\1 --bit-depth=32", icotool), key=int),
                         ["16", "32", "48", "256"], icotool)
        for w, h, _, data in images:
            with self.subTest(size=w):
                pw, ph, pixels = resinfo.png_rgba(data)
                self.assertEqual((pw, ph), (w, h), "icon image of another size than its entry says")
                opaque = sum(1 for p in pixels if p[3] == 255)
                self.assertTrue(w * h // 4 < opaque < w * h, "the icon is blank or has no transparent edge")

        blob = subprocess.run(["wrestool", "-x", "--raw", "--type=16", "--name=1", e2e.SETUP_EXE], check=True,
                              stdout=subprocess.PIPE).stdout
        info = resinfo.version_strings(blob)
        version = re.search(r"project\(zarnith_setup VERSION (\d+)\.(\d+)\.(\d+)",
                            e2e.read(os.path.join(e2e.SOURCE, "CMakeLists.txt"), "r")).groups()
        self.assertEqual(info.get("FileDescription"), "Tovek Zarnith - PC Native Setup")
        self.assertEqual(info.get("ProductName"), "Tovek Zarnith (PC Native)")
        self.assertEqual(info.get("CompanyName"), "PC Native port (fan project)")
        self.assertEqual(info.get("OriginalFilename"), "setup.exe")
        self.assertTrue(info.get("LegalCopyright"), "no LegalCopyright")
        self.assertEqual(info.get("FileVersion"), ".".join(version))
        self.assertEqual(info.get("ProductVersion"), ".".join(version))
        self.assertEqual(info["FixedFileVersion"], ".".join(version) + ".0")
        self.assertEqual(info["FixedProductVersion"], ".".join(version) + ".0")


if __name__ == "__main__":
    e2e.main()
