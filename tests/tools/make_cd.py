#!/usr/bin/env python3
"""Make a deterministic sample game CD for the setup program's tests.

    python3 tests/tools/make_cd.py OUTDIR [--seed N] [--size small|bench]
                                   [--what tree,iso,bin,cue] [--abs-prefix Z:]

OUTDIR receives:
    tree/                      the CD contents as plain ISO 9660 (8.3) names
    cd.iso                     xorriso image of tree/, no Rock Ridge, no Joliet
    cd_mode1.bin, cd_mode2.bin raw 2352-byte sectors (Mode 1, Mode 2 Form 1)
    cd_mode1.cue, cd_mode2.cue, cd_abs.cue, cd_comment.cue
    make_cd.stamp              written last; a rerun with the same seed and
                               size returns at once

    python3 tests/tools/make_cd.py --dat FILE [--seed N] [--size small|bench]

writes the CD's Logiqx DAT alone: one <game> named SAMPLE_RELEASE with a
<rom> (path with '\\', size, CRC-32) for every file of the tree, computed
without writing the tree. The build carries it as the list of known releases.

Everything depends only on the seed and the size, so two runs give identical
bytes, the ISO included.  The module can be imported by other tests; see
SOUND_BANKS, tree_files(), tree_sums(), dat_text(), scan_tree(), iso_to_bin(),
build_lbm() and byterun1_encode().
"""

import argparse
import binascii
import functools
import json
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time
import zlib
from xml.sax.saxutils import quoteattr

import ecm

FORMAT_VERSION = 2
# The release the sample CD is in its DAT, and so in the setup's list of known releases.
SAMPLE_RELEASE = "Tovek Zarnith (sample CD)"

SOUND_BANKS = [
    "AMBIENT", "BATTLE", "CREATURE", "DOORS", "FOOTSTEP", "INTERFAC",
    "MAGIC", "MUSICA", "MUSICB", "VOICES", "WEATHER",
]

MARKER_FILES = ["3DGAME.EXE", "MCP.EXE", "VILLAGE1.EXE", "VELTRIS/INTRO.DAT",
                "GAME.CFG"]
LBM_PATH = "INTRO/DATA/A.LBM"

# The installer copies only the direct files of VELTRIS; whatever sits in
# VELTRIS_SUBDIR must stay on the CD.
VELTRIS_FILES = {
    "INTRO.DAT": 300_001,
    "WORLD.DAT": 204_800,      # whole number of sectors
    "NPC.DAT": 33_333,
    "ITEMS.DAT": 12_288,
    "TEXT.DAT": 77_777,
    "MAPS.DAT": 150_000,
}
VELTRIS_SUBDIR = "VELTRIS/EXTRAS"
VELTRIS_SUBDIR_FILE = "VELTRIS/EXTRAS/EXTRA.DAT"

ROOT_EXE_SIZES = {
    "3DGAME.EXE": 412_843,
    "MCP.EXE": 96_771,
    "VILLAGE1.EXE": 158_210,
}

DEEP_LEVELS = 17
DEEP_DIRS = ["D%02d" % i for i in range(1, DEEP_LEVELS + 1)]
MANY_DIR = "MAPS"
MANY_COUNT = 80
EMPTY_DIR = "EMPTY"
EDGE_FILES = {
    "EDGE/ZERO.DAT": 0,
    "EDGE/SECTOR.DAT": 2048,
    "EDGE/SECTP1.DAT": 2049,
    "EDGE/K64M1.DAT": 65_535,
    "EDGE/K64.DAT": 65_536,
    "EDGE/K64P1.DAT": 65_537,
}
BIG_DIR = "MOVIES"

SIZES = {
    # filler: pseudo-random files under DATA; groups: DATA/GRPnn folders;
    # big: files in MOVIES sharing what is left up to total_bytes.
    "small": {"filler": 170, "groups": 6, "big": 0, "total_bytes": None},
    "bench": {"filler": 1840, "groups": 24, "big": 12,
              "total_bytes": 600 * 1024 * 1024},
}

OUTPUTS = ("tree", "iso", "bin", "cue", "forms", "chd", "archives")
STAMP_NAME = "make_cd.stamp"
VOLUME_ID = "TOVEK_ZARNITH"

# 1999-11-11 00:00:00 UTC: every file, folder and volume date gets this, so
# the image does not depend on when it was made.
FIXED_EPOCH = 942_278_400
FIXED_UUID = "1999111100000000"

GAME_CFG = (
    "; Tovek Zarnith game configuration\r\n"
    "[Game]\r\n"
    "Language=EN\r\n"
    "Difficulty=2\r\n"
    "[Paths]\r\n"
    "CD=D:\\\r\n"
    "Data=VELTRIS\r\n"
    "Sound=SOUND\r\n"
    "[Sound]\r\n"
    "Banks=11\r\n"
    "Volume=80\r\n"
    "[Video]\r\n"
    "Mode=320x200\r\n"
).encode("ascii")

_NAME_RE = re.compile(r"^[A-Z0-9_]{1,8}(\.[A-Z0-9_]{1,3})?$")
_DIR_RE = re.compile(r"^[A-Z0-9_]{1,8}$")


# --------------------------------------------------------------------------
# IFF / ILBM (PBM) pictures

def byterun1_encode(data):
    """ByteRun1 (PackBits) for one row.  Runs of three or more become repeat
    codes; a pair stays literal, which never costs more bytes."""
    data = bytes(data)
    out = bytearray()
    n = len(data)
    lit_start = 0
    i = 0

    def flush(start, end):
        while start < end:
            k = min(128, end - start)
            out.append(k - 1)
            out.extend(data[start:start + k])
            start += k

    while i < n:
        j = i + 1
        while j < n and j - i < 128 and data[j] == data[i]:
            j += 1
        run = j - i
        if run >= 3:
            flush(lit_start, i)
            out.append(257 - run)
            out.append(data[i])
            lit_start = j
        i = j
    flush(lit_start, n)
    return bytes(out)


def byterun1_decode(data, length, pos=0):
    """Decode `length` bytes starting at data[pos]; returns (bytes, new pos)."""
    out = bytearray()
    while len(out) < length:
        if pos >= len(data):
            raise ValueError("ByteRun1 data ends early")
        n = data[pos]
        pos += 1
        if n < 128:
            out += data[pos:pos + n + 1]
            pos += n + 1
        elif n > 128:
            out += bytes([data[pos]]) * (257 - n)
            pos += 1
    if len(out) != length:
        raise ValueError("ByteRun1 run crosses the row end")
    return bytes(out), pos


def _chunk(cid, payload):
    pad = b"\0" if len(payload) & 1 else b""
    return cid + struct.pack(">I", len(payload)) + payload + pad


def build_lbm(width, height, rows, palette, compress=True, aspect=(5, 6),
              page=None):
    """A FORM PBM picture: BMHD, CMAP and BODY with one byte per pixel.
    `rows` holds `height` rows of `width` palette indices, `palette` (r, g, b)
    triples."""
    rows = [bytes(r) for r in rows]
    if len(rows) != height or any(len(r) != width for r in rows):
        raise ValueError("rows do not match %dx%d" % (width, height))
    page_w, page_h = page if page else (width, height)
    bmhd = struct.pack(">HHhhBBBBHBBhh", width, height, 0, 0, 8, 0,
                       1 if compress else 0, 0, 0, aspect[0], aspect[1],
                       page_w, page_h)
    cmap = b"".join(bytes((r, g, b)) for r, g, b in palette)
    body = bytearray()
    for r in rows:
        if width & 1:
            r += b"\0"
        body += byterun1_encode(r) if compress else r
    inner = (b"PBM " + _chunk(b"BMHD", bmhd) + _chunk(b"CMAP", cmap)
             + _chunk(b"BODY", bytes(body)))
    return b"FORM" + struct.pack(">I", len(inner)) + inner


def read_lbm(data):
    """Parse a FORM PBM picture as build_lbm writes it (any chunk order, unknown
    chunks skipped).  Returns a dict with width, height, compression, aspect,
    page, palette and rows."""
    if data[:4] != b"FORM" or data[8:12] != b"PBM ":
        raise ValueError("not a FORM PBM file")
    end = 8 + struct.unpack(">I", data[4:8])[0]
    pos = 12
    chunks = {}
    while pos + 8 <= end:
        cid = data[pos:pos + 4]
        size = struct.unpack(">I", data[pos + 4:pos + 8])[0]
        chunks[cid] = data[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)
    (w, h, _x, _y, planes, _mask, comp, _pad, _tr, xa, ya, pw,
     ph) = struct.unpack(">HHhhBBBBHBBhh", chunks[b"BMHD"])
    if planes != 8:
        raise ValueError("only 8-plane PBM supported")
    cmap = chunks.get(b"CMAP", b"")
    palette = [tuple(cmap[i:i + 3]) for i in range(0, len(cmap) - 2, 3)]
    body = chunks[b"BODY"]
    stride = w + (w & 1)
    rows = []
    p = 0
    for _ in range(h):
        if comp == 1:
            row, p = byterun1_decode(body, stride, p)
        elif comp == 0:
            row, p = body[p:p + stride], p + stride
        else:
            raise ValueError("unknown compression %d" % comp)
        rows.append(bytes(row[:w]))
    return {"width": w, "height": h, "compression": comp, "aspect": (xa, ya),
            "page": (pw, ph), "palette": palette, "rows": rows}


def emblem_palette():
    """Index 0 black, 1-4 the emblem's colours, the rest bright hues."""
    pal = [(0, 0, 0), (255, 200, 40), (220, 30, 40), (40, 120, 255),
           (255, 255, 255)]
    for i in range(len(pal), 256):
        h = (i * 37 % 256) / 256.0
        s = 0.6 + 0.4 * ((i * 53) % 7) / 6.0
        v = 0.75 + 0.25 * ((i * 29) % 5) / 4.0
        k = int(h * 6)
        f = h * 6 - k
        p, q, t = v * (1 - s), v * (1 - s * f), v * (1 - s * (1 - f))
        r, g, b = [(v, t, p), (q, v, p), (p, v, t), (p, q, v), (t, p, v),
                   (v, p, q)][k % 6]
        pal.append(tuple(int(round(c * 255)) for c in (r, g, b)))
    return pal


EMBLEM_BOX = (70, 25, 250, 175)   # x0, y0, x1, y1 (exclusive), 180 x 150


def emblem_rows(width=320, height=200):
    """A heraldic shield (flat top, rounded point at the bottom) with a bend
    from upper left to lower right and a dot in the upper right, so a flipped
    or mirrored copy does not look like the original."""
    cx = width / 2.0
    top = (height - 150) / 2.0
    rows = []
    for y in range(height):
        py = y + 0.5 - top
        row = bytearray(width)
        for x in range(width):
            px = x + 0.5 - cx
            if not _in_shield(px, py, 90.0, 0.0, 150.0):
                continue
            if not _in_shield(px, py, 82.0, 8.0, 142.0):
                c = 1
            elif abs((px + 90.0) * 150.0 - py * 180.0) / 234.3 < 14.0:
                c = 3
            elif (px - 45.0) ** 2 + (py - 35.0) ** 2 < 14.0 ** 2:
                c = 4
            else:
                c = 2
            row[x] = c
        rows.append(bytes(row))
    return rows


def _in_shield(px, py, half, y0, y1):
    if py < y0 or py >= y1:
        return False
    mid = 75.0
    if py <= mid:
        w = half
    else:
        t = (py - mid) / (y1 - mid)
        w = half * math.sqrt(max(0.0, 1.0 - t * t))
    return abs(px) < w


@functools.lru_cache(maxsize=1)
def make_intro_lbm():
    return build_lbm(320, 200, emblem_rows(), emblem_palette(), compress=True,
                     aspect=(5, 6), page=(320, 200))


# --------------------------------------------------------------------------
# The tree

def _plan(seed, size):
    """Returns (dirs, files): dirs a sorted list of folder paths, files a dict
    path -> int (pseudo-random content of that size) or bytes (literal)."""
    if size not in SIZES:
        raise ValueError("size must be one of %s" % ", ".join(SIZES))
    cfg = SIZES[size]
    rng = random.Random("tz-cd-plan:%d:%s" % (seed, size))
    files = {}
    dirs = set()

    def add(path, content):
        files[path] = content

    for name, n in ROOT_EXE_SIZES.items():
        add(name, n)
    add("GAME.CFG", GAME_CFG)
    for name, n in VELTRIS_FILES.items():
        add("VELTRIS/" + name, n)
    add(VELTRIS_SUBDIR_FILE, 5_000)
    for i, bank in enumerate(SOUND_BANKS):
        add("SOUND/%s.ASL" % bank, 24_000 + 7_919 * i)
    add(LBM_PATH, make_intro_lbm())
    for i in range(DEEP_LEVELS):
        add("/".join(DEEP_DIRS[:i + 1]) + "/DEPTH%02d.DAT" % (i + 1),
            1_000 + 111 * (i + 1))
    for i in range(MANY_COUNT):
        add("%s/MAP%02d.DAT" % (MANY_DIR, i), rng.randint(100, 6_000))
    dirs.add(EMPTY_DIR)
    for path, n in EDGE_FILES.items():
        add(path, n)

    # Filler: DATA/GRPnn, some with SUBn, some of those with a further level.
    folders = []
    for g in range(cfg["groups"]):
        grp = "DATA/GRP%02d" % g
        folders.append(grp)
        for s in range(rng.randint(0, 3)):
            sub = "%s/SUB%d" % (grp, s)
            folders.append(sub)
            if rng.random() < 0.4:
                folders.append(sub + "/LEVEL%d" % s)
    for i in range(cfg["filler"]):
        # The first ones go one to a folder so that no filler folder is empty.
        folder = folders[i] if i < len(folders) else rng.choice(folders)
        r = rng.random()
        if r < 0.70:
            n = rng.randint(1, 16_000)
        elif r < 0.95:
            n = rng.randint(16_000, 64_000)
        else:
            n = rng.randint(64_000, 200_000)
        add("%s/F%04d.DAT" % (folder, i), n)

    if cfg["big"]:
        def size_of(c):
            return c if isinstance(c, int) else len(c)
        left = cfg["total_bytes"] - sum(size_of(c) for c in files.values())
        weights = [rng.uniform(0.5, 1.5) for _ in range(cfg["big"])]
        sizes = [int(left * w / sum(weights)) for w in weights[:-1]]
        sizes.append(left - sum(sizes))
        for i, n in enumerate(sizes):
            add("%s/MOVIE%02d.MVI" % (BIG_DIR, i), n)

    for path in files:
        parts = path.split("/")
        for k in range(1, len(parts)):
            dirs.add("/".join(parts[:k]))
    for path in list(files) + sorted(dirs):
        parts = path.split("/")
        for p in parts[:-1]:
            assert _DIR_RE.match(p), path
        leaf_ok = _DIR_RE if path in dirs else _NAME_RE
        assert leaf_ok.match(parts[-1]), path
        assert len(path) + 1 < 255, path
    return sorted(dirs), files


def tree_files(seed=0, size="small"):
    """Sorted [(relative path with '/', size)] of every file on the CD."""
    _dirs, files = _plan(seed, size)
    return sorted((p, c if isinstance(c, int) else len(c))
                  for p, c in files.items())


def tree_dirs(seed=0, size="small"):
    """Sorted relative paths of every folder on the CD (root excluded)."""
    return _plan(seed, size)[0]


def scan_tree(root):
    """(sorted [(relative path, size)] of files, sorted [folders]) below root,
    paths with '/'; for comparing a copy with tree_files()/tree_dirs()."""
    files, dirs = [], []
    for base, dnames, fnames in os.walk(root):
        rel = os.path.relpath(base, root)
        rel = "" if rel == "." else rel.replace(os.sep, "/") + "/"
        dirs.extend(rel + d for d in dnames)
        for f in fnames:
            files.append((rel + f, os.path.getsize(os.path.join(base, f))))
    return sorted(files), sorted(dirs)


def tree_sums(seed=0, size="small"):
    """Sorted [(relative path with '/', size, CRC-32)] of every file on the CD, from what write_tree
    would write."""
    _dirs, files = _plan(seed, size)
    out = []
    for path in sorted(files):
        content = files[path]
        if isinstance(content, int):
            crc = 0
            for chunk in file_content_chunks(seed, path, content):
                crc = zlib.crc32(chunk, crc)
            out.append((path, content, crc))
        else:
            out.append((path, len(content), zlib.crc32(content)))
    return out


def dat_text(seed=0, size="small", name=SAMPLE_RELEASE):
    """The CD as a Logiqx XML DAT: one game, one rom per file."""
    lines = ['<?xml version="1.0"?>',
             '<!DOCTYPE datafile PUBLIC "-//Logiqx//DTD ROM Management Datafile//EN" '
             '"http://www.logiqx.com/Dats/datafile.dtd">',
             "<datafile>", "\t<header>", "\t\t<name>Tovek Zarnith CD</name>",
             "\t\t<description>The sample CD of the setup's tests (seed %d, %s)</description>" % (seed, size),
             "\t</header>", "\t<game name=%s>" % quoteattr(name),
             "\t\t<description>%s</description>" % name]
    for path, n, crc in tree_sums(seed, size):
        lines.append('\t\t<rom name=%s size="%d" crc="%08x"/>' % (quoteattr(path.replace("/", "\\")), n, crc))
    lines += ["\t</game>", "</datafile>", ""]
    return "\n".join(lines).encode("utf-8")


def _content_period(n):
    # Prime periods: a copy that mixes up power-of-two sized blocks can not
    # come out right by accident.
    return min(n, 65_521 if n <= 4 * 1024 * 1024 else 1_048_573)


def file_content_chunks(seed, path, n):
    """The pseudo-random content of a filler file, as a sequence of chunks."""
    if n == 0:
        return
    rng = random.Random("tz-cd-file:%d:%s" % (seed, path))
    block = rng.randbytes(_content_period(n))
    if path.endswith(".EXE"):
        block = b"MZ" + block[2:]
    full, rest = divmod(n, len(block))
    if full > 1 and len(block) < (1 << 20):
        rep = max(1, (1 << 20) // len(block))
        big = block * rep
        while full >= rep:
            yield big
            full -= rep
    for _ in range(full):
        yield block
    if rest:
        yield block[:rest]


def _rmtree(path):
    def onerror(func, p, _exc):
        # xorriso extracts read-only; make it writable and try once more.
        os.chmod(os.path.dirname(p), 0o755)
        try:
            os.chmod(p, 0o755)
        except OSError:
            pass
        func(p)
    if os.path.lexists(path):
        shutil.rmtree(path, onerror=onerror)


def write_tree(dest, seed=0, size="small"):
    dirs, files = _plan(seed, size)
    tmp = dest + ".tmp"
    _rmtree(tmp)
    os.makedirs(tmp)
    for d in dirs:
        os.makedirs(os.path.join(tmp, d), exist_ok=True)
    for path in sorted(files):
        content = files[path]
        full = os.path.join(tmp, path)
        with open(full, "wb") as f:
            if isinstance(content, int):
                for chunk in file_content_chunks(seed, path, content):
                    f.write(chunk)
            else:
                f.write(content)
        os.utime(full, (FIXED_EPOCH, FIXED_EPOCH))
    for d in sorted(dirs, key=lambda p: -p.count("/")):
        os.utime(os.path.join(tmp, d), (FIXED_EPOCH, FIXED_EPOCH))
    os.utime(tmp, (FIXED_EPOCH, FIXED_EPOCH))
    _rmtree(dest)
    os.rename(tmp, dest)


# --------------------------------------------------------------------------
# ISO

XORRISO_OPTIONS = [
    "-rockridge", "off", "-joliet", "off", "-hfsplus", "off",
    "-acl", "off", "-xattr", "off", "-md5", "off", "-hardlinks", "off",
    "-disk_dev_ino", "off",
    # Level 1 keeps 8.3 names as they are; deep_paths and long_paths keep the
    # D01..D17 branch in place (no relocation, which needs Rock Ridge).
    "-compliance", "iso_9660_level=1:deep_paths:long_paths:always_gmt",
    "-volid", VOLUME_ID,
    "-volume_date", "uuid", FIXED_UUID,
    "-volume_date", "all_file_dates", "=%d" % FIXED_EPOCH,
    "-iso_nowtime", "=%d" % FIXED_EPOCH,
]


def write_iso(tree, iso_path, joliet=False, zisofs=False, relocated=False, lba=0):
    """An ISO of the tree with xorriso; joliet adds a Joliet tree (long names, any script) beside the
    primary one, as images made on Windows have; zisofs stores the files compressed (with Rock Ridge,
    which says so); relocated moves the folders below level eight into RR_MOVED, as genisoimage -R
    does; lba masters it at that disc address (a data track behind audio: its sectors count from the
    disc's start, the file holds the track)."""
    tmp = iso_path + ".tmp"
    if os.path.exists(tmp):
        os.remove(tmp)   # xorriso would otherwise add a session to it
    cmd = (["xorriso", "-no_rc", "-report_about", "SORRY", "-abort_on",
            "FAILURE", "-outdev", "stdio:" + os.path.abspath(tmp)]
           + (["-as", "mkisofs", "-C", "0,%d" % lba, "--"] if lba else [])
           + XORRISO_OPTIONS + (["-joliet", "on", "-local_charset", "UTF-8"] if joliet else [])
           + (["-rockridge", "on"] if zisofs or relocated else [])
           + (["-compliance", "clear:iso_9660_level=1:long_paths:always_gmt", "-rr_reloc_dir", "RR_MOVED"]
              if relocated else [])
           + ["-map", os.path.abspath(tree), "/"]
           + (["-set_filter_r", "--zisofs", "/", "--"] if zisofs else [])
           + ["-commit", "-end"])
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(FIXED_EPOCH))
    for attempt in range(2):  # xorriso 1.5.4 now and then dies of SIGSEGV at the start: once more then
        res = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             env=env)
        if b"UNIX-SIGNAL:  SIGSEGV" not in res.stdout:
            break
        if os.path.exists(tmp):
            os.remove(tmp)
    if res.returncode != 0 or not os.path.exists(tmp):
        raise RuntimeError("xorriso failed (%d):\n%s"
                           % (res.returncode, res.stdout.decode(errors="replace")))
    if os.path.getsize(tmp) % 2048:
        raise RuntimeError("xorriso wrote a partial sector")
    os.replace(tmp, iso_path)


# --------------------------------------------------------------------------
# Raw sectors

SECTOR_RAW = 2352
SECTOR_USER = 2048
PREGAP_FRAMES = 150
SYNC = b"\x00" + b"\xff" * 10 + b"\x00"
MODE2_FORM1_SUBHEADER = bytes((0, 0, 0x08, 0)) * 2
_BCD = bytes((v // 10) << 4 | (v % 10) for v in range(100))


def user_data_offset(mode):
    return {1: 16, 2: 24}[mode]


def msf(lba):
    """(minute, second, frame) of a sector, 2 s pregap included."""
    f = lba + PREGAP_FRAMES
    return f // 4500, (f // 75) % 60, f % 75


def sector_header(lba, mode):
    m, s, f = msf(lba)
    if m > 99:
        raise ValueError("sector %d is beyond 99 minutes" % lba)
    return SYNC + bytes((_BCD[m], _BCD[s], _BCD[f], mode))


def iso_to_bin(iso_path, bin_path, mode):
    """Wrap every 2048-byte sector of iso_path into a raw 2352-byte Mode 1 or
    Mode 2 Form 1 sector.  EDC and ECC stay zero."""
    iso_to_raw(iso_path, bin_path, mode)


SUBCHANNEL = 96
SECTOR_M2 = 2336


def _bcd_msf(frames):
    return bytes((_BCD[frames // 4500], _BCD[(frames // 75) % 60], _BCD[frames % 75]))


def subchannel_pq(lba, track=1, track_start=0, interleaved=False):
    """96 subchannel bytes of a data sector: P all set, Q in mode 1 (position) with its CRC, R-W
    clear.  Deinterleaved: P, Q, R ... W, 12 bytes each; interleaved (raw P-W as a drive returns it):
    one bit of each channel per byte, P in bit 7."""
    q = (bytes((0x41, _BCD[track], 1)) + _bcd_msf(lba - track_start) + b"\0"
         + _bcd_msf(lba + PREGAP_FRAMES))
    q += struct.pack(">H", binascii.crc_hqx(q, 0) ^ 0xFFFF)
    if not interleaved:
        return b"\xff" * 12 + q + bytes(72)
    return b"".join(_P_Q_BITS[b] for b in q)


# The 8 interleaved subchannel bytes that carry one Q byte (most significant bit first), P set.
_P_Q_BITS = [bytes(0x80 | ((v >> (7 - k)) & 1) << 6 for k in range(8)) for v in range(256)]


RAW_CHUNK = 512  # sectors wrapped at a time


def _raw_wrapper(mode, sector_size, sub, first_lba, name):
    """A function that yields each of its chunks (whole 2048-byte sectors of the image `name`, RAW_CHUNK
    at most) wrapped as iso_to_raw describes: a view of one buffer that the next chunk overwrites."""
    if mode not in (1, 2):
        raise ValueError("mode must be 1 or 2")
    if sector_size == SECTOR_M2 and mode != 2:
        raise ValueError("2336-byte sectors are Mode 2")
    raw = sector_size != SECTOR_M2
    off = user_data_offset(mode) if raw else 8
    template = bytearray(sector_size * RAW_CHUNK)
    for k in range(RAW_CHUNK):
        o = k * sector_size
        if raw:
            template[o:o + 12] = SYNC
            template[o + 15] = mode
        if mode == 2:
            template[o + off - 8:o + off] = MODE2_FORM1_SUBHEADER
    bcd = _BCD

    def wrap(chunks):
        lba = first_lba
        for data in chunks:
            if len(data) % SECTOR_USER:
                raise ValueError("%s is not a whole number of sectors" % name)
            n = len(data) // SECTOR_USER
            if (lba + n + PREGAP_FRAMES) > 100 * 4500:
                raise ValueError("image longer than 99 minutes")
            buf = template
            mv = memoryview(data)
            o = 0
            d = 0
            for k in range(n):
                f = lba + k + PREGAP_FRAMES
                if raw:
                    buf[o + 12] = bcd[f // 4500]
                    buf[o + 13] = bcd[(f // 75) % 60]
                    buf[o + 14] = bcd[f % 75]
                buf[o + off:o + off + SECTOR_USER] = mv[d:d + SECTOR_USER]
                if sub:
                    buf[o + SECTOR_RAW:o + sector_size] = subchannel_pq(
                        lba + k, track_start=first_lba, interleaved=sub == "interleaved")
                o += sector_size
                d += SECTOR_USER
            yield memoryview(buf)[:o]
            lba += n
    return wrap


def iso_to_raw(iso_path, out_path, mode, sector_size=SECTOR_RAW, sub=None, lead=b"", first_lba=0):
    """Wrap every 2048-byte sector of iso_path into a Mode 1 or Mode 2 Form 1 sector of sector_size
    bytes: 2352 (sync, header, [subheader], data, zero EDC/ECC), 2448 (the same plus 96 subchannel
    bytes: sub = "deinterleaved" or "interleaved") or 2336 (Mode 2: subheader, data, zero EDC/ECC).
    `lead` (bytes) comes first in the file; the header addresses start at first_lba."""
    wrap = _raw_wrapper(mode, sector_size, sub, first_lba, iso_path)
    tmp = out_path + ".tmp"
    with open(iso_path, "rb") as src, open(tmp, "wb") as dst:
        dst.write(lead)
        for chunk in wrap(iter(lambda: src.read(SECTOR_USER * RAW_CHUNK), b"")):
            dst.write(chunk)
    os.replace(tmp, out_path)


def raw_sectors(iso, mode, sector_size=SECTOR_RAW, sub=None, first_lba=0):
    """The bytes iso_to_raw writes, for an image held in memory."""
    step = SECTOR_USER * RAW_CHUNK
    chunks = (iso[i:i + step] for i in range(0, len(iso), step))
    return b"".join(bytes(c) for c in _raw_wrapper(mode, sector_size, sub, first_lba, "the image")(chunks))


# --------------------------------------------------------------------------
# CUE sheets

def _cue(file_ref, mode, rem=None):
    lines = []
    if rem:
        lines.append("REM " + rem)
    lines += ['FILE "%s" BINARY' % file_ref,
              "  TRACK 01 MODE%d/2352" % mode,
              "    INDEX 01 00:00:00"]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def windows_path(posix_path, prefix="Z:"):
    return prefix + os.path.abspath(posix_path).replace("/", "\\")


def cue_sheets(outdir, abs_prefix="Z:"):
    """{file name: bytes} of the four CUE sheets."""
    return {
        "cd_mode1.cue": _cue("cd_mode1.bin", 1),
        "cd_mode2.cue": _cue("cd_mode2.bin", 2),
        "cd_abs.cue": _cue(windows_path(os.path.join(outdir, "cd_mode1.bin"),
                                        abs_prefix), 1),
        "cd_comment.cue": _cue("cd_mode1.bin", 1,
                               rem='COMMENT "Tovek Zarnith sample CD"'),
    }


# --------------------------------------------------------------------------
# The forms other tools write: raw sectors with subchannel, CloneCD, Alcohol, Nero, and CUE sheets as
# rippers write them.  Files with the bytes of cd_mode1.bin are hard links to it where possible.

AUDIO_SECTORS = 300          # the audio track before the data in cd_audio.bin
PREGAP_AUDIO = 450           # cd_pregap.bin: 6 s of audio, the data track's INDEX 00 at 00:04:00


def audio_sectors(n):
    """n raw audio sectors of a quiet deterministic tone."""
    one = bytes((i * 7) & 0x3F for i in range(SECTOR_RAW))
    return one * n


def ripper_cue_sheets():
    """{file name: bytes} of CUE sheets written the way ripping tools write them."""
    crlf = lambda lines: ("\r\n".join(lines) + "\r\n").encode("ascii")
    return {
        "cd_unquoted.cue": crlf(["FILE cd_mode1.bin BINARY", "  TRACK 01 MODE1/2352", "    INDEX 01 00:00:00"]),
        "cd_lower.cue": ("\n".join(['file "cd_mode1.bin" binary', "  track 01 mode1/2352",
                                     "    index 01 00:00:00"]) + "\n").encode("ascii"),
        "cd_bom.cue": b"\xef\xbb\xbf" + ("\r".join(['REM GENRE Game', 'TITLE "Tovek Zarnith PROFILE"',
                                                   'FILE "cd_mode1.bin" BINARY', "  TRACK 01 MODE1/2352",
                                                   "    INDEX 01 00:00:00"]) + "\r").encode("ascii"),
        "cd_multi.cue": crlf(['FILE "cd_audio.bin" BINARY', "  TRACK 01 AUDIO", "    INDEX 01 00:00:00",
                              'FILE "cd_mode1.bin" BINARY', "  TRACK 02 MODE1/2352", "    INDEX 01 00:00:00"]),
        "cd_pregap.cue": crlf(['FILE "cd_pregap.bin" BINARY', "  TRACK 01 AUDIO", "    INDEX 01 00:00:00",
                               "  TRACK 02 MODE1/2352", "    INDEX 00 00:04:00",
                               "    INDEX 01 %02d:%02d:%02d" % (PREGAP_AUDIO // 4500, PREGAP_AUDIO // 75 % 60,
                                                              PREGAP_AUDIO % 75)]),
        "cd_2336.cue": crlf(['FILE "cd_2336.bin" BINARY', "  TRACK 01 MODE2/2336", "    INDEX 01 00:00:00"]),
    }


def mixed_sheets(data_sectors):
    """{file name: bytes} of the sheets of cd_mixed.bin (audio, then the data track mastered at its disc
    address): a CUE sheet, and a TOC sheet in the form "cdrdao read-cd" writes."""
    m, s_, f = AUDIO_SECTORS // 4500, AUDIO_SECTORS // 75 % 60, AUDIO_SECTORS % 75
    dm, ds, df = data_sectors // 4500, data_sectors // 75 % 60, data_sectors % 75
    cue = ['FILE "cd_mixed.bin" BINARY', "  TRACK 01 AUDIO", "    INDEX 01 00:00:00",
           "  TRACK 02 MODE1/2352", "    INDEX 01 %02d:%02d:%02d" % (m, s_, f)]
    toc = ["CD_ROM", "", "", "// Track 1", "TRACK AUDIO", "NO COPY", "NO PRE_EMPHASIS", "TWO_CHANNEL_AUDIO",
           'FILE "cd_mixed.bin" 0 %02d:%02d:%02d' % (m, s_, f), "", "", "// Track 2", "TRACK MODE1_RAW", "NO COPY",
           'DATAFILE "cd_mixed.bin" #%d %02d:%02d:%02d // length in bytes: %d'
           % (AUDIO_SECTORS * SECTOR_RAW, dm, ds, df, data_sectors * SECTOR_RAW)]
    return {"cd_mixed.cue": ("\r\n".join(cue) + "\r\n").encode("ascii"),
            "cd_mixed.toc": ("\n".join(toc) + "\n").encode("ascii")}


def ccd_text(sectors, mode=1):
    """A CloneCD descriptor of one data track of `sectors` sectors."""
    lead_out = sectors
    m, s_, f = msf(lead_out)
    lines = ["[CloneCD]", "Version=3", "[Disc]", "TocEntries=4", "Sessions=1", "DataTracksScrambled=0",
             "CDTextLength=0", "[Session 1]", "PreGapMode=%d" % mode, "PreGapSubC=0"]
    entries = [(0xA0, 0, 1, 0, 0), (0xA1, 0, 1, 0, 0), (0xA2, m, s_, f, lead_out), (0x01, 0, 2, 0, 0)]
    for k, (point, pm, ps, pf, plba) in enumerate(entries):
        lines += ["[Entry %d]" % k, "Session=1", "Point=0x%02x" % point, "ADR=0x01", "Control=0x04",
                  "TrackNo=0", "AMin=0", "ASec=0", "AFrame=0", "ALBA=-150", "Zero=0",
                  "PMin=%d" % pm, "PSec=%d" % ps, "PFrame=%d" % pf,
                  "PLBA=%d" % (plba if point == 0xA2 else (pm * 60 + ps) * 75 + pf - 150)]
    lines += ["[TRACK 1]", "MODE=%d" % mode, "INDEX 1=0"]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def mds_bytes(sectors, sector_size=SECTOR_RAW, mode=1, name="*.mdf"):
    """An Alcohol 120% descriptor (version 1.3) of one data track in the data file `name`."""
    header_len, session_len, block_len = 0x58, 24, 80
    session_at = header_len
    blocks_at = session_at + session_len
    points = [0xA0, 0xA1, 0xA2, 0x01]
    extra_at = blocks_at + block_len * len(points)
    footer_at = extra_at + 8
    name_at = footer_at + 16
    out = bytearray(name_at)
    out[0:16] = b"MEDIA DESCRIPTOR"
    out[16:18] = bytes((1, 3))
    struct.pack_into("<HH", out, 0x12, 0, 1)                      # CD-ROM, one session
    struct.pack_into("<I", out, 0x50, session_at)
    struct.pack_into("<iiHBBHHII", out, session_at, -150, sectors, 1, len(points), 3, 1, 1, 0, blocks_at)
    lead_out = msf(sectors)
    for k, point in enumerate(points):
        b = blocks_at + k * block_len
        track = point < 0xA0
        out[b] = (0xAA if mode == 1 else 0xAC) if track else 0
        out[b + 1] = 0x08 if (track and sector_size == 2448) else 0
        out[b + 2] = 0x14
        out[b + 4] = point
        pmsf = {0xA0: (1, 0, 0), 0xA1: (1, 0, 0), 0xA2: lead_out}.get(point, (0, 2, 0))
        out[b + 9:b + 12] = bytes(pmsf)
        if track:
            struct.pack_into("<IH", out, b + 0x0C, extra_at, sector_size)
            struct.pack_into("<IQII", out, b + 0x24, 0, 0, 1, footer_at)
    struct.pack_into("<II", out, extra_at, 150, sectors)
    struct.pack_into("<II", out, footer_at, name_at, 0)
    return bytes(out) + name.encode("ascii") + b"\0"


def write_nrg(iso_path, nrg_path, new_footer):
    """A Nero disc-at-once image of 2048-byte Mode 1 sectors after a 150-sector pregap, as Nero writes
    it: sectors, then CUES/DAOI (old, "NERO" footer) or CUEX/DAOX (new, "NER5" footer) and END!."""
    size = os.path.getsize(iso_path)
    sectors = size // SECTOR_USER
    pregap = PREGAP_FRAMES * SECTOR_USER
    index1, end = pregap, pregap + size
    chunks = bytearray()
    if new_footer:
        cue = b"".join(struct.pack(">BBBBi", 0x41, t, i, 0, lba)
                       for t, i, lba in ((0, 0, -150), (1, 0, -150), (1, 1, 0), (0xAA, 1, sectors)))
        chunks += b"CUEX" + struct.pack(">I", len(cue)) + cue
        dao = bytes(12) + struct.pack(">HBBH", SECTOR_USER, 0, 0, 1) + struct.pack(">QQQ", 0, index1, end)
    else:
        cue = b"".join(bytes((0x41, t, i, 0, 0)) + bytes(msf(lba - PREGAP_FRAMES))
                       for t, i, lba in ((0, 0, 0), (1, 0, 0), (1, 1, PREGAP_FRAMES), (0xAA, 1, sectors + 150)))
        chunks += b"CUES" + struct.pack(">I", len(cue)) + cue
        dao = bytes(12) + struct.pack(">HBBH", SECTOR_USER, 0, 0, 1) + struct.pack(">III", 0, index1, end)
    head = struct.pack(">I", 22 + len(dao)) + bytes(14) + struct.pack(">HBB", 0, 1, 1)
    body = head + dao
    chunks += (b"DAOX" if new_footer else b"DAOI") + struct.pack(">I", len(body)) + body
    chunks += b"END!" + bytes(4)
    footer = b"NER5" + struct.pack(">Q", end) if new_footer else b"NERO" + struct.pack(">I", end)
    tmp = nrg_path + ".tmp"
    with open(iso_path, "rb") as src, open(tmp, "wb") as dst:
        dst.write(bytes(pregap))
        shutil.copyfileobj(src, dst, 1 << 20)
        dst.write(chunks + footer)
    os.replace(tmp, nrg_path)


def link_or_copy(src, dst):
    if os.path.exists(dst):
        os.remove(dst)
    try:
        os.link(src, dst)
    except OSError:
        shutil.copyfile(src, dst)


FORM_FILES = ["cd_sub.img", "cd_clone.ccd", "cd_clone.img", "cd_clone.sub", "cd_alc.mds", "cd_alc.mdf",
              "cd_alcsub.mds", "cd_alcsub.mdf", "cd_old.nrg", "cd_new.nrg", "cd_audio.bin", "cd_pregap.bin",
              "cd_2336.bin", "cd_mixed.bin", "cd_mixed.cue", "cd_mixed.toc"] + sorted(ripper_cue_sheets())


def write_forms(outdir, iso, bin1):
    sectors = os.path.getsize(iso) // SECTOR_USER
    p = lambda n: os.path.join(outdir, n)
    iso_to_raw(iso, p("cd_sub.img"), 1, 2448, sub="interleaved")
    link_or_copy(bin1, p("cd_clone.img"))
    open(p("cd_clone.sub"), "wb").close()  # some CloneCD sets carry an empty .sub
    with open(p("cd_clone.ccd"), "wb") as f:
        f.write(ccd_text(sectors))
    link_or_copy(bin1, p("cd_alc.mdf"))
    with open(p("cd_alc.mds"), "wb") as f:
        f.write(mds_bytes(sectors))
    link_or_copy(p("cd_sub.img"), p("cd_alcsub.mdf"))
    with open(p("cd_alcsub.mds"), "wb") as f:
        f.write(mds_bytes(sectors, 2448))
    write_nrg(iso, p("cd_old.nrg"), False)
    write_nrg(iso, p("cd_new.nrg"), True)
    with open(p("cd_audio.bin"), "wb") as f:
        f.write(audio_sectors(AUDIO_SECTORS))
    iso_to_raw(iso, p("cd_pregap.bin"), 1, lead=audio_sectors(PREGAP_AUDIO), first_lba=PREGAP_AUDIO)
    iso_to_raw(iso, p("cd_2336.bin"), 2, SECTOR_M2)
    mixed = p("cd_mixed.iso.tmp")
    write_iso(p("tree"), mixed, lba=AUDIO_SECTORS)
    iso_to_raw(mixed, p("cd_mixed.bin"), 1, lead=audio_sectors(AUDIO_SECTORS), first_lba=AUDIO_SECTORS)
    for name, data in mixed_sheets(os.path.getsize(mixed) // SECTOR_USER).items():
        with open(p(name), "wb") as f:
            f.write(data)
    os.remove(mixed)
    for name, data in ripper_cue_sheets().items():
        with open(p(name), "wb") as f:
            f.write(data)


# --------------------------------------------------------------------------
# Archives and ECM: the image as players keep it, made with the tools they use (zip, 7-Zip) and an ECM
# writer of our own (ecm.py); the containers the setup names and refuses, by their signatures; and damaged
# archives, each with the failure it must produce.

def _other_tree(dest):
    """A small CD that is not the game's: one file."""
    os.makedirs(dest, exist_ok=True)
    with open(os.path.join(dest, "README.TXT"), "wb") as f:
        f.write(b"Another disc.\r\n")


def _archive(tool_args, archive, members, cwd):
    """Runs zip or 7zz in cwd over members (their times fixed first, so the archive is the same each run)."""
    for m in members:
        os.utime(os.path.join(cwd, m), (FIXED_EPOCH, FIXED_EPOCH))
    if os.path.exists(archive):
        os.remove(archive)
    env = dict(os.environ, TZ="UTC")
    res = subprocess.run(tool_args + [archive] + members, cwd=cwd, env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if res.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s" % (tool_args[0], res.returncode,
                                                     res.stdout.decode(errors="replace")))


ZIP = ["zip", "-X", "-D", "-q"]
SEVEN = ["7zz", "a", "-bd", "-bso0", "-bsp0", "-mtm=off", "-mtc=off", "-mta=off"]


def _zip_entry(archive, name):
    """(offset of the entry's data, compressed size, offset of its local header) in a zip made here."""
    with open(archive, "rb") as f:
        data = f.read()
    at = data.find(b"PK\x03\x04")
    while at >= 0:
        n, x = struct.unpack_from("<HH", data, at + 26)
        if data[at + 30:at + 30 + n].decode() == name:
            csize = struct.unpack_from("<I", data, at + 18)[0]
            return at + 30 + n + x, csize, at
        at = data.find(b"PK\x03\x04", at + 4)
    raise RuntimeError("%s holds no %s" % (archive, name))


def _edit(src, dst, edits):
    """A copy of src with the bytes at each offset replaced ({offset: bytes}), or cut (offset: None)."""
    with open(src, "rb") as f:
        data = bytearray(f.read())
    for at, b in sorted(edits.items()):
        if b is None:
            del data[at:]
        else:
            data[at:at + len(b)] = b
    with open(dst, "wb") as f:
        f.write(data)


ARCHIVE_FILES = ["cd_iso.zip", "cd_stored.zip", "cd_bincue.zip", "cd_multi.zip", "cd_iso.7z", "cd_bincue.7z",
                 "cd_mixed.7z", "cd_clone.7z", "cd_ecm.bin.ecm", "cd_ecm.cue", "cd_ecm2.bin.ecm", "cd_ecm2.cue",
                 "cd.rar", "cd_old.rar", "cd.isz", "cd.daa", "cd.mdx", "cd.b5t", "cd.b6t", "cd.cdi", "bad_crc.zip",
                 "bad_cut.zip", "bad_cut.7z", "bad_encrypted.zip", "bad_encrypted.7z", "bad_codec.7z",
                 "bad_codec.zip", "bad_data.7z", "bad_size.zip", "bad_ecm.bin.ecm", "bad_ecm.cue"]


def write_archives(outdir):
    p = lambda n: os.path.join(outdir, n)
    stage = p("archives.tmp")
    _rmtree(stage)
    os.makedirs(os.path.join(stage, "game"))
    link_or_copy(p("cd.iso"), os.path.join(stage, "cd.iso"))
    for n in ("cd_mode1.bin", "cd_mode1.cue", "cd_mixed.bin", "cd_mixed.cue", "cd_clone.ccd", "cd_clone.img",
              "cd_clone.sub"):
        link_or_copy(p(n), os.path.join(stage, n))
    link_or_copy(p("cd.iso"), os.path.join(stage, "game", "cd.iso"))
    for n in ("cd_mode1.bin", "cd_mode1.cue"):
        link_or_copy(p(n), os.path.join(stage, "game", n))
    _other_tree(os.path.join(stage, "other"))
    write_iso(os.path.join(stage, "other"), os.path.join(stage, "other.iso"))
    with open(os.path.join(stage, "readme.txt"), "wb") as f:
        f.write(b"Tovek Zarnith, the CD as an image.\r\n")

    _archive(ZIP, p("cd_iso.zip"), ["cd.iso"], stage)                      # deflate
    _archive(ZIP + ["-0"], p("cd_stored.zip"), ["cd.iso"], stage)          # stored: read in place
    _archive(ZIP + ["-fz"], p("cd_bincue.zip"), ["game/cd_mode1.bin", "game/cd_mode1.cue"], stage)  # zip64
    _archive(ZIP, p("cd_multi.zip"), ["readme.txt", "other.iso", "game/cd.iso"], stage)
    _archive(SEVEN, p("cd_iso.7z"), ["cd.iso"], stage)                     # LZMA2, solid
    _archive(SEVEN, p("cd_bincue.7z"), ["cd_mode1.bin", "cd_mode1.cue"], stage)  # the sheet after its BIN
    _archive(SEVEN + ["-m0=LZMA", "-ms=off"], p("cd_mixed.7z"), ["cd_mixed.bin", "cd_mixed.cue"], stage)
    _archive(SEVEN + ["-ms=off"], p("cd_clone.7z"), ["cd_clone.ccd", "cd_clone.img", "cd_clone.sub"], stage)

    # ECM of BINs whose sectors carry their real EDC and ECC (Mode 1, and Mode 2 Form 1), as rips do;
    # the sheets name the BIN, which is not there.
    with open(p("cd.iso"), "rb") as f:
        iso = f.read()
    sectors = [iso[i:i + SECTOR_USER] for i in range(0, len(iso), SECTOR_USER)]
    mode1 = ecm.encode(b"".join(ecm.mode1_sector(k, d) for k, d in enumerate(sectors)))
    with open(p("cd_ecm.bin.ecm"), "wb") as f:
        f.write(mode1)
    with open(p("cd_ecm.cue"), "wb") as f:
        f.write(_cue("cd_ecm.bin", 1))
    mode2 = b"".join(ecm.mode2_form1_sector(k, d) for k, d in enumerate(sectors))
    with open(p("cd_ecm2.bin.ecm"), "wb") as f:
        f.write(ecm.encode(mode2))
    with open(p("cd_ecm2.cue"), "wb") as f:
        f.write(_cue("cd_ecm2.bin", 2))

    # Containers the setup names and refuses: their signatures, then bytes of no meaning.
    filler = bytes(range(256)) * 64
    refused = {
        "cd.rar": b"Rar!\x1a\x07\x01\x00" + filler,
        "cd_old.rar": b"Rar!\x1a\x07\x00" + filler,
        "cd.isz": b"IsZ!\x01\x01" + filler,
        "cd.daa": b"DAA\x00\x00\x00\x00\x00" + filler,
        "cd.mdx": b"MEDIA DESCRIPTOR\x02\x01" + filler,
        "cd.b5t": b"BWT5 STREAM SIGN" + filler,
        "cd.b6t": b"BWT5 STREAM SIGN" + filler,
        "cd.cdi": filler + struct.pack("<II", 0x80000006, len(filler)),
    }
    for name, data in refused.items():
        with open(p(name), "wb") as f:
            f.write(data)

    # Damaged: each must fail with its own line.
    data_at, csize, header = _zip_entry(p("cd_stored.zip"), "cd.iso")
    _edit(p("cd_stored.zip"), p("bad_crc.zip"), {data_at + csize - 100: b"\xa5"})        # found at the end
    _edit(p("cd_iso.zip"), p("bad_cut.zip"), {os.path.getsize(p("cd_iso.zip")) // 2: None})
    _edit(p("cd_iso.7z"), p("bad_cut.7z"), {os.path.getsize(p("cd_iso.7z")) // 2: None})
    _archive(ZIP + ["-P", "zarnith"], p("bad_encrypted.zip"), ["cd.iso"], stage)
    _archive(SEVEN + ["-pzarnith"], p("bad_encrypted.7z"), ["cd.iso"], stage)
    _archive(SEVEN + ["-m0=BZip2"], p("bad_codec.7z"), ["cd.iso"], stage)
    _archive(ZIP + ["-Z", "bzip2"], p("bad_codec.zip"), ["cd.iso"], stage)
    _edit(p("cd_iso.7z"), p("bad_data.7z"), {os.path.getsize(p("cd_iso.7z")) // 3: b"\x5a\xa5\x5a\xa5"})
    # The stored entry says it is 4 GiB less one byte long (local header and central directory).
    cd_at = _zip_central(p("cd_stored.zip"))
    _edit(p("cd_stored.zip"), p("bad_size.zip"), {header + 18: b"\xff\xff\xff\xfe", header + 22: b"\xff\xff\xff\xfe",
                                                  cd_at + 20: b"\xff\xff\xff\xfe", cd_at + 24: b"\xff\xff\xff\xfe"})
    with open(p("bad_ecm.bin.ecm"), "wb") as f:
        f.write(mode1[:len(mode1) // 2] + bytes((mode1[len(mode1) // 2] ^ 1,)) + mode1[len(mode1) // 2 + 1:])
    with open(p("bad_ecm.cue"), "wb") as f:
        f.write(_cue("bad_ecm.bin", 1))
    _rmtree(stage)


def _zip_central(archive):
    """The offset of the first central directory header in a zip made here."""
    with open(archive, "rb") as f:
        data = f.read()
    return data.rindex(b"PK\x01\x02")


# CHD, as emulators keep a disc: written by chdman (mame-tools) from the ISO (one MODE1 track of 2048-byte
# sectors), from the mixed-mode BIN+CUE (audio first, the data track mastered at its disc address) and from
# the sheet with a pregap in its BIN; then damaged copies, each with the failure it must produce.

CHD_FILES = ["cd.chd", "cd_mixed.chd", "cd_pregap.chd", "bad_cut.chd", "bad_hunk.chd", "bad_codec.chd",
             "bad_size.chd", "bad_nocd.chd", "bad_pvd.chd", "bad_root.chd", "bad_tree.chd"]
CHD_HEADER = 124     # a version 5 header; its fields are big-endian
CHD_MAP_OFFSET = 40  # the map's place in the file
CHD_HUNK_BYTES = 56


def chdman(*args):
    res = subprocess.run(["chdman"] + list(args) + ["-f"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if res.returncode != 0:
        raise RuntimeError("chdman %s failed (%d):\n%s" % (args[0], res.returncode,
                                                          res.stdout.decode(errors="replace")))


def write_chd(outdir):
    p = lambda n: os.path.join(outdir, n)
    chdman("createcd", "-i", p("cd.iso"), "-o", p("cd.chd"))
    chdman("createcd", "-i", p("cd_mixed.cue"), "-o", p("cd_mixed.chd"))
    chdman("createcd", "-i", p("cd_pregap.cue"), "-o", p("cd_pregap.chd"))
    with open(p("cd.chd"), "rb") as f:
        good = f.read()
    inverted = lambda at: good[:at] + bytes(b ^ 0xFF for b in good[at:at + 16]) + good[at + 16:]
    damaged = {
        "bad_cut.chd": good[:len(good) // 2],  # a download that stopped half-way (the map is at the end)
        # Sixteen bytes inverted in the compressed data: a hunk whose checksum fails. In the middle a file's
        # data; early on the hunk of the volume descriptors, of the root folder, and of deep folders.
        "bad_hunk.chd": inverted(len(good) // 2),
        "bad_pvd.chd": inverted(300),
        "bad_root.chd": inverted(600),
        "bad_tree.chd": inverted(1500),
        "bad_codec.chd": good[:24] + b"cdxx" + good[28:],  # the third codec (cdfl) of a codec nobody knows
    }
    for name, data in damaged.items():
        with open(p(name), "wb") as f:
            f.write(data)
    # An uncompressed CHD (its map a hunk number per hunk) whose middle hunk lies far beyond the file's end.
    chdman("createcd", "-i", p("cd.iso"), "-o", p("bad_size.chd"), "-c", "none")
    with open(p("bad_size.chd"), "r+b") as f:
        head = f.read(CHD_HEADER)
        at = struct.unpack_from(">Q", head, CHD_MAP_OFFSET)[0]
        hunks = (os.path.getsize(p("cd.iso")) + 2047) // 2048 * 2448 // struct.unpack_from(">I", head, CHD_HUNK_BYTES)[0]
        f.seek(at + 4 * (hunks // 2))
        f.write(struct.pack(">I", 0x7FFFFFFF))
    # A hard disk's CHD, not a CD's: it has no track list.
    chdman("createraw", "-i", p("cd.iso"), "-o", p("bad_nocd.chd"), "-hs", "4096", "-us", "512")


# --------------------------------------------------------------------------
# Driver

def _output_paths(outdir):
    return {
        "tree": [os.path.join(outdir, "tree")],
        "iso": [os.path.join(outdir, "cd.iso")],
        "bin": [os.path.join(outdir, "cd_mode1.bin"),
                os.path.join(outdir, "cd_mode2.bin")],
        "cue": [os.path.join(outdir, n) for n in
                ("cd_mode1.cue", "cd_mode2.cue", "cd_abs.cue", "cd_comment.cue")],
        "forms": [os.path.join(outdir, n) for n in FORM_FILES],
        "archives": [os.path.join(outdir, n) for n in ARCHIVE_FILES],
        "chd": [os.path.join(outdir, n) for n in CHD_FILES],
    }


def _read_stamp(outdir):
    try:
        with open(os.path.join(outdir, STAMP_NAME)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def make_cd(outdir, seed=0, size="small", what=OUTPUTS, abs_prefix="Z:",
            log=None):
    """Make the outputs named in `what` (plus what they are made from) in
    outdir.  Outputs that a previous run made from the same seed and size are
    kept.  Returns {output: [paths]}."""
    what = set(what)
    bad = what - set(OUTPUTS)
    if bad:
        raise ValueError("unknown output(s): %s" % ", ".join(sorted(bad)))
    if size not in SIZES:
        raise ValueError("size must be one of %s" % ", ".join(SIZES))
    say = log or (lambda msg: None)
    outdir = os.path.abspath(outdir)
    os.makedirs(outdir, exist_ok=True)
    paths = _output_paths(outdir)
    key = {"format": FORMAT_VERSION, "seed": seed, "size": size}
    abs_cue = windows_path(os.path.join(outdir, "cd_mode1.bin"), abs_prefix)

    stamp = _read_stamp(outdir)
    have = set()
    if stamp and stamp.get("key") == key:
        have = {o for o in stamp.get("made", []) if o in paths
                and all(os.path.exists(p) for p in paths[o])}
        if stamp.get("abs_cue") != abs_cue:
            have.discard("cue")
    if what <= have:
        say("up to date: %s" % outdir)
        return {o: paths[o] for o in have}

    todo = what - have
    if ("chd" in todo or "archives" in todo) and "forms" not in have:
        todo.add("forms")
    if "forms" in todo and "bin" not in have:
        todo.add("bin")
    if "forms" in todo and "tree" not in have:
        todo.add("tree")
    if "bin" in todo and "iso" not in have:
        todo.add("iso")
    if "iso" in todo and "tree" not in have:
        todo.add("tree")

    stamp_path = os.path.join(outdir, STAMP_NAME)
    if os.path.exists(stamp_path):
        os.remove(stamp_path)
    # Anything not vouched for by the stamp may come from another seed.
    for o in OUTPUTS:
        if o not in have and o not in todo:
            for p in paths[o]:
                if os.path.isdir(p):
                    _rmtree(p)
                elif os.path.exists(p):
                    os.remove(p)

    if "tree" in todo:
        t = time.monotonic()
        write_tree(paths["tree"][0], seed, size)
        say("tree: %.1f s" % (time.monotonic() - t))
    if "iso" in todo:
        t = time.monotonic()
        write_iso(paths["tree"][0], paths["iso"][0])
        say("iso: %.1f s" % (time.monotonic() - t))
    if "bin" in todo:
        t = time.monotonic()
        iso_to_bin(paths["iso"][0], paths["bin"][0], 1)
        iso_to_bin(paths["iso"][0], paths["bin"][1], 2)
        say("bin: %.1f s" % (time.monotonic() - t))
    if "forms" in todo:
        t = time.monotonic()
        write_forms(outdir, paths["iso"][0], paths["bin"][0])
        say("forms: %.1f s" % (time.monotonic() - t))
    if "chd" in todo:
        t = time.monotonic()
        write_chd(outdir)
        say("chd: %.1f s" % (time.monotonic() - t))
    if "archives" in todo and "cue" not in have:
        todo.add("cue")
    if "cue" in todo:
        for name, data in cue_sheets(outdir, abs_prefix).items():
            with open(os.path.join(outdir, name), "wb") as f:
                f.write(data)
    if "archives" in todo:
        t = time.monotonic()
        write_archives(outdir)
        say("archives: %.1f s" % (time.monotonic() - t))

    made = sorted(have | todo, key=OUTPUTS.index)
    with open(stamp_path + ".tmp", "w") as f:
        json.dump({"key": key, "made": made, "abs_cue": abs_cue}, f)
    os.replace(stamp_path + ".tmp", stamp_path)
    return {o: paths[o] for o in made}


def main(argv=None):
    ap = argparse.ArgumentParser(description="Make the sample game CD.")
    ap.add_argument("outdir", nargs="?")
    ap.add_argument("--dat", metavar="FILE", help="write only the CD's Logiqx DAT to FILE")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--size", choices=sorted(SIZES), default="small")
    ap.add_argument("--what", default=",".join(OUTPUTS),
                    help="comma separated subset of %s" % ",".join(OUTPUTS))
    ap.add_argument("--abs-prefix", default="Z:",
                    help="drive put before the absolute path in cd_abs.cue")
    ap.add_argument("-q", "--quiet", action="store_true")
    args = ap.parse_args(argv)
    if args.dat:
        with open(args.dat + ".tmp", "wb") as f:
            f.write(dat_text(args.seed, args.size))
        os.replace(args.dat + ".tmp", args.dat)
        return 0
    if not args.outdir:
        ap.error("OUTDIR is needed unless --dat is given")
    what = [w.strip() for w in args.what.split(",") if w.strip()]
    log = None if args.quiet else (lambda m: print(m, flush=True))
    t = time.monotonic()
    try:
        make_cd(args.outdir, args.seed, args.size, what, args.abs_prefix, log)
    except (ValueError, RuntimeError, OSError) as e:
        print("make_cd: %s" % e, file=sys.stderr)
        return 1
    if log:
        log("done in %.1f s: %s" % (time.monotonic() - t,
                                    os.path.abspath(args.outdir)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
