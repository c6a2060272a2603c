#!/usr/bin/env python3
"""Seeds for fuzz_ccd, fuzz_mds and fuzz_nrg: the sample CD maker's descriptors (the Nero images
cut down to their last sectors and chunks), and a few other shapes.

    seeds_fuzz_disc.py ccd|mds|nrg OUTDIR
"""
import os
import struct
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))

import make_cd  # noqa: E402


def nrg_seeds():
    seeds = {}
    with tempfile.TemporaryDirectory() as tmp:
        iso = os.path.join(tmp, "cd.iso")
        with open(iso, "wb") as f:
            f.write(bytes(20 * 2048))
        for new in (False, True):
            path = os.path.join(tmp, "x.nrg")
            make_cd.write_nrg(iso, path, new)
            with open(path, "rb") as f:
                data = f.read()
            # Keep the chunks and footer; shift the footer's offset to the shortened file.
            start = 170 * 2048
            tail = bytearray(data[start - 4096:])
            if new:
                struct.pack_into(">Q", tail, len(tail) - 8, 4096)
            else:
                struct.pack_into(">I", tail, len(tail) - 4, 4096)
            seeds["new.nrg" if new else "old.nrg"] = bytes(tail)
    return seeds


def main():
    kind, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    if kind == "ccd":
        seeds = {"one.ccd": make_cd.ccd_text(3424), "mode2.ccd": make_cd.ccd_text(1000, mode=2),
                 "audio_first.ccd": b"[CloneCD]\r\n[TRACK 1]\r\nMODE=0\r\nINDEX 1=0\r\n[TRACK 2]\r\nMODE=1\r\n"
                                    b"INDEX 0=100\r\nINDEX 1=250\r\n"}
    elif kind == "mds":
        seeds = {"mode1.mds": make_cd.mds_bytes(3424), "sub.mds": make_cd.mds_bytes(3424, 2448),
                 "mode2.mds": make_cd.mds_bytes(3424, mode=2, name="game.mdf")}
    else:
        seeds = nrg_seeds()
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
