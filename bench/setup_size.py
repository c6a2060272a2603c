#!/usr/bin/env python3
"""Prints the size of setup.exe with and without the game and the list of releases it carries, next to the stub of a minimal
NSIS installer (94 KB), and the size of each section, so that a section that grows (code, or a
zero-filled buffer that lands in .data instead of .bss) shows at once.

    bench/setup_size.py [SETUP_EXE]        (default build/windows/setup.exe)

The setup part is the file size minus the GAMEEXE and CDLIST resources: exact to within the resource section's
512-byte alignment. Figures, not a test: the executable test holds the 384 KiB limit (the decoders of
CHD, ZIP, 7z and ECM included; the eleven catalogues of translations go packed with LZMA).
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
NSIS_STUB = 94 * 1024
LIMIT = 384 * 1024  # the executable test's SETUP_PART_LIMIT


def main():
    exe = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "windows", "setup.exe")
    listing = subprocess.run(["wrestool", "-l", exe], check=True, stdout=subprocess.PIPE, text=True).stdout
    payload = 0
    m = re.search(r"--name='GAMEEXE'.*size=(\d+)", listing)
    if m:
        payload = int(m.group(1))
    m = re.search(r"--name='CDLIST'.*size=(\d+)", listing)
    cd_list = int(m.group(1)) if m else 0
    others = sum(int(s) for s in re.findall(r"size=(\d+)", listing)) - payload - cd_list
    whole = os.path.getsize(exe)
    part = whole - payload - cd_list
    print("%-44s %9s bytes" % ("setup.exe", format(whole, ",")))
    print("%-44s %9s bytes" % ("  GAMEEXE payload", format(payload, ",")))
    print("%-44s %9s bytes" % ("  CDLIST, the known releases", format(cd_list, ",")))
    print("%-44s %9s bytes  (%.1f KiB; limit %d KiB)" % ("  setup without payload", format(part, ","),
                                                          part / 1024, LIMIT // 1024))
    print("%-44s %9s bytes" % ("    of it icon, version, manifest resources", format(others, ",")))
    print("%-44s %9s bytes  (setup part is %.0f%% of it)" % ("reference: minimal NSIS installer, 94 KB",
                                                              format(NSIS_STUB, ","), 100.0 * part / NSIS_STUB))
    out = subprocess.run(["x86_64-w64-mingw32-objdump", "-h", exe], check=True, stdout=subprocess.PIPE,
                         text=True).stdout
    print("sections:")
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 7 and f[0].isdigit():
            note = "  (zero-filled at load, takes no room in the file)" if f[1] == ".bss" else ""
            print("  %-10s %9s%s" % (f[1], format(int(f[2], 16), ","), note))


if __name__ == "__main__":
    main()
