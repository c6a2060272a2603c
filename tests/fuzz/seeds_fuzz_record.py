#!/usr/bin/env python3
"""Seeds for fuzz_record: a record as an install writes it, a reinstall's, and damaged and hostile ones.

    seeds_fuzz_record.py OUTDIR
"""
import os
import sys

HEADER = b":Tovek Zarnith install record 1\n"


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    good = HEADER + b":parents 1\ninstalled_files.txt\nuninstall.exe\nzarnith.exe\ngame\\\ngame\\hd\\\n" \
        b"game\\cd\\\ngame\\cd\\3DGAME.EXE\ngame\\cd\\VELTRIS\\\ngame\\cd\\VELTRIS\\INTRO.DAT\n"
    seeds = {
        "good": good,
        "crlf": good.replace(b"\n", b"\r\n"),
        "cut": good[:-7],
        "no_header": good[len(HEADER):],
        "hostile": HEADER + b"..\\..\\x\nC:\\x\n\\\\server\\x\nCON\ngame\\nul.txt\na\\.\\b\nx:y\n/etc/x\n"
                   b"a\\b.\na\\b \n\n\x01\n" + "ł\\ó.txt\n".encode() + b"\xff\xfe\n:parents 99999\n",
        "long": HEADER + b"A\\" * 300 + b"x\n",
    }
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
