#!/usr/bin/env python3
"""Turns a Logiqx XML datafile (the known releases of the game CD, file by file) into the compact list the
setup carries as its resource CDLIST, so that the setup never parses XML.

    make_dat.py DATFILE OUT.bin

What is read: <datafile>, an optional <header>, one <game name="..."> (or <machine>) per release holding one
<rom name="FOLDER\\FILE" size="N" crc="8 hex digits"/> per file of the CD, paths relative to the CD's root
with '\\' or '/'. md5, sha1 and every other attribute are passed over, and so is every other element with
what it holds. A DAT is input like any other: every name, size and count is bounded, entity declarations
are refused (no entity expansion), and anything malformed ends the build with "FILE:LINE: what".

The list (little-endian):
    0   "ZCDL"
    4   u32 version (1)
    8   u32 G, the releases (1 to 4096)
    12  u32 R, the files of all releases (1 to 1,048,576; at most 65,535 in one release)
    16  u32 T, bytes of names (at most 64 MiB)
    20  G x {u32 name, u32 first file, u32 files}     releases, each file range following the one before
        R x {u32 name, u32 crc, u64 size}              files, in DAT order within their release
        T bytes of names, each UTF-8 and NUL-terminated; file paths with '\\'
The whole list is exactly 20 + 12 G + 16 R + T bytes. Two runs over one DAT give the same bytes.
"""
import os
import re
import struct
import sys
import xml.parsers.expat

MAGIC = b"ZCDL"
VERSION = 1
MAX_DAT_BYTES = 64 << 20
MAX_GAMES = 4096
MAX_FILES = 1 << 20
MAX_GAME_FILES = 65535
MAX_TEXT = 64 << 20
MAX_GAME_NAME = 255      # bytes of UTF-8
MAX_PATH_BYTES = 519     # what the setup's path buffers hold
MAX_PARTS = 64
MAX_SIZE = 1 << 40       # no file of a disc comes near it

SIZE_RE = re.compile(r"^[0-9]{1,13}$")
CRC_RE = re.compile(r"^[0-9A-Fa-f]{8}$")
# A reference to anything but the five predefined entities or a character: with a DOCTYPE naming an
# external DTD, expat would otherwise drop it from a name without a word.
FOREIGN_ENTITY_RE = re.compile(rb"&(?!(?:amp|lt|gt|quot|apos|#[0-9]{1,7}|#x[0-9A-Fa-f]{1,6});)")
BAD_CHARS = set(':*?"<>|') | {chr(c) for c in range(32)} | {"\x7f"}


class DatError(Exception):
    def __init__(self, line, message):
        super().__init__(message)
        self.line = line


def check_path(name, line):
    """The rom name as the setup keeps it ('\\' between parts), or DatError."""
    path = name.replace("/", "\\")
    parts = path.split("\\")
    if not path or len(path.encode("utf-8")) > MAX_PATH_BYTES or len(parts) > MAX_PARTS:
        raise DatError(line, "rom name %r is empty or too long" % name)
    for part in parts:
        if not part or part.strip(". ") == "" or any(c in BAD_CHARS for c in part):
            raise DatError(line, "rom name %r is not a path relative to the CD's root" % name)
    return path


class Reader:
    """Walks the elements with expat, keeping the line of each one for the messages."""

    def __init__(self):
        self.games = []       # [(name, [(path, size, crc)])]
        self.stack = []       # names of the open elements
        self.skipping = 0     # depth inside an element whose content is passed over
        self.seen_root = False
        self.game_names = set()
        self.files = 0
        self.paths = set()
        self.p = xml.parsers.expat.ParserCreate("UTF-8")
        self.p.StartElementHandler = self.start
        self.p.EndElementHandler = self.end
        self.p.EntityDeclHandler = self.refuse_entity
        self.p.SkippedEntityHandler = self.refuse_skipped

    def line(self):
        return self.p.CurrentLineNumber

    def refuse_entity(self, name, *_):
        raise DatError(self.line(), "the DAT declares the entity %r: entities are not accepted" % name)

    def refuse_skipped(self, name, _is_parameter):
        raise DatError(self.line(), "the DAT uses the undefined entity %r" % name)

    def start(self, tag, attrs):
        line = self.line()
        if self.skipping:
            self.skipping += 1
        elif not self.stack:
            if tag != "datafile":
                raise DatError(line, "the DAT's outermost element is <%s>, not <datafile>" % tag)
            self.seen_root = True
        elif len(self.stack) == 1:
            if tag in ("game", "machine"):
                self.start_game(attrs, line)
            else:
                self.skipping = 1        # <header> and anything else
        elif len(self.stack) == 2 and tag == "rom":
            self.add_rom(attrs, line)
            self.skipping = 1
        else:
            self.skipping = 1            # <description>, <disk>, <release>, ...
        self.stack.append(tag)

    def end(self, tag):
        self.stack.pop()
        if self.skipping:
            self.skipping -= 1
        elif len(self.stack) == 1 and not self.games[-1][1]:
            raise DatError(self.line(), "the game %r lists no rom" % self.games[-1][0])

    def start_game(self, attrs, line):
        name = attrs.get("name", "")
        if not name or len(name.encode("utf-8")) > MAX_GAME_NAME or any(c in BAD_CHARS - set(':*?"<>|')
                                                                        for c in name):
            raise DatError(line, "the game's name is missing, too long or holds control characters")
        if name in self.game_names:
            raise DatError(line, "a second game named %r" % name)
        if len(self.games) == MAX_GAMES:
            raise DatError(line, "more than %d games" % MAX_GAMES)
        self.game_names.add(name)
        self.games.append((name, []))
        self.paths = set()

    def add_rom(self, attrs, line):
        for key in ("name", "size", "crc"):
            if key not in attrs:
                raise DatError(line, "the rom has no %s attribute" % key)
        path = check_path(attrs["name"], line)
        if not SIZE_RE.match(attrs["size"]) or int(attrs["size"]) > MAX_SIZE:
            raise DatError(line, "the rom's size %r is not a byte count" % attrs["size"])
        if not CRC_RE.match(attrs["crc"]):
            raise DatError(line, "the rom's crc %r is not 8 hex digits" % attrs["crc"])
        folded = path.lower()
        if folded in self.paths:
            raise DatError(line, "the game lists %r twice" % attrs["name"])
        files = self.games[-1][1]
        if len(files) == MAX_GAME_FILES or self.files == MAX_FILES:
            raise DatError(line, "too many roms")
        self.paths.add(folded)
        files.append((path, int(attrs["size"]), int(attrs["crc"], 16)))
        self.files += 1

    def read(self, data):
        try:
            self.p.Parse(data, True)
        except xml.parsers.expat.ExpatError as e:
            raise DatError(e.lineno, xml.parsers.expat.ErrorString(e.code))
        if not self.games:
            raise DatError(self.line(), "the DAT lists no game")
        return self.games


def read_dat(data):
    """[(game name, [(path, size, crc)])] of the DAT's bytes, or DatError."""
    if len(data) > MAX_DAT_BYTES:
        raise DatError(1, "the DAT is larger than %d bytes" % MAX_DAT_BYTES)
    m = FOREIGN_ENTITY_RE.search(data)
    if m:
        raise DatError(data.count(b"\n", 0, m.start()) + 1, "an entity other than &amp; &lt; &gt; &quot; &apos;")
    return Reader().read(data)


def pack(games):
    """The list's bytes (see above)."""
    text = bytearray()
    where = {}

    def name_at(s):
        if s not in where:
            where[s] = len(text)
            text.extend(s.encode("utf-8") + b"\0")
        return where[s]

    heads, files = [], []
    for name, roms in games:
        heads.append(struct.pack("<III", name_at(name), len(files), len(roms)))
        for path, size, crc in roms:
            files.append(struct.pack("<IIQ", name_at(path), crc, size))
    if len(text) > MAX_TEXT:
        raise DatError(1, "the names take more than %d bytes" % MAX_TEXT)
    return (MAGIC + struct.pack("<IIII", VERSION, len(games), len(files), len(text))
            + b"".join(heads) + b"".join(files) + bytes(text))


def main(argv):
    if len(argv) != 3:
        print("usage: make_dat.py DATFILE OUT.bin", file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as f:
            data = f.read(MAX_DAT_BYTES + 1)
        out = pack(read_dat(data))
    except DatError as e:
        print("%s:%d: %s" % (argv[1], e.line, e), file=sys.stderr)
        return 1
    except OSError as e:
        print("make_dat.py: %s" % e, file=sys.stderr)
        return 1
    with open(argv[2] + ".tmp", "wb") as f:
        f.write(out)
    os.replace(argv[2] + ".tmp", argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
