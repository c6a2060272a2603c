#!/usr/bin/env python3
"""A small writer (and reader) of ECM files, the form in which disc images are often kept: the raw sectors
of a BIN with what can be computed again (sync, header, EDC and ECC) left out.

    python3 tests/tools/ecm.py encode game.bin game.bin.ecm
    python3 tests/tools/ecm.py decode game.bin.ecm game.bin

The file: "ECM\\0", then records, each a type (0: bytes as they are; 1: Mode 1 sectors of 2352 bytes, stored
as their 3 address bytes and 2048 data bytes; 2: Mode 2 Form 1 and 3: Mode 2 Form 2, both 2336-byte sectors
without sync and header, stored as 4 subheader bytes and 2048 or 2324 data bytes) and a count (bytes or
sectors), then the end (count field 0xFFFFFFFF) and the EDC of everything the records stand for. A Mode 2
sector's 16 bytes of sync and header go as bytes: the sector types cover what follows them. A sector goes
into a sector record only when its EDC and ECC are exactly what would be computed again, as the original
encoder decides. Also the module holds the CD's EDC and ECC for make_cd.py (mode1_sector).
"""
import struct
import sys

MAGIC = b"ECM\x00"
SYNC = b"\x00" + b"\xff" * 10 + b"\x00"

F_LUT = bytes(((i << 1) ^ (0x11D if i & 0x80 else 0)) & 0xFF for i in range(256))
_b = [0] * 256
for _i in range(256):
    _b[_i ^ F_LUT[_i]] = _i
B_LUT = bytes(_b)
EDC_LUT = []
for _i in range(256):
    _e = _i
    for _ in range(8):
        _e = (_e >> 1) ^ (0xD8018001 if _e & 1 else 0)
    EDC_LUT.append(_e)

# Two bytes a step: the EDC of the 16-bit value x as a state.
EDC_LUT16 = []
for _x in range(65536):
    _e = (_x >> 8) ^ EDC_LUT[_x & 0xFF]
    EDC_LUT16.append((_e >> 8) ^ EDC_LUT[_e & 0xFF])


def edc(data, value=0):
    """The EDC (CRC-32 of polynomial 0x8001801B, bits reflected, no inversion) of data, from value on."""
    data = memoryview(bytes(data))
    lut = EDC_LUT16
    for w in data[:len(data) & ~1].cast("H"):
        value = (value >> 16) ^ lut[(value ^ w) & 0xFFFF]
    for c in data[len(data) & ~1:]:
        value = (value >> 8) ^ EDC_LUT[(value ^ c) & 0xFF]
    return value


def _xor(a, b):
    return (int.from_bytes(a, "little") ^ int.from_bytes(b, "little")).to_bytes(len(a), "little")


def _rs(columns, count):
    """The two parity bytes of each of `count` codewords (ECMA-130 annex A), from their bytes given row by row:
    columns[k] holds byte k of every codeword. Returns the first parity bytes, then the second ones."""
    a, b = bytes(count), bytes(count)
    for col in columns:
        a = _xor(a, col).translate(F_LUT)
        b = _xor(b, col)
    a = _xor(a.translate(F_LUT), b).translate(B_LUT)
    return a + _xor(a, b)


def _interleave(even, odd):
    out = bytearray(len(even) * 2)
    out[0::2], out[1::2] = even, odd
    return bytes(out)


def _ecc(sector, zero_address):
    """P and Q parity of a sector. The bytes from the header on are 1118 16-bit words, each word's two bytes
    coded apart: P codes the 43 columns of 24 rows of words, Q the 26 diagonals of 43 words (a step of 44 words
    through the words and the P parity)."""
    s = bytearray(sector[:0x930])
    if zero_address:
        s[12:16] = bytes(4)
    src = bytes(s[12:12 + 2064])
    p = _rs([src[86 * k:86 * k + 86] for k in range(24)], 86)
    src += p
    even, odd = [], []
    for k in range(43):
        rot = src[88 * k % 2236:] + src[:88 * k % 2236]
        even.append(rot[0::86])
        odd.append(rot[1::86])
    qe, qo = _rs(even, 26), _rs(odd, 26)
    q = _interleave(qe[:26], qo[:26]) + _interleave(qe[26:], qo[26:])
    return p, q


def _bcd(v):
    return (v // 10) << 4 | (v % 10)


def mode1_sector(lba, data):
    """A whole Mode 1 sector (2352 bytes) of the 2048 user bytes at disc address lba (2 s before 00:00:00)."""
    f = lba + 150
    head = SYNC + bytes((_bcd(f // 4500), _bcd(f // 75 % 60), _bcd(f % 75), 1)) + data
    return head + _mode1_tail(head)


def mode2_form1_sector(lba, data):
    """A whole Mode 2 Form 1 sector (2352 bytes) of the 2048 user bytes, subheader 00 00 08 00 twice."""
    f = lba + 150
    head = SYNC + bytes((_bcd(f // 4500), _bcd(f // 75 % 60), _bcd(f % 75), 2))
    return head + _mode2_body(bytes((0, 0, 8, 0)) * 2 + data, 1)


def _is_mode1(s):
    if len(s) < 2352 or s[:12] != SYNC or s[15] != 1 or any(s[0x814:0x81C]):
        return False
    if struct.unpack_from("<I", s, 0x810)[0] != edc(s[:0x810]):
        return False
    p, q = _ecc(s, False)
    return s[0x81C:0x8C8] == p and s[0x8C8:0x930] == q


def _mode2_form(s):
    """1 or 2 for a 2336-byte Mode 2 sector body (subheader on) whose EDC/ECC regenerate; 0 otherwise."""
    if len(s) < 2336 or s[0:4] != s[4:8]:
        return 0
    whole = bytes(16) + s
    if struct.unpack_from("<I", s, 0x808)[0] == edc(s[:0x808]):
        p, q = _ecc(whole, True)
        if whole[0x81C:0x8C8] == p and whole[0x8C8:0x930] == q:
            return 1
    if struct.unpack_from("<I", s, 0x91C)[0] == edc(s[:0x91C]):
        return 2
    return 0


def _count(kind, n):
    n -= 1
    out = bytearray([((n & 0x1F) << 2) | kind | (0x80 if n >> 5 else 0)])
    n >>= 5
    while n:
        out.append((n & 0x7F) | (0x80 if n >> 7 else 0))
        n >>= 7
    return bytes(out)


def encode(raw):
    """The ECM file of raw (a BIN, or any file: what is no sector goes as bytes)."""
    records = []  # [kind, count, stored bytes]

    def add(kind, stored, n=1):
        if records and records[-1][0] == kind:
            records[-1][1] += n
            records[-1][2].append(stored)
        else:
            records.append([kind, n, [stored]])

    pos = 0
    while pos < len(raw):
        s = raw[pos:pos + 2352]
        if _is_mode1(s):
            add(1, s[12:15] + s[16:0x810])
            pos += 2352
            continue
        if len(s) == 2352 and s[:12] == SYNC and s[15] == 2:
            form = _mode2_form(s[16:])
            if form:
                add(0, s[:16], 16)
                add(form + 1, s[16:20] + s[24:24 + (2048 if form == 1 else 2324)])
                pos += 2352
                continue
        add(0, s, len(s))
        pos += len(s)
    out = bytearray(MAGIC)
    for kind, n, parts in records:
        out += _count(kind, n) + b"".join(parts)
    out += bytes((0xFC, 0xFF, 0xFF, 0xFF, 0x3F)) + struct.pack("<I", edc(raw))
    return bytes(out)


def decode(ecm):
    """The bytes an ECM file stands for; ValueError when it is damaged."""
    if ecm[:4] != MAGIC:
        raise ValueError("no ECM file")
    pos, out = 4, bytearray()
    while True:
        c = ecm[pos]
        pos += 1
        kind, n, bits = c & 3, (c >> 2) & 0x1F, 5
        while c & 0x80:
            c = ecm[pos]
            pos += 1
            n |= (c & 0x7F) << bits
            bits += 7
        if n == 0xFFFFFFFF:
            break
        n += 1
        for _ in range(1 if kind == 0 else n):
            if kind == 0:
                out += ecm[pos:pos + n]
                pos += n
            elif kind == 1:
                head = SYNC + ecm[pos:pos + 3] + b"\x01" + ecm[pos + 3:pos + 2051]
                out += head + _mode1_tail(head)
                pos += 2051
            else:
                size = 2048 if kind == 2 else 2324
                sub = ecm[pos:pos + 4]
                out += _mode2_body(sub + sub + ecm[pos + 4:pos + 4 + size], kind - 1)
                pos += 4 + size
    if struct.unpack_from("<I", ecm, pos)[0] != edc(out):
        raise ValueError("EDC mismatch")
    return bytes(out)


def _mode1_tail(head):
    s = bytearray(head + bytes(288))
    s[0x810:0x814] = struct.pack("<I", edc(s[:0x810]))
    p, q = _ecc(s, False)
    return bytes(s[0x810:0x81C]) + p + q


def _mode2_body(body, form):
    s = bytearray(bytes(16) + body + bytes(2336 - len(body)))
    if form == 1:
        s[16 + 0x808:16 + 0x80C] = struct.pack("<I", edc(s[16:16 + 0x808]))
        p, q = _ecc(s, True)
        s[0x81C:0x8C8] = p
        s[0x8C8:0x930] = q
    else:
        s[16 + 0x91C:16 + 0x920] = struct.pack("<I", edc(s[16:16 + 0x91C]))
    return bytes(s[16:])


def main(argv):
    if len(argv) != 4 or argv[1] not in ("encode", "decode"):
        sys.exit(__doc__)
    with open(argv[2], "rb") as f:
        data = f.read()
    with open(argv[3], "wb") as f:
        f.write(encode(data) if argv[1] == "encode" else decode(data))


if __name__ == "__main__":
    main(sys.argv)
