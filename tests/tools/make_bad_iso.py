#!/usr/bin/env python3
"""Make small hostile ISO 9660 images for the setup program's tests.

    python3 tests/tools/make_bad_iso.py OUTDIR

Every image carries the four marker files of the game CD (and GAME.CFG and VELTRIS), so the setup
accepts it and goes on to copy it; what follows them is the trouble:

    traversal_file.iso  a file named ..\\..\\..\\ESCAPED.TXT
    traversal_dir.iso   a folder named "..." (".." once its final dot is dropped) holding ESCAPED.TXT
    colon.iso           a file named C:ESCAPED.TXT
    device.iso          a file named NUL.TXT
    loops.iso           folders pointing at the root and at themselves (real discs do this): harmless,
                        installs like a plain CD with SUB\\FILE.DAT
    fanout.iso          sixteen levels of folders, each holding 30 records of the next level: 30^16
                        folders for a copy that trusted it

The module can be imported: Image builds images record by record (also used by the fuzz seeds), on
make_cd.py's sector size and volume name; make_cd.raw_sectors gives their raw forms.
"""
import os
import struct
import sys

import make_cd

SECTOR = make_cd.SECTOR_USER

# The files every image starts with, and the bytes they hold.
GAME_FILES = [
    ("3DGAME.EXE", b"MZ" + b"3" * 998),
    ("MCP.EXE", b"MZ" + b"m" * 498),
    ("VILLAGE1.EXE", b"MZ" + b"v" * 298),
    ("GAME.CFG", b"[Game]\r\nLanguage=EN\r\n"),
]
VELTRIS_FILES = [("INTRO.DAT", b"i" * 3000)]


class Image:
    """A plain ISO 9660 image built bottom-up: files and directories are appended as whole sectors,
    so every record knows the extent it points at."""

    def __init__(self):
        self.data = bytearray(18 * SECTOR)  # system area and volume descriptors

    def sectors(self):
        return len(self.data) // SECTOR

    def _append(self, blob):
        at = self.sectors()
        self.data += blob + bytes(-len(blob) % SECTOR)
        return at

    def file(self, blob):
        """(extent, size) of a new file."""
        return (self._append(blob), len(blob))

    @staticmethod
    def record(ident, loc, directory):
        n = 33 + len(ident)
        n += n & 1
        r = bytearray(n)
        r[0] = n
        struct.pack_into("<I", r, 2, loc[0])
        struct.pack_into(">I", r, 6, loc[0])
        struct.pack_into("<I", r, 10, loc[1])
        struct.pack_into(">I", r, 14, loc[1])
        r[25] = 2 if directory else 0
        r[28] = 1
        r[32] = len(ident)
        r[33:33 + len(ident)] = ident
        return bytes(r)

    def directory(self, entries, at=None):
        """(extent, size) of a new directory of (identifier bytes, (extent, size), is_directory)
        entries after its "." and ".." records; written over sector `at` when given."""
        recs = [self.record(b"\0", (at or 0, 0), True), self.record(b"\1", (0, 0), True)]
        recs += [self.record(i, loc, d) for i, loc, d in entries]
        blob = bytearray()
        for r in recs:
            if len(blob) % SECTOR + len(r) > SECTOR:
                blob += bytes(-len(blob) % SECTOR)
            blob += r
        blob += bytes(-len(blob) % SECTOR)
        if at is None:
            return (self._append(bytes(blob)), len(blob))
        self.data[at * SECTOR:at * SECTOR + len(blob)] = blob
        return (at, len(blob))

    def finish(self, root):
        """The image's bytes, with the primary volume descriptor pointing at root."""
        pvd = bytearray(SECTOR)
        pvd[0] = 1
        pvd[1:6] = b"CD001"
        pvd[6] = 1
        pvd[8:40] = pvd[40:72] = make_cd.VOLUME_ID.encode().ljust(32)
        struct.pack_into("<I", pvd, 80, self.sectors())
        struct.pack_into(">I", pvd, 84, self.sectors())
        struct.pack_into("<H", pvd, 128, SECTOR)
        struct.pack_into(">H", pvd, 130, SECTOR)
        pvd[156:190] = self.record(b"\0", root, True)
        self.data[16 * SECTOR:17 * SECTOR] = pvd
        self.data[17 * SECTOR:17 * SECTOR + 7] = b"\xffCD001\x01"
        return bytes(self.data)


def game_entries(img):
    """The records of the game files and the VELTRIS folder, ready for a root directory."""
    entries = [(name.encode() + b";1", img.file(data), False) for name, data in GAME_FILES]
    veltris = img.directory([(name.encode() + b";1", img.file(data), False) for name, data in VELTRIS_FILES])
    entries.append((b"VELTRIS", veltris, True))
    return entries


def with_trouble(extra):
    """An image of the game files followed by the records `extra(img)` returns."""
    img = Image()
    entries = game_entries(img)
    entries += extra(img)
    return img.finish(img.directory(entries))


def escaped_folder(img):
    inner = img.directory([(b"ESCAPED.TXT;1", img.file(b"escaped"), False)])
    return [(b"...", inner, True)]


def loops():
    img = Image()
    entries = game_entries(img)
    root_at = img.file(bytes(SECTOR))[0]  # the root's sector, filled in at the end
    sub_at = img.file(bytes(SECTOR))[0]
    img.directory([(b"BACK", (root_at, SECTOR), True), (b"AGAIN", (sub_at, SECTOR), True),
                   (b"FILE.DAT;1", img.file(b"f" * 5000), False)], at=sub_at)
    entries += [(b"SELF", (root_at, SECTOR), True), (b"SUB", (sub_at, SECTOR), True)]
    return img.finish(img.directory(entries, at=root_at))


def fanout():
    img = Image()
    entries = game_entries(img)
    level = img.directory([(b"LEAF.DAT;1", img.file(b"leaf"), False)])
    for _ in range(16):
        level = img.directory([(b"D%02d" % i, level, True) for i in range(30)])
    entries.append((b"MAZE", level, True))
    return img.finish(img.directory(entries))


def images():
    """{file name: bytes} of every hostile image."""
    return {
        "traversal_file.iso": with_trouble(lambda img: [(b"..\\..\\..\\ESCAPED.TXT;1", img.file(b"escaped"), False)]),
        "traversal_dir.iso": with_trouble(escaped_folder),
        "colon.iso": with_trouble(lambda img: [(b"C:ESCAPED.TXT;1", img.file(b"escaped"), False)]),
        "device.iso": with_trouble(lambda img: [(b"NUL.TXT;1", img.file(b"nul"), False)]),
        "loops.iso": loops(),
        "fanout.iso": fanout(),
    }


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out = argv[0]
    os.makedirs(out, exist_ok=True)
    for name, data in images().items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
