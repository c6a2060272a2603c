#!/usr/bin/env python3
"""Checks res/make_dat.py, which makes the setup's list of known releases from a Logiqx DAT: the sample CD's
DAT comes out as the tree it describes, and every malformed DAT stops the build naming its line.

    python3 tests/tools/test_make_dat.py
"""
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_DAT = os.path.join(HERE, "..", "..", "res", "make_dat.py")
sys.path.insert(0, HERE)
import make_cd  # noqa: E402

ROM = '<rom name="A.DAT" size="1" crc="0000000f"/>'


def unpack(blob):
    """[(game, [(path, size, crc)])] of a list, read as the setup reads it."""
    magic, version, games, files, text = struct.unpack_from("<4sIIII", blob)
    assert (magic, version) == (b"ZCDL", 1) and len(blob) == 20 + 12 * games + 16 * files + text
    names = blob[20 + 12 * games + 16 * files:]
    name = lambda at: names[at:names.index(b"\0", at)].decode()
    out = []
    for g in range(games):
        at, first, count = struct.unpack_from("<III", blob, 20 + 12 * g)
        roms = [struct.unpack_from("<IIQ", blob, 20 + 12 * games + 16 * i) for i in range(first, first + count)]
        out.append((name(at), [(name(n), size, crc) for n, crc, size in roms]))
    return out


class MakeDat(unittest.TestCase):
    def make(self, dat):
        with tempfile.TemporaryDirectory() as d:
            src, out = os.path.join(d, "in.dat"), os.path.join(d, "out.bin")
            with open(src, "wb") as f:
                f.write(dat)
            r = subprocess.run([sys.executable, MAKE_DAT, src, out], stderr=subprocess.PIPE, text=True)
            if r.returncode:
                return r.returncode, r.stderr.replace(src, "DAT"), None
            with open(out, "rb") as f:
                return 0, "", f.read()

    def test_the_sample_cd(self):
        # The list the build makes by default describes the tree that the tests install, byte for byte.
        code, err, blob = self.make(make_cd.dat_text())
        self.assertEqual(code, 0, err)
        with tempfile.TemporaryDirectory() as d:
            make_cd.make_cd(d, what=["tree"])
            tree = []
            for base, _dirs, files in os.walk(os.path.join(d, "tree")):
                for f in files:
                    with open(os.path.join(base, f), "rb") as data:
                        content = data.read()
                    rel = os.path.relpath(os.path.join(base, f), os.path.join(d, "tree"))
                    tree.append((rel.replace(os.sep, "\\"), len(content), zlib.crc32(content)))
        self.assertEqual([(g, sorted(roms)) for g, roms in unpack(blob)], [(make_cd.SAMPLE_RELEASE, sorted(tree))])

    def test_malformed_dats_name_their_line(self):
        head = b'<?xml version="1.0"?>\n<datafile>\n<header><name>x</name></header>\n'
        for body, line, why in [
            ('<game name="R">\n<rom name="A.DAT" size="1" crc="0000000f">\n</game>\n</datafile>', 6, "mismatched tag"),
            ('<game name="R">\n<rom name="..\\A.DAT" size="1" crc="0000000f"/>\n</game></datafile>', 5, "not a path"),
            ('<game name="R">\n<rom name="A.DAT" size="-1" crc="0000000f"/>\n</game></datafile>', 5, "not a byte count"),
            ('<game name="R">\n<rom name="A.DAT" size="1" crc="f"/>\n</game></datafile>', 5, "not 8 hex digits"),
            ('<game name="R">\n<rom name="A.DAT" size="1"/>\n</game></datafile>', 5, "no crc"),
            ('<game name="R">\n%s\n<rom name="a.dat" size="2" crc="0000000f"/>\n</game></datafile>' % ROM, 6, "twice"),
            ('<game name="R">\n%s\n</game>\n<game name="R">%s</game></datafile>' % (ROM, ROM), 7, "second game"),
            ('<game name="R">\n<description>no files</description>\n</game></datafile>', 6, "lists no rom"),
            ('<game name="&x;">%s</game></datafile>' % ROM, 4, "entity"),
            ('</datafile>', 4, "no game"),
        ]:
            with self.subTest(why=why):
                code, err, _ = self.make(head + body.encode())
                self.assertEqual(code, 1)
                self.assertIn("DAT:%d: " % line, err)
                self.assertIn(why, err)
        code, err, _ = self.make(b"<games>\n</games>")
        self.assertIn("DAT:1: the DAT's outermost element is <games>", err)


if __name__ == "__main__":
    unittest.main()
