#!/usr/bin/env python3
"""Builds setup.exe twice from two copies of the source tree at different paths (so the source and the
build folder both differ) and compares the two files byte for byte. Exit 0 when they are identical.

    check_reproducible.py [SOURCE]

Only the setup target and what it needs (the stand-in game, the icon) are built. On a difference the
first differing offsets are printed with the section they fall in, to show what carries the build's
time or place.
"""
import os
import shutil
import subprocess
import sys
import tempfile

# Left out of the copies: build output, version control, caches.
SKIP = {"build", ".git", "__pycache__"}


def copy_source(src, dst):
    shutil.copytree(src, dst, ignore=lambda d, names: [n for n in names if n in SKIP])
    # The Debian source packages scripts/bootstrap.sh unpacked go along, so that their place differs too.
    third_party = os.path.join(src, "build", "third_party")
    shutil.copytree(third_party, os.path.join(dst, "build", "third_party"),
                    ignore=lambda d, names: ["apt"] if d == third_party else [])


def build(tree):
    py = shutil.which("python3", path="/usr/bin") or sys.executable
    subprocess.run(["cmake", "--preset", "windows", "-DPython3_EXECUTABLE=" + py], cwd=tree, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "windows", "--target", "setup"], cwd=tree, check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(tree, "build", "windows", "setup.exe")


def sections(exe):
    """[(name, file offset, raw size)] from objdump's section table."""
    out = subprocess.run(["x86_64-w64-mingw32-objdump", "-h", exe], check=True, stdout=subprocess.PIPE,
                         text=True).stdout
    rows = []
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 7 and f[0].isdigit():
            rows.append((f[1], int(f[5], 16), int(f[2], 16)))
    return rows


def where(offset, rows):
    for name, start, size in rows:
        if start and start <= offset < start + size:  # .bss has no bytes in the file
            return name
    return "headers" if offset < 0x400 else "?"


def main():
    source = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
    work = tempfile.mkdtemp(prefix="zarnith-repro-")
    try:
        trees = [os.path.join(work, "one", "zarnith"), os.path.join(work, "second-checkout", "elsewhere", "src")]
        exes = []
        for tree in trees:
            copy_source(source, tree)
            exes.append(build(tree))
        with open(exes[0], "rb") as f:
            a = f.read()
        with open(exes[1], "rb") as f:
            b = f.read()
        if a == b:
            print("setup.exe is byte-identical from %s and %s (%d bytes)" % (trees[0], trees[1], len(a)))
            return 0
        rows = sections(exes[0])
        diffs = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
        print("setup.exe differs between two builds of the same source: %d and %d bytes, %d bytes differ"
              % (len(a), len(b), len(diffs)))
        for i in diffs[:20]:
            print("  offset 0x%x (%s): %02x / %02x" % (i, where(i, rows), a[i], b[i]))
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
