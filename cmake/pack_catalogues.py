#!/usr/bin/env python3
"""Packs the catalogues of translations (src/util/lang/<code>.inc) into one LZMA stream for setup.exe, which
unpacks the texts once at start-up when the player's language is not English: they take a sixth of the room.

    pack_catalogues.py OUT CATALOGUE...

OUT is a C++ fragment for lang.cpp: the stream (the five bytes of its properties, then its data), its unpacked
size and the count of texts. Every catalogue lists the same English texts in the same order: unpacked, they
come once, then each catalogue's translations in the order given, each text ending in a zero byte. A line
that is neither a comment nor one text, or a catalogue whose English texts differ from the first's, stops the
build with its place.
"""
import lzma
import re
import sys

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
    english, translations = None, []
    for path in catalogues:
        keys, texts = [], []
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                line = line.rstrip("\r\n")
                if not line.strip() or line.lstrip().startswith("//"):
                    continue
                m = LINE.match(line)
                where = "%s:%d" % (path, number)
                if not m:
                    raise SystemExit("%s: not a text of the catalogue: %s" % (where, line))
                key, text = (unescape(part, where).encode("utf-8") for part in m.groups())
                if b"\0" in key or b"\0" in text:
                    raise SystemExit("%s: a zero byte in a text" % where)
                if english is not None and (len(keys) >= len(english) or english[len(keys)] != key):
                    raise SystemExit("%s: the English text differs from the first catalogue's (%s)"
                                     % (where, catalogues[0]))
                keys.append(key)
                texts.append(text)
        if english is not None and len(keys) != len(english):
            raise SystemExit("%s: %d texts where %s has %d" % (path, len(keys), catalogues[0], len(english)))
        english = english if english is not None else keys
        translations.append(texts)
    blob = b"".join(t + b"\0" for t in english) + b"".join(t + b"\0" for texts in translations for t in texts)
    # Text: literal context bits only, no position bits; the .lzma header's size field is left out.
    filters = [{"id": lzma.FILTER_LZMA1, "preset": 9 | lzma.PRESET_EXTREME, "lc": 1, "lp": 0, "pb": 0,
                "dict_size": 1 << 20}]
    stream = lzma.compress(blob, format=lzma.FORMAT_ALONE, filters=filters)
    packed = stream[:5] + stream[13:]
    rows = [", ".join("%d" % b for b in packed[i:i + 24]) for i in range(0, len(packed), 24)]
    text = ("// Made by cmake/pack_catalogues.py from the catalogues; not to be edited.\n"
            "static const unsigned char packed[] = {\n%s};\n"
            "constexpr unsigned long UNPACKED_SIZE = %d;\n"
            "constexpr unsigned short TEXTS = %d, CATALOGUES = %d;\n"
            % (",\n".join(rows), len(blob), len(english or []), len(catalogues)))
    with open(out, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
