#!/usr/bin/env python3
"""Seeds for fuzz_toc: the sample CD's TOC sheet as cdrdao writes it and a few other shapes.

    seeds_fuzz_toc.py OUTDIR
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))

import make_cd  # noqa: E402


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    seeds = {n: d for n, d in make_cd.mixed_sheets(3392).items() if n.endswith(".toc")}
    seeds.update({
        "mode1.toc": b'CD_ROM\n// Track 1\nTRACK MODE1\nDATAFILE "data.bin" 00:10:00 // length in bytes: 1536000\n',
        "raw_start.toc": b'CD_ROM_XA\r\nTRACK MODE2_RAW RW_RAW\r\nFILE "cd.bin" #16 00:02:00 00:30:00\r\n',
        "pregap.toc": b'TRACK AUDIO\nSILENCE 00:02:00\nFILE "a.wav" 0 264600\nTRACK MODE2_FORM_MIX\n'
                      b'PREGAP 00:02:00\nDATAFILE "d.bin"\nTRACK AUDIO\n',
        "start.toc": b'CD_ROM\nTRACK MODE1_RAW\nZERO MODE1_RAW 00:02:00\nDATAFILE "cd.bin" 00:02:00\n'
                     b'START\nDATAFILE "cd.bin" #352800\nINDEX 00:10:00\n',
        "cd_text.toc": b'CD_ROM\nCD_TEXT {\n  LANGUAGE_MAP { 0 : EN }\n  LANGUAGE 0 { TITLE "a } b" }\n}\n'
                       b'TRACK MODE1\nCD_TEXT { LANGUAGE 0 { TITLE "\\"x\\"" } }\nDATAFILE "d.iso"\n',
        "unclosed.toc": b'CD_ROM\nTRACK MODE1\nDATAFILE "d.iso\n',
    })
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
