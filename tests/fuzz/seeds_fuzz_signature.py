#!/usr/bin/env python3
"""Seeds for fuzz_signature: PE32 and PE32+ headers with and without a certificate table.

    seeds_fuzz_signature.py OUTDIR
"""
import os
import struct
import sys


def pe(magic, cert_bytes):
    count_at = 108 if magic == 0x20B else 92
    b = bytearray(0x400)
    b[0:2] = b"MZ"
    struct.pack_into("<I", b, 0x3C, 0x80)
    b[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<H", b, 0x80 + 20, count_at + 4 + 16 * 8)
    struct.pack_into("<H", b, 0x98, magic)
    struct.pack_into("<I", b, 0x98 + count_at, 16)
    struct.pack_into("<II", b, 0x98 + count_at + 4 + 32, 0x400, cert_bytes)
    return bytes(b)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    seeds = {"pe32plus_signed": pe(0x20B, 0x800), "pe32_signed": pe(0x10B, 0x800),
             "pe32plus_unsigned": pe(0x20B, 0), "cut": pe(0x20B, 0x800)[:0xA0]}
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
