#!/usr/bin/env python3
"""Seeds for fuzz_zip, fuzz_sevenzip and fuzz_ecm, made by the tools players use (zip, 7-Zip's 7zz) and the
ECM writer of the sample CD maker, from a small CD image: each form the setup reads, and the ones it refuses.

    seeds_fuzz_archives.py zip|sevenzip|ecm OUTDIR
"""
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))

import ecm  # noqa: E402
import make_cd  # noqa: E402


def small_cd(tmp):
    """A CD of two small files (xorriso's image), its Mode 1 BIN and a CUE sheet naming it."""
    tree = os.path.join(tmp, "tree")
    os.makedirs(tree)
    for name, n in (("A.DAT", 3000), ("B.DAT", 70000)):
        with open(os.path.join(tree, name), "wb") as f:
            f.write(bytes((i * 7 + n) & 0xFF for i in range(n)))
    make_cd.write_iso(tree, os.path.join(tmp, "cd.iso"))
    with open(os.path.join(tmp, "cd.iso"), "rb") as f:
        iso = f.read()
    with open(os.path.join(tmp, "cd.bin"), "wb") as f:
        f.write(make_cd.raw_sectors(iso, 1))
    with open(os.path.join(tmp, "cd.cue"), "wb") as f:
        f.write(make_cd._cue("cd.bin", 1))
    return iso


def main():
    kind, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        iso = small_cd(tmp)
        arc = lambda n: os.path.join(out, n)
        if kind == "zip":
            for name, args, members in (("deflate.zip", [], ["cd.iso"]), ("stored.zip", ["-0"], ["cd.iso"]),
                                        ("zip64.zip", ["-fz"], ["cd.bin", "cd.cue"]),
                                        ("encrypted.zip", ["-P", "x"], ["cd.iso"]),
                                        ("bzip2.zip", ["-Z", "bzip2"], ["cd.cue"])):
                make_cd._archive(make_cd.ZIP + args, arc(name), members, tmp)
        elif kind == "sevenzip":
            for name, args, members in (("lzma2.7z", [], ["cd.bin", "cd.cue"]),
                                        ("lzma.7z", ["-m0=LZMA", "-ms=off"], ["cd.iso", "cd.cue"]),
                                        ("copy.7z", ["-mx=0"], ["cd.cue"]),
                                        ("encrypted.7z", ["-px"], ["cd.cue"]),
                                        ("bzip2.7z", ["-m0=BZip2"], ["cd.cue"])):
                make_cd._archive(make_cd.SEVEN + args, arc(name), members, tmp)
        else:
            sectors = [iso[i:i + 2048] for i in range(0, 40 * 2048, 2048)]
            forms = {"mode1.ecm": b"".join(ecm.mode1_sector(k, d) for k, d in enumerate(sectors)),
                     "mode2.ecm": b"".join(ecm.mode2_form1_sector(k, d) for k, d in enumerate(sectors[:8])),
                     "bytes.ecm": iso[:5000]}
            for name, raw in forms.items():
                with open(arc(name), "wb") as f:
                    f.write(ecm.encode(raw))


if __name__ == "__main__":
    main()
