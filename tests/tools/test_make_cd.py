#!/usr/bin/env python3
"""Checks the sample CD maker: tree contents, the intro picture, the ISO as
xorriso reads it back, the raw BIN layouts as bchunk reads them back, the CUE
sheets, the other tools' forms as their Debian converters (ccd2iso, mdf2iso,
nrg2iso, iat, bchunk, cdrdao) read them back, and reproducibility.

    python3 tests/tools/test_make_cd.py
"""

import binascii
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_cd  # noqa: E402

SEED = 11


def rmtree_forced(path):
    # xorriso extracts files and folders read-only.
    for base, dnames, fnames in os.walk(path):
        for n in dnames + fnames:
            p = os.path.join(base, n)
            if not os.path.islink(p):
                os.chmod(p, 0o755)
    if os.path.isdir(path):
        os.chmod(path, 0o755)
        shutil.rmtree(path)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(cmd, cwd=None):
    res = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT)
    if res.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s" % (
            cmd[0], res.returncode, res.stdout.decode(errors="replace")))
    return res.stdout.decode(errors="replace")


def walk(root):
    """({relative file path: bytes}, set of relative folder paths)."""
    files, dirs = {}, set()
    for base, dnames, fnames in os.walk(root):
        rel = os.path.relpath(base, root)
        rel = "" if rel == "." else rel + "/"
        dirs.update(rel + d for d in dnames)
        for f in fnames:
            files[rel + f] = read(os.path.join(base, f))
    return files, dirs


# Deliberately independent of make_cd's own reader, so a shared mistake in
# the encoder and decoder can not cancel out.
def unpack_byterun1(data, pos, length, headers=None):
    out = bytearray()
    while len(out) < length:
        n = data[pos]
        if headers is not None:
            headers.append(n)
        pos += 1
        if n <= 127:
            out += data[pos:pos + n + 1]
            pos += n + 1
        elif n >= 129:
            out += data[pos:pos + 1] * (257 - n)
            pos += 1
    assert len(out) == length, "run crosses the row end"
    return bytes(out), pos


def parse_iff(data):
    """[(chunk id, payload)] of a FORM, checking sizes and pad bytes."""
    assert data[:4] == b"FORM", data[:4]
    form_len = struct.unpack(">I", data[4:8])[0]
    assert form_len == len(data) - 8, (form_len, len(data))
    assert form_len % 2 == 0
    chunks = []
    pos = 12
    while pos < len(data):
        cid = data[pos:pos + 4]
        n = struct.unpack(">I", data[pos + 4:pos + 8])[0]
        chunks.append((cid, data[pos + 8:pos + 8 + n]))
        pos += 8 + n
        if n & 1:
            assert data[pos] == 0, "pad byte not zero"
            pos += 1
    assert pos == len(data), "chunks overrun the FORM"
    return data[8:12], chunks


def decode_pbm(data):
    ftype, chunks = parse_iff(data)
    assert ftype == b"PBM ", ftype
    d = dict(chunks)
    bmhd = struct.unpack(">HHhhBBBBHBBhh", d[b"BMHD"])
    w, h, comp = bmhd[0], bmhd[1], bmhd[6]
    stride = w + (w & 1)
    body = d[b"BODY"]
    rows, pos = [], 0
    for _ in range(h):
        if comp:
            row, pos = unpack_byterun1(body, pos, stride)
        else:
            row, pos = body[pos:pos + stride], pos + stride
        rows.append(row[:w])
    assert pos == len(body), "BODY has %d bytes left" % (len(body) - pos)
    cmap = d[b"CMAP"]
    pal = [tuple(cmap[i:i + 3]) for i in range(0, len(cmap), 3)]
    return [c for c, _ in chunks], d[b"BMHD"], bmhd, pal, rows


def bcd(v):
    return int("%d" % v, 16)


class MakeCdTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="make_cd_test_")
        cls.out = os.path.join(cls.tmp, "a")
        t = time.monotonic()
        make_cd.make_cd(cls.out, seed=SEED, size="small")
        cls.make_seconds = time.monotonic() - t
        cls.tree = os.path.join(cls.out, "tree")
        cls.iso = read(os.path.join(cls.out, "cd.iso"))

    @classmethod
    def tearDownClass(cls):
        rmtree_forced(cls.tmp)

    def path(self, *parts):
        return os.path.join(self.tree, *parts)

    def test_tree_contents(self):
        for m in make_cd.MARKER_FILES:
            self.assertTrue(os.path.isfile(self.path(m)), m)
            self.assertGreater(os.path.getsize(self.path(m)), 0, m)
        for exe in ("3DGAME.EXE", "MCP.EXE", "VILLAGE1.EXE"):
            self.assertEqual(read(self.path(exe))[:2], b"MZ", exe)
        cfg = read(self.path("GAME.CFG"))
        cfg.decode("ascii")
        self.assertIn(b"\r\n", cfg)
        self.assertNotIn(b"\n", cfg.replace(b"\r\n", b""))

        self.assertEqual(len(make_cd.SOUND_BANKS), 11)
        self.assertEqual(make_cd.SOUND_BANKS, [
            "AMBIENT", "BATTLE", "CREATURE", "DOORS", "FOOTSTEP", "INTERFAC",
            "MAGIC", "MUSICA", "MUSICB", "VOICES", "WEATHER"])
        self.assertEqual(sorted(os.listdir(self.path("SOUND"))),
                         sorted(b + ".ASL" for b in make_cd.SOUND_BANKS))

        veltris = os.listdir(self.path("VELTRIS"))
        direct = [n for n in veltris if os.path.isfile(self.path("VELTRIS", n))]
        subdirs = [n for n in veltris if os.path.isdir(self.path("VELTRIS", n))]
        self.assertGreaterEqual(len(direct), 6)
        self.assertIn("INTRO.DAT", direct)
        self.assertEqual(len(subdirs), 1)
        self.assertTrue(os.listdir(self.path("VELTRIS", subdirs[0])))

        # Depth 17: D01 is at depth 1, D17 is the 17th nested folder.
        d = self.tree
        for depth, name in enumerate(make_cd.DEEP_DIRS, 1):
            d = os.path.join(d, name)
            files = [n for n in os.listdir(d)
                     if os.path.isfile(os.path.join(d, n))]
            self.assertEqual(len(files), 1, d)
            self.assertEqual(os.path.relpath(d, self.tree).count(os.sep) + 1,
                             depth)
        self.assertEqual(depth, 17)
        self.assertEqual(os.listdir(d), ["DEPTH17.DAT"])

        self.assertGreater(len(os.listdir(self.path(make_cd.MANY_DIR))), 64)
        self.assertEqual(os.listdir(self.path(make_cd.EMPTY_DIR)), [])
        sizes = {p: n for p, n in make_cd.scan_tree(self.tree)[0]}
        for want in (0, 65_536, 65_537):
            self.assertIn(want, sizes.values())
        self.assertEqual(sizes["EDGE/ZERO.DAT"], 0)
        self.assertEqual(sizes["EDGE/K64.DAT"], 65_536)
        self.assertEqual(sizes["EDGE/K64P1.DAT"], 65_537)

        # What the module says is on the CD is what is on the CD.
        files, dirs = make_cd.scan_tree(self.tree)
        self.assertEqual(files, make_cd.tree_files(SEED, "small"))
        self.assertEqual(dirs, make_cd.tree_dirs(SEED, "small"))
        self.assertTrue(250 <= len(files) <= 400, len(files))
        total = sum(n for _, n in files)
        self.assertTrue(1e6 < total < 16e6, total)

        name_re = re.compile(r"^[A-Z0-9_]{1,8}(\.[A-Z0-9_]{1,3})?$")
        for p in dirs:
            for part in p.split("/"):
                self.assertRegex(part, r"^[A-Z0-9_]{1,8}$")
        for p, _ in files:
            self.assertRegex(p.split("/")[-1], name_re)

        # Each file has its own content, so a copy to the wrong name shows.
        digests = {}
        for p, n in files:
            if n >= 16:
                h = hashlib.sha1(read(self.path(p))).digest()
                self.assertNotIn(h, digests, (p, digests.get(h)))
                digests[h] = p
        # No power-of-two period either, or a copy that swaps or repeats
        # buffer-sized blocks would still come out right.
        data = read(self.path("3DGAME.EXE"))
        for shift in (2048 << k for k in range(8)):
            self.assertNotEqual(data[2:1026], data[shift + 2:shift + 1026], shift)

    def test_intro_picture(self):
        data = read(self.path(*make_cd.LBM_PATH.split("/")))
        order, raw_bmhd, bmhd, pal, rows = decode_pbm(data)
        self.assertEqual(order, [b"BMHD", b"CMAP", b"BODY"])
        self.assertEqual(len(raw_bmhd), 20)
        self.assertEqual(bmhd, (320, 200, 0, 0, 8, 0, 1, 0, 0, 5, 6, 320, 200))
        self.assertEqual(len(pal), 256)
        self.assertEqual(pal[0], (0, 0, 0))
        for i, c in enumerate(pal[1:], 1):
            self.assertGreaterEqual(max(c), 128, "palette %d is dark" % i)

        xs = [x for r in rows for x, v in enumerate(r) if v]
        ys = [y for y, r in enumerate(rows) if any(r)]
        x0, x1, y0, y1 = min(xs), max(xs) + 1, min(ys), max(ys) + 1
        self.assertTrue(x0 > 0 and y0 > 0 and x1 < 320 and y1 < 200,
                        (x0, y0, x1, y1))
        w, h = x1 - x0, y1 - y0
        self.assertNotEqual(w, h)
        self.assertTrue(150 <= w <= 220 and 120 <= h <= 180, (w, h))
        # Centred, and everything outside the emblem is black.
        self.assertLessEqual(abs((x0 + x1) - 320), 2)
        self.assertLessEqual(abs((y0 + y1) - 200), 2)
        black = sum(r.count(0) for r in rows)
        self.assertGreater(black, 320 * 200 - w * h)
        colours = {v for r in rows for v in r} - {0}
        self.assertGreaterEqual(len(colours), 3)
        # A flipped or mirrored copy must be told apart from the original.
        self.assertNotEqual(rows, rows[::-1])
        self.assertNotEqual(rows, [r[::-1] for r in rows])

        # The module's own reader sees the same picture.
        mine = make_cd.read_lbm(data)
        self.assertEqual((mine["width"], mine["height"]), (320, 200))
        self.assertEqual(mine["rows"], rows)
        self.assertEqual(mine["palette"], pal)

    def test_byterun1_and_build_lbm(self):
        enc = make_cd.byterun1_encode
        self.assertEqual(enc(b""), b"")
        self.assertEqual(enc(b"A"), b"\x00A")
        self.assertEqual(enc(b"ABC"), b"\x02ABC")
        self.assertEqual(enc(b"\x07" * 3), b"\xfe\x07")
        self.assertEqual(enc(b"\x07" * 128), b"\x81\x07")
        self.assertEqual(enc(b"\x07" * 200), b"\x81\x07" + bytes([257 - 72]) + b"\x07")
        self.assertEqual(enc(b"AB" + b"\0" * 5 + b"C"),
                         b"\x01AB" + b"\xfc\x00" + b"\x00C")
        distinct = bytes(range(130))
        self.assertEqual(enc(distinct),
                         b"\x7f" + distinct[:128] + b"\x01" + distinct[128:])

        import random
        rng = random.Random(5)
        for _ in range(200):
            row = bytearray()
            while len(row) < 700:
                if rng.random() < 0.5:
                    row += bytes([rng.randrange(4)]) * rng.randint(1, 300)
                else:
                    row += rng.randbytes(rng.randint(1, 300))
            row = bytes(row)
            headers = []
            packed = enc(row)
            back, pos = unpack_byterun1(packed, 0, len(row), headers)
            self.assertEqual(back, row)
            self.assertEqual(pos, len(packed))
            self.assertNotIn(128, headers)
            self.assertLessEqual(len(packed), len(row) + (len(row) + 127) // 128)

        # Odd width: rows padded to even; odd CMAP length: chunk pad byte.
        rows = [b"\x01\x02\x02", b"\x00\x00\x00"]
        pal = [(0, 0, 0), (255, 0, 0), (0, 255, 0)]
        for compress in (False, True):
            data = make_cd.build_lbm(3, 2, rows, pal, compress=compress)
            order, _raw, bmhd, got_pal, got_rows = decode_pbm(data)
            self.assertEqual(order, [b"BMHD", b"CMAP", b"BODY"])
            self.assertEqual(bmhd[:2], (3, 2))
            self.assertEqual(bmhd[6], 1 if compress else 0)
            self.assertEqual(got_pal, pal)
            self.assertEqual([bytes(r) for r in got_rows], rows)
            if not compress:
                body = dict(parse_iff(data)[1])[b"BODY"]
                self.assertEqual(body, b"\x01\x02\x02\x00\x00\x00\x00\x00")
        with self.assertRaises(ValueError):
            make_cd.build_lbm(4, 2, rows, pal)

    def test_iso_reads_back_as_the_tree(self):
        self.assertEqual(len(self.iso) % 2048, 0)
        pvd = self.iso[16 * 2048:17 * 2048]
        self.assertEqual(pvd[:6], b"\x01CD001")
        self.assertEqual(pvd[40:72].rstrip(b" "), b"TOVEK_ZARNITH")
        self.assertEqual(pvd[813:829], b"1999111100000000")  # creation
        self.assertEqual(pvd[830:846], b"1999111100000000")  # modification
        # No Joliet: the set ends right after the primary descriptor.
        self.assertEqual(self.iso[17 * 2048:17 * 2048 + 6], b"\xffCD001")

        # Root directory: plain names with ;1, no Rock Ridge system use data.
        root = pvd[156:156 + 34]
        lba, length = struct.unpack("<I", root[2:6])[0], struct.unpack("<I", root[10:14])[0]
        rd = self.iso[lba * 2048:lba * 2048 + length]
        names, pos = [], 0
        while pos < len(rd):
            rec = rd[pos]
            if rec == 0:
                pos = (pos // 2048 + 1) * 2048
                continue
            nlen = rd[pos + 32]
            su = rec - 33 - nlen - (0 if nlen & 1 else 1)
            self.assertEqual(su, 0, "system use data in %r" % rd[pos + 33:pos + 33 + nlen])
            names.append(rd[pos + 33:pos + 33 + nlen])
            pos += rec
        for want in (b"3DGAME.EXE;1", b"MCP.EXE;1", b"VILLAGE1.EXE;1",
                     b"GAME.CFG;1", b"VELTRIS", b"SOUND", b"INTRO", b"D01",
                     b"EMPTY"):
            self.assertIn(want, names)

        ex = os.path.join(self.tmp, "extract")
        try:
            run(["xorriso", "-no_rc", "-osirrox", "on", "-indev",
                 os.path.join(self.out, "cd.iso"), "-extract", "/", ex])
            got_files, got_dirs = walk(ex)
            want_files, want_dirs = walk(self.tree)
            self.assertEqual(sorted(got_dirs), sorted(want_dirs))
            self.assertEqual(sorted(got_files), sorted(want_files))
            for p in want_files:
                self.assertTrue(got_files[p] == want_files[p], p)
            self.assertIn(make_cd.EMPTY_DIR, got_dirs)
            self.assertIn("/".join(make_cd.DEEP_DIRS) + "/DEPTH17.DAT", got_files)
            self.assertIn("/".join(make_cd.DEEP_DIRS[:16]) + "/DEPTH16.DAT", got_files)
        finally:
            rmtree_forced(ex)

    def test_bin_images(self):
        nsec = len(self.iso) // 2048
        bc = os.path.join(self.tmp, "bchunk")
        os.makedirs(bc)
        try:
            for mode, off in ((1, 16), (2, 24)):
                binp = os.path.join(self.out, "cd_mode%d.bin" % mode)
                cuep = os.path.join(self.out, "cd_mode%d.cue" % mode)
                raw = read(binp)
                self.assertEqual(len(raw), nsec * 2352)
                self.assertTrue(make_cd.raw_sectors(self.iso, mode) == raw, "raw_sectors differs from the file")
                # bchunk writes 2048 bytes from offset 16 (MODE1/2352) and,
                # without -r or -p, from offset 24 (MODE2/2352).
                run(["bchunk", binp, cuep, "m%d_" % mode], cwd=bc)
                self.assertTrue(read(os.path.join(bc, "m%d_01.iso" % mode))
                                == self.iso, "bchunk mode %d differs" % mode)
                for lba in (0, 16, 74, 75, 511, 512, nsec - 1):
                    s = raw[lba * 2352:(lba + 1) * 2352]
                    self.assertEqual(s[:12], b"\x00" + b"\xff" * 10 + b"\x00")
                    f = lba + 150
                    self.assertEqual(s[12:16], bytes((bcd(f // 4500),
                                                      bcd(f // 75 % 60),
                                                      bcd(f % 75), mode)), lba)
                    if mode == 2:
                        self.assertEqual(s[16:24], b"\x00\x00\x08\x00" * 2)
                    self.assertEqual(s[off:off + 2048],
                                     self.iso[lba * 2048:(lba + 1) * 2048])
                    self.assertEqual(s[off + 2048:], bytes(2352 - off - 2048))
                self.assertEqual(raw[16 * 2352 + 12:16 * 2352 + 15], b"\x00\x02\x16")
                self.assertEqual(raw[75 * 2352 + 12:75 * 2352 + 15], b"\x00\x03\x00")
            # bchunk also takes the sheet that starts with a REM line.
            run(["bchunk", os.path.join(self.out, "cd_mode1.bin"),
                 os.path.join(self.out, "cd_comment.cue"), "c_"], cwd=bc)
            self.assertTrue(read(os.path.join(bc, "c_01.iso")) == self.iso)
        finally:
            rmtree_forced(bc)

        # Addresses past what the small image reaches.
        self.assertEqual(make_cd.sector_header(4350, 1)[12:], b"\x01\x00\x00\x01")
        lba = (12 * 60 + 34) * 75 + 71 - 150
        self.assertEqual(make_cd.sector_header(lba, 2)[12:], b"\x12\x34\x71\x02")
        self.assertEqual(make_cd.sector_header(99 * 4500 + 59 * 75 + 74 - 150, 1)[12:15],
                         b"\x99\x59\x74")
        with self.assertRaises(ValueError):
            make_cd.sector_header(100 * 4500 - 150, 1)

    def test_cue_sheets(self):
        def cue(name):
            return read(os.path.join(self.out, name))
        tail = b"  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n"
        self.assertEqual(cue("cd_mode1.cue"), b'FILE "cd_mode1.bin" BINARY\r\n' + tail)
        self.assertEqual(cue("cd_mode2.cue"), b'FILE "cd_mode2.bin" BINARY\r\n'
                         b"  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n")
        win = "Z:" + os.path.abspath(self.out).replace("/", "\\") + "\\cd_mode1.bin"
        self.assertEqual(cue("cd_abs.cue"),
                         b'FILE "' + win.encode() + b'" BINARY\r\n' + tail)
        comment = cue("cd_comment.cue").split(b"\r\n")
        self.assertTrue(comment[0].startswith(b"REM "))
        self.assertEqual(b"\r\n".join(comment[1:]), b'FILE "cd_mode1.bin" BINARY\r\n' + tail)
        for name in ("cd_mode1.cue", "cd_mode2.cue", "cd_abs.cue", "cd_comment.cue"):
            self.assertNotIn(b"\n", cue(name).replace(b"\r\n", b""), name)
        other = make_cd.cue_sheets("/x/y", abs_prefix="Y:")["cd_abs.cue"]
        self.assertTrue(other.startswith(b'FILE "Y:\\x\\y\\cd_mode1.bin" BINARY\r\n'))

    def user_data(self, path, base, size, offset, sectors):
        """The 2048-byte user data of `sectors` sectors from byte `base` of a file: a plain reader
        of the layout, to check forms that no Debian tool reads."""
        out = bytearray()
        with open(path, "rb") as f:
            for n in range(sectors):
                f.seek(base + n * size + offset)
                out += f.read(2048)
        return bytes(out)

    def test_other_tools_read_the_forms_back(self):
        o = lambda n: os.path.join(self.out, n)
        conv = os.path.join(self.tmp, "conv")
        os.makedirs(conv, exist_ok=True)
        c = lambda n: os.path.join(conv, n)
        sectors = len(self.iso) // 2048
        # CloneCD: ccd2iso reads the .img; the .ccd names a Mode 1 data track at sector 0.
        run(["ccd2iso", o("cd_clone.img"), c("ccd.iso")])
        self.assertTrue(read(c("ccd.iso")) == self.iso, "ccd2iso read another volume")
        ccd = read(o("cd_clone.ccd")).decode("ascii").split("\r\n")
        self.assertEqual(ccd[0], "[CloneCD]")
        self.assertEqual(ccd[ccd.index("[TRACK 1]") + 1:ccd.index("[TRACK 1]") + 3], ["MODE=1", "INDEX 1=0"])
        # Alcohol: mdf2iso reads 2352-byte sectors and 2448 with a real P/Q subchannel.
        for name in ("cd_alc", "cd_alcsub"):
            res = subprocess.run(["mdf2iso", o(name + ".mdf"), c(name + ".iso")], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
            self.assertEqual(res.returncode, 0, name)
            self.assertTrue(read(c(name + ".iso")) == self.iso, "mdf2iso read another volume from " + name)
        mds = read(o("cd_alcsub.mds"))
        self.assertEqual(mds[:16], b"MEDIA DESCRIPTOR")
        session = struct.unpack_from("<I", mds, 0x50)[0]
        blocks = struct.unpack_from("<I", mds, session + 0x14)[0]
        track = blocks + 3 * 80
        self.assertEqual((mds[track + 4], struct.unpack_from("<H", mds, track + 0x10)[0]), (1, 2448))
        footer = struct.unpack_from("<I", mds, track + 0x34)[0]
        name_at = struct.unpack_from("<I", mds, footer)[0]
        self.assertEqual(mds[name_at:name_at + 6], b"*.mdf\0")
        # The subchannel's Q carries the sector's address and a CRC that checks.
        sub = read(o("cd_sub.img"))[2352:2448]
        q = bytes(sum(((b >> 6) & 1) << (7 - k) for k, b in enumerate(sub[i:i + 8])) for i in range(0, 96, 8))
        self.assertTrue(all(b & 0x80 for b in sub), "P is set throughout")
        self.assertEqual(q[:10], bytes((0x41, 1, 1, 0, 0, 0, 0, 0, 2, 0)))
        self.assertEqual(struct.unpack(">H", q[10:])[0], binascii.crc_hqx(q[:10], 0) ^ 0xFFFF)
        # iat finds the volume in the raw 2448-byte image.
        run(["iat", o("cd_sub.img"), c("iat.iso")])
        self.assertTrue(read(c("iat.iso")) == self.iso, "iat read another volume")
        # Nero: nrg2iso reads 2048-byte tracks and copies the chunks after them too.
        for name, magic in (("cd_old.nrg", b"NERO"), ("cd_new.nrg", b"NER5")):
            run(["nrg2iso", o(name), c(name + ".iso")])
            got = read(c(name + ".iso"))
            self.assertTrue(got[:len(self.iso)] == self.iso, "nrg2iso read another volume from " + name)
            data = read(o(name))
            self.assertIn(magic, data[-12:])
        # CUE sheets: cdrdao reads the track list of every variant it accepts.
        tocs = {name: run(["cdrdao", "show-toc", name], cwd=self.out)
                for name in ("cd_unquoted.cue", "cd_lower.cue", "cd_multi.cue", "cd_pregap.cue", "cd_2336.cue",
                             "cd_mixed.toc")}
        for name in ("cd_unquoted.cue", "cd_lower.cue"):
            self.assertRegex(tocs[name], r"TRACK  1  Mode MODE1_RAW")
        self.assertRegex(tocs["cd_multi.cue"], r"TRACK  1  Mode AUDIO(.|\n)*TRACK  2  Mode MODE1_RAW")
        self.assertRegex(tocs["cd_pregap.cue"], r"TRACK  2  Mode MODE1_RAW(.|\n)*START  00:06:00\(   450\)")
        self.assertRegex(tocs["cd_2336.cue"], r"TRACK  1  Mode MODE2:")
        self.assertRegex(tocs["cd_mixed.toc"], r"TRACK  2  Mode MODE1_RAW(.|\n)*START  00:04:00\(   300\)")
        # bchunk cuts the data track out of the sheet with the pregap.
        run(["bchunk", o("cd_pregap.bin"), o("cd_pregap.cue"), "pg"], cwd=conv)
        self.assertTrue(read(c("pg02.iso")) == self.iso, "bchunk read another data track")
        self.assertEqual(os.path.getsize(c("pg01.cdr")), 300 * 2352)
        # cdrdao refuses a BOM and bchunk drops sectors of 2336-byte tracks: those a plain reader checks.
        bom = read(o("cd_bom.cue"))
        self.assertTrue(bom.startswith(b"\xef\xbb\xbf") and b"\n" not in bom and b'PROFILE"\r' in bom)
        self.assertTrue(self.user_data(o("cd_2336.bin"), 0, 2336, 8, sectors) == self.iso)
        self.assertTrue(self.user_data(o("cd_mode1.bin"), 0, 2352, 16, sectors) == self.iso)
        self.assertEqual(os.path.getsize(o("cd_audio.bin")), make_cd.AUDIO_SECTORS * 2352)

    def test_reproducible_and_idempotent(self):
        self.assertLess(self.make_seconds, 30)
        b = os.path.join(self.tmp, "b")
        make_cd.make_cd(b, seed=SEED, size="small", what=["iso"])
        self.assertTrue(read(os.path.join(b, "cd.iso")) == self.iso)
        self.assertFalse(os.path.exists(os.path.join(b, "cd_mode1.bin")))

        # A rerun with the same seed leaves everything alone.
        iso_a = os.path.join(self.out, "cd.iso")
        before = {n: os.stat(os.path.join(self.out, n)).st_mtime_ns
                  for n in ("cd.iso", "cd_mode1.bin", "cd_mode2.bin", "cd_abs.cue")}
        t = time.monotonic()
        make_cd.make_cd(self.out, seed=SEED, size="small")
        self.assertLess(time.monotonic() - t, 1.0)
        after = {n: os.stat(os.path.join(self.out, n)).st_mtime_ns for n in before}
        self.assertEqual(before, after)

        # Another seed gives another CD of the same shape.
        make_cd.make_cd(b, seed=SEED + 1, size="small", what=["iso"])
        self.assertFalse(read(os.path.join(b, "cd.iso")) == self.iso)
        named = dict(make_cd.tree_files(SEED + 1))
        for m in make_cd.MARKER_FILES + [make_cd.LBM_PATH]:
            self.assertEqual(named[m], os.path.getsize(self.path(m)), m)

        # Stale outputs of another seed do not survive a partial rebuild.
        c = os.path.join(self.tmp, "c")
        make_cd.make_cd(c, seed=1, size="small", what=["cue"])
        self.assertEqual(sorted(n for n in os.listdir(c) if not n.endswith(".cue")),
                         ["make_cd.stamp"])
        make_cd.make_cd(c, seed=1, size="small", what=["bin"])
        self.assertTrue(os.path.exists(os.path.join(c, "cd_mode2.bin")))
        self.assertTrue(os.path.exists(os.path.join(c, "cd_mode1.cue")))
        make_cd.make_cd(c, seed=2, size="small", what=["tree"])
        self.assertEqual(sorted(os.listdir(c)), ["make_cd.stamp", "tree"])

        # cd_abs.cue follows the folder when it moves.
        make_cd.make_cd(c, seed=2, size="small", what=["cue"])
        moved = os.path.join(self.tmp, "moved")
        os.rename(c, moved)
        make_cd.make_cd(moved, seed=2, size="small", what=["cue"])
        self.assertIn(b"\\moved\\cd_mode1.bin", read(os.path.join(moved, "cd_abs.cue")))

        # The command line.
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "make_cd.py")
        d = os.path.join(self.tmp, "d")
        res = subprocess.run([sys.executable, script, d, "--seed", str(SEED),
                              "--what", "tree,iso", "-q"])
        self.assertEqual(res.returncode, 0)
        self.assertTrue(read(os.path.join(d, "cd.iso")) == self.iso)
        res = subprocess.run([sys.executable, script, d, "--what", "floppy", "-q"],
                             stderr=subprocess.DEVNULL)
        self.assertNotEqual(res.returncode, 0)
        self.assertTrue(os.path.exists(iso_a))


if __name__ == "__main__":
    unittest.main()
