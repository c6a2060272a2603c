#!/usr/bin/env python3
"""Seeds for fuzz_isodir: the sample game CD cut down to its directories and first file sectors (as an
ISO and as both raw layouts), a few small hand-made images with loops, shared folders, a deep chain and
odd names, images of a small tree as xorriso writes them (Joliet, Rock Ridge with moved folders and with
compressed files), and the hostile images of make_bad_iso.py.

    seeds_fuzz_isodir.py OUTDIR
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import make_bad_iso  # noqa: E402
import make_cd  # noqa: E402
from make_bad_iso import Image  # noqa: E402

SECTOR = make_cd.SECTOR_USER


def directory_end(iso):
    """The first sector after every directory of the image (the sample CD keeps them together)."""
    root = iso[16 * SECTOR + 156:16 * SECTOR + 190]
    todo = [struct.unpack_from("<I", root, 2) + struct.unpack_from("<I", root, 10)]
    seen, end = set(), 0
    while todo:
        extent, size = todo.pop()
        if extent in seen:
            continue
        seen.add(extent)
        end = max(end, extent + (size + SECTOR - 1) // SECTOR)
        data = iso[extent * SECTOR:extent * SECTOR + size]
        o = 0
        while o < size:
            n = data[o]
            if n == 0:
                o = (o // SECTOR + 1) * SECTOR
                continue
            k = data[o + 32]
            ident = data[o + 33:o + 33 + k]
            if data[o + 25] & 2 and ident not in (b"\0", b"\1"):
                todo.append(struct.unpack_from("<I", data, o + 2) + struct.unpack_from("<I", data, o + 10))
            o += n
    return end


def hand_made():
    seeds = {}
    img = Image()
    f = img.file(b"x" * 70000)
    small = img.file(b"hello")
    deep = img.directory([(b"DEEP.DAT;1", small, False)])
    for level in range(17):
        deep = img.directory([(b"D%02d" % (17 - level), deep, True), (b"L%02d.DAT;1" % level, small, False)])
    shared = img.directory([(b"S.DAT;1", small, False)])
    root_at = len(img.data) // SECTOR
    root = img.directory([(b"SELF", (root_at, SECTOR), True), (b"BIG.DAT;1", f, False),
                          (b"README.TXT;1", small, False), (b"SETUP.;1", small, False), (b"D01", deep, True),
                          (b"X", shared, True), (b"Y", shared, True)])
    seeds["loops_and_depth.iso"] = img.finish(root)

    img = Image()
    small = img.file(b"bad")
    up = img.directory([(b"ESCAPED.DAT;1", small, False)])
    root = img.directory([(b"OK.DAT;1", small, False), (b"...", up, True), (b"..", small, False),
                          (b"NUL.TXT;1", small, False), (b"A\\B", small, False)])
    seeds["names.iso"] = img.finish(root)

    img = Image()
    small = img.file(b"s")
    level = img.directory([(b"LEAF;1", small, False)])
    for _ in range(3):
        level = img.directory([(b"D%d" % i, level, True) for i in range(5)])
    seeds["fan_out.iso"] = img.finish(level)
    return seeds


def other_tools(work):
    """Images as xorriso writes them of a small tree with a deep branch: with a Joliet tree, with the deep
    folders moved into RR_MOVED (with and without Joliet), and with files stored compressed; the zero
    sectors at their ends left out."""
    tree = os.path.join(work, "tools-tree")
    deep = os.path.join(tree, *["L%d" % i for i in range(10)])
    os.makedirs(deep)
    for folder, name in ((tree, "Read me first.txt"), (deep, "DEEP.TXT"), (tree, "A.DAT")):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(name.encode() * 40)
    seeds = {}
    for name, kinds in (("joliet", {"joliet": True}), ("relocated", {"relocated": True}),
                        ("relocated_joliet", {"relocated": True, "joliet": True}), ("zisofs", {"zisofs": True})):
        path = os.path.join(work, name + ".iso")
        make_cd.write_iso(tree, path, **kinds)
        with open(path, "rb") as f:
            data = f.read().rstrip(b"\0")
        seeds["tools_%s.iso" % name] = data + b"\0" * (-len(data) % SECTOR)
    return seeds


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="seeds-isodir-") as work:
        subprocess.run([sys.executable, os.path.join(HERE, "..", "tools", "make_cd.py"), work, "--size", "small",
                        "--what", "iso", "-q"], check=True)
        with open(os.path.join(work, "cd.iso"), "rb") as f:
            iso = f.read()
        tools = other_tools(work)
    cut = iso[:(directory_end(iso) + 24) * SECTOR]
    seeds = {"sample_cd.iso": cut, "sample_cd_mode1.bin": make_cd.raw_sectors(cut, 1),
             "sample_cd_mode2.bin": make_cd.raw_sectors(cut, 2)}
    seeds.update(hand_made())
    seeds.update(tools)
    seeds["loops_and_depth_mode2.bin"] = make_cd.raw_sectors(seeds["loops_and_depth.iso"], 2)
    # The hostile install images, less the one built to exhaust a walk (too slow to copy each run).
    seeds.update((k, v) for k, v in make_bad_iso.images().items() if k != "fanout.iso")
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print("%d seeds in %s" % (len(seeds), out))


if __name__ == "__main__":
    main()
