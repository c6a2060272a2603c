#!/usr/bin/env python3
"""Seeds for fuzz_signature: PE32+ and PE32 headers with and without a certificate table, and one cut short.

    seeds_fuzz_signature.py OUTDIR
"""
import os
import struct
import sys


def pe(magic, cert_bytes):
    count_at = 0x98 + (108 if magic == 0x20B else 92)
    b = bytearray(0x400)
    for at, fmt, v in ((0, "<H", 0x5A4D), (0x3C, "<I", 0x80), (0x80, "<I", 0x4550), (0x94, "<H", 240),
                       (0x98, "<H", magic), (count_at, "<I", 16), (count_at + 36, "<II", (0x400, cert_bytes))):
        struct.pack_into(fmt, b, at, *(v if isinstance(v, tuple) else (v,)))
    return bytes(b)


os.makedirs(sys.argv[1], exist_ok=True)
for name, data in {"pe32plus_signed": pe(0x20B, 0x800), "pe32_signed": pe(0x10B, 0x800),
                   "unsigned": pe(0x20B, 0), "cut": pe(0x20B, 0x800)[:0xA0]}.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)
