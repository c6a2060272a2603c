#!/usr/bin/env python3
"""Seeds for fuzz_cue: the sample CD's CUE sheets (the ripper variants too) and a few other shapes.

    seeds_fuzz_cue.py OUTDIR
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))

import make_cd  # noqa: E402


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    seeds = dict(make_cd.cue_sheets("C:\\cds"))
    seeds.update(make_cd.ripper_cue_sheets())
    seeds.update({
        "lower.cue": b'file "cd.bin" BINARY\r\n',
        "unquoted.cue": b"FILE cd.bin BINARY\r\n",
        "one_quote.cue": b'FILE "cd.bin BINARY\r\n',
        "empty_name.cue": b'FILE "" BINARY\r\n',
        "two_files.cue": b'FILE "a.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\nFILE "b.wav" WAVE\r\n',
        "unc.cue": b'FILE "\\\\server\\share\\cd.bin" BINARY\r\n',
        "long.cue": b'FILE "' + b"N" * 600 + b'.bin" BINARY\r\n',
        "utf16le.cue": b"\xff\xfe" + 'FILE "\u0141\u00f3d\u017a.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\n'.encode("utf-16-le"),
        "ansi.cue": 'FILE "Gra \u017c\u00f3\u0142w.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\n'.encode("cp1250"),
        "utf16be_lone.cue": b"\xfe\xff" + 'FILE "a'.encode("utf-16-be") + b"\xd8\x00" + '.bin"\r\n'.encode("utf-16-be"),
    })
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
