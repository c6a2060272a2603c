"""Readers for what the tests look at in setup.exe's resources: the VERSIONINFO block, icon files (as
wrestool writes an icon group) and the PNG images inside them. Bytes in, plain values out; every
malformed input raises ValueError."""
import struct
import zlib


def version_strings(blob):
    """The StringFileInfo values of a VS_VERSIONINFO resource, as {name: value}, plus the fixed file and
    product versions as "FixedFileVersion" / "FixedProductVersion" ("a.b.c.d")."""

    def node(off):
        # Every node: wLength, wValueLength, wType, a NUL-terminated UTF-16 key, padding to 32 bits, the
        # value (wValueLength words for text, bytes for binary), padding, then child nodes up to wLength.
        if off + 6 > len(blob):
            raise ValueError("version node past the end")
        length, value_len, kind = struct.unpack_from("<HHH", blob, off)
        if length < 6 or off + length > len(blob):
            raise ValueError("version node of bad length %d" % length)
        end = off + length
        k = off + 6
        while k + 1 < end and blob[k:k + 2] != b"\0\0":
            k += 2
        key = blob[off + 6:k].decode("utf-16-le")
        k = (k + 2 + 3) & ~3
        value_bytes = value_len * 2 if kind == 1 else value_len
        value = blob[k:k + value_bytes]
        children = []
        c = (k + value_bytes + 3) & ~3
        while c < end:
            child, c_end = node(c)
            children.append(child)
            c = (c_end + 3) & ~3
        return (key, kind, value, children), end

    (key, _, fixed, children), _ = node(0)
    if key != "VS_VERSION_INFO" or len(fixed) != 52 or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        raise ValueError("not a VS_VERSIONINFO resource")
    ms, ls, pms, pls = struct.unpack_from("<IIII", fixed, 8)
    out = {"FixedFileVersion": "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF),
           "FixedProductVersion": "%d.%d.%d.%d" % (pms >> 16, pms & 0xFFFF, pls >> 16, pls & 0xFFFF)}
    for name, _, _, tables in children:
        if name != "StringFileInfo":
            continue
        for _, _, _, strings in tables:
            for s_key, _, s_value, _ in strings:
                out[s_key] = s_value.decode("utf-16-le").rstrip("\0")
    return out


def ico_images(data):
    """[(width, height, bit count, image bytes)] of an .ico file; width and height 256 where the entry says 0."""
    if len(data) < 6:
        raise ValueError("icon file too short")
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if reserved != 0 or kind != 1 or len(data) < 6 + 16 * count:
        raise ValueError("not an icon file")
    out = []
    for i in range(count):
        w, h, _, _, _, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        if offset + size > len(data):
            raise ValueError("icon image %d past the end" % i)
        out.append((w or 256, h or 256, bits, data[offset:offset + size]))
    return out


def png_rgba(data):
    """(width, height, [(r, g, b, a)] row by row, top first) of an 8-bit RGBA PNG."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, head = 8, b"", None
    while pos + 8 <= len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            head = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    if not head or head[2:5] != (8, 6, 0) or head[6] != 0:
        raise ValueError("not an 8-bit RGBA PNG without interlace")
    w, h = head[0], head[1]
    raw = zlib.decompress(idat)
    stride = 4 * w
    if len(raw) != h * (stride + 1):
        raise ValueError("PNG data of the wrong size")
    rows, prev = [], bytearray(stride)
    for y in range(h):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - 4] if x >= 4 else 0
            b = prev[x]
            c = prev[x - 4] if x >= 4 else 0
            if kind == 1:
                line[x] = (line[x] + a) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + b) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
            elif kind != 0:
                raise ValueError("PNG filter %d" % kind)
        rows += [tuple(line[x:x + 4]) for x in range(0, stride, 4)]
        prev = line
    return w, h, rows
