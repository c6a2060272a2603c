#!/usr/bin/env python3
"""Packs the catalogues of translations (src/util/lang/<code>.inc) into one zlib stream for setup.exe, which
unpacks the texts once at start-up when the player's language is not English: they take a third of the room.

    pack_catalogues.py OUT CATALOGUE...

OUT is a C++ fragment for lang.cpp: the stream, its unpacked size and each catalogue's count of texts, in the
order given. Unpacked, each catalogue is its texts in order, each the English text and the translation, both
ending in a zero byte. A line that is neither a comment nor one text stops the build with its place.
"""
import re
import sys
import zlib

LINE = re.compile(r'^\{"((?:[^"\\]|\\.)*)", "((?:[^"\\]|\\.)*)"\},$')
ESCAPES = {"n": "\n", "t": "\t", "\\": "\\", '"': '"', "'": "'"}


def unescape(body, where):
    out, i = [], 0
    while i < len(body):
        c = body[i]
        if c == "\\":
            if i + 1 >= len(body) or body[i + 1] not in ESCAPES:
                raise SystemExit("%s: an escape this packer does not know: %r" % (where, body[i:i + 2]))
            out.append(ESCAPES[body[i + 1]])
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def main():
    out, catalogues = sys.argv[1], sys.argv[2:]
    blob, counts = bytearray(), []
    for path in catalogues:
        count = 0
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                line = line.rstrip("\r\n")
                if not line.strip() or line.lstrip().startswith("//"):
                    continue
                m = LINE.match(line)
                where = "%s:%d" % (path, number)
                if not m:
                    raise SystemExit("%s: not a text of the catalogue: %s" % (where, line))
                for part in m.groups():
                    text = unescape(part, where).encode("utf-8")
                    if b"\0" in text:
                        raise SystemExit("%s: a zero byte in a text" % where)
                    blob += text + b"\0"
                count += 1
        counts.append(count)
    packed = zlib.compress(bytes(blob), 9)
    rows = [", ".join("%d" % b for b in packed[i:i + 24]) for i in range(0, len(packed), 24)]
    text = ("// Made by cmake/pack_catalogues.py from the catalogues; not to be edited.\n"
            "static const unsigned char packed[] = {\n%s};\n"
            "constexpr unsigned long UNPACKED_SIZE = %d;\n"
            "static const unsigned short counts[] = {%s};\n"
            % (",\n".join(rows), len(blob), ", ".join(str(c) for c in counts)))
    with open(out, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
