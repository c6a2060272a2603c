#!/usr/bin/env python3
"""Seeds for fuzz_chd: CHDs of a small CD written by chdman (mame-tools), as players keep them: from its ISO,
from its raw BIN+CUE (Mode 1 and Mode 2), mixed mode with audio first and with a pregap in the BIN, each with
the default codecs (cdlz, cdzl, cdfl), one codec alone and none; and the sample CD's damaged CHDs cut to size.

    seeds_fuzz_chd.py OUTDIR
"""
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import make_cd  # noqa: E402


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="seeds-chd-") as work:
        p = lambda n: os.path.join(work, n)
        tree = p("tree")
        os.makedirs(os.path.join(tree, "VELTRIS"))
        for name, data in (("3DGAME.EXE", b"MZ" + bytes(range(256)) * 12), ("VELTRIS/INTRO.DAT", b"intro" * 999)):
            with open(os.path.join(tree, name), "wb") as f:
                f.write(data)
        make_cd.write_iso(tree, p("cd.iso"))
        make_cd.iso_to_bin(p("cd.iso"), p("cd1.bin"), 1)
        make_cd.iso_to_bin(p("cd.iso"), p("cd2.bin"), 2)
        sheets = {"cd1.cue": make_cd._cue("cd1.bin", 1), "cd2.cue": make_cd._cue("cd2.bin", 2)}
        audio = 40  # xorriso masters no closer to the disc start than 32 sectors
        make_cd.write_iso(tree, p("mixed.iso"), lba=audio)
        make_cd.iso_to_raw(p("mixed.iso"), p("mixed.bin"), 1, lead=make_cd.audio_sectors(audio), first_lba=audio)
        sheets["mixed.cue"] = ('FILE "mixed.bin" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n'
                               '  TRACK 02 MODE1/2352\r\n    INDEX 00 00:00:30\r\n    INDEX 01 00:00:%02d\r\n'
                               % audio).encode("ascii")
        for name, data in sheets.items():
            with open(p(name), "wb") as f:
                f.write(data)
        made = [("iso", "cd.iso", []), ("mode1", "cd1.cue", []), ("mode2", "cd2.cue", []),
                ("mixed", "mixed.cue", []), ("cdzl", "cd.iso", ["-c", "cdzl"]), ("cdlz", "cd1.cue", ["-c", "cdlz"]),
                ("cdfl", "mixed.cue", ["-c", "cdfl"]), ("none", "cd.iso", ["-c", "none"])]
        for name, source, codecs in made:
            make_cd.chdman("createcd", "-i", p(source), "-o", os.path.join(out, name + ".chd"), *codecs)
        with open(os.path.join(out, "iso.chd"), "rb") as f:
            good = f.read()
        # Cut, a damaged hunk, an unknown codec: the sample CD's damaged CHDs made small.
        damaged = {"cut.chd": good[:len(good) * 3 // 4], "codec.chd": good[:24] + b"cdxx" + good[28:],
                   "hunk.chd": good[:200] + bytes(b ^ 0x5A for b in good[200:232]) + good[232:]}
        for name, data in damaged.items():
            with open(os.path.join(out, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
