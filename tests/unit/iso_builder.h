// ISO 9660 images built byte by byte for the unit tests, and the descriptor files of the image formats
// that carry them. Files and directories are appended as whole sectors, directories bottom-up, so every
// record knows its target when it is written. Hostile images are made by building a good one and
// changing its bytes afterwards.
#pragma once
#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "testutil.h"

// Where a file or directory lies: its first sector and its length in bytes.
struct Loc {
    uint32_t extent, size;
};

// One directory record with a raw identifier (no ";1" added); more_flags go beside the directory bit.
inline Bytes record(const std::string &id, Loc at, bool dir, uint8_t more_flags = 0) {
    size_t len = 33 + id.size();
    len += len & 1;
    Bytes r(len, 0);
    r[0] = static_cast<uint8_t>(len);
    put_le(r, 2, at.extent, 4);
    put_be(r, 6, at.extent, 4);
    put_le(r, 10, at.size, 4);
    put_be(r, 14, at.size, 4);
    r[25] = static_cast<uint8_t>((dir ? 2 : 0) | more_flags);
    r[28] = 1;
    r[32] = static_cast<uint8_t>(id.size());
    memcpy(&r[33], id.data(), id.size());
    return r;
}
// A file's record (version ";1" added) and a directory's.
inline Bytes F(const std::string &id, Loc at) { return record(id + ";1", at, false); }
inline Bytes D(const std::string &id, Loc at) { return record(id, at, true); }

// A record padded to `len` bytes (room that discs use for extensions).
inline Bytes padded(Bytes r, size_t len) {
    r.resize(len, 0);
    r[0] = static_cast<uint8_t>(len);
    return r;
}

struct Iso {
    Bytes img = Bytes(18 * 2048, 0);  // system area and volume descriptors
    uint32_t at = 0;                  // the disc address it is mastered at (mastered_at)

    uint32_t sectors() const { return static_cast<uint32_t>(img.size() / 2048); }
    uint8_t *sector(uint32_t n) { return &img[static_cast<size_t>(n) * 2048]; }

    Loc file(const Bytes &data) {
        Loc at{sectors(), static_cast<uint32_t>(data.size())};
        img.resize(img.size() + (data.size() + 2047) / 2048 * 2048, 0);
        if (!data.empty()) memcpy(sector(at.extent), data.data(), data.size());
        return at;
    }

    Loc reserve(uint32_t n) { return file(Bytes(static_cast<size_t>(n) * 2048, 0)); }

    // Lays the records out from a new extent (or over sectors reserved at `at`), never across a
    // sector, after the "." record (pointing at the directory itself) and the ".." record (both written
    // as files of 1,000 bytes: a listing that kept them would show in every total).
    Loc dir(const std::vector<Bytes> &recs, int64_t at = -1) {
        std::vector<Bytes> all;
        all.push_back(record(std::string(1, '\0'), {0, 1000}, false));
        all.push_back(record(std::string(1, '\1'), {0, 1000}, false));
        all.insert(all.end(), recs.begin(), recs.end());
        std::vector<std::pair<uint32_t, const Bytes *>> placed;
        uint32_t off = 0;
        for (const Bytes &r : all) {
            if (off % 2048 + r.size() > 2048) off = (off / 2048 + 1) * 2048;
            placed.push_back({off, &r});
            off += static_cast<uint32_t>(r.size());
        }
        uint32_t size = (off + 2047) / 2048 * 2048;
        Loc where{at < 0 ? sectors() : static_cast<uint32_t>(at), size};
        put_le(all[0], 2, where.extent, 4);
        if (at < 0) img.resize(img.size() + size, 0);
        for (auto &pr : placed) memcpy(sector(where.extent) + pr.first, pr.second->data(), pr.second->size());
        return where;
    }

    // The primary volume descriptor with this root directory, and the set terminator after it.
    void root(Loc root) {
        uint8_t *p = sector(at + 16);
        p[0] = 1;
        memcpy(p + 1, "CD001", 5);
        p[6] = 1;
        put_le(img, (at + 16) * 2048 + 156 + 2, root.extent, 4);
        put_le(img, (at + 16) * 2048 + 156 + 10, root.size, 4);
        uint8_t *t = sector(at + 17);
        t[0] = 255;
        memcpy(t + 1, "CD001", 5);
    }
};

// An image mastered at disc address k, as a data track behind k sectors of audio is: its sectors count
// from the disc's start. track() is what the track holds.
inline Iso mastered_at(uint32_t k) {
    Iso iso;
    iso.at = k;
    iso.img.assign((k + 18) * 2048u, 0);
    return iso;
}
inline Bytes track(const Iso &iso) { return Bytes(iso.img.begin() + iso.at * 2048u, iso.img.end()); }

// The image as raw 2352-byte sectors: Mode 1 (data at 16) or Mode 2 Form 1 (data at 24).
inline Bytes raw(const Bytes &iso, int mode) {
    size_t n = iso.size() / 2048;
    uint32_t off = mode == 1 ? 16 : 24;
    Bytes out(n * 2352, 0);
    for (size_t i = 0; i < n; ++i) {
        uint8_t *s = &out[i * 2352];
        memset(s + 1, 0xFF, 10);
        s[15] = static_cast<uint8_t>(mode);
        if (mode == 2) s[18] = s[22] = 8;
        memcpy(s + off, &iso[i * 2048], 2048);
    }
    return out;
}

// The image as sectors of `size` bytes with the user data at `offset` (the rest zero).
inline Bytes layout(const Bytes &iso, uint32_t size, uint32_t offset) {
    size_t n = iso.size() / 2048;
    Bytes out(n * size, 0);
    for (size_t i = 0; i < n; ++i) memcpy(&out[i * size + offset], &iso[i * 2048], 2048);
    return out;
}

// An image of files in its root directory only, each named with ";1" added: the usual start (mastered
// at disc address 0 unless told).
inline Iso iso_of(const std::vector<std::pair<std::string, Bytes>> &files, uint32_t mastered = 0) {
    Iso iso = mastered_at(mastered);
    std::vector<Bytes> recs;
    for (auto &f : files) recs.push_back(F(f.first, iso.file(f.second)));
    iso.root(iso.dir(recs));
    return iso;
}

// ---- Descriptors beside an image ----

// An Alcohol descriptor with one session: the lead-in points A0-A2, then the given tracks.
struct MdsTrack {
    uint8_t mode;
    uint16_t sector_size;
    uint64_t offset;
    uint32_t lba = 0;  // the track's start sector on the disc
};
inline Bytes mds(const std::vector<MdsTrack> &tracks, const std::string &name = "*.mdf", bool wide = false) {
    Bytes b(0x58, 0);
    memcpy(b.data(), "MEDIA DESCRIPTOR", 16);
    put_le(b, 0x14, 1, 2);
    put_le(b, 0x50, 0x58, 4);
    size_t blocks = 0x58 + 24, count = 3 + tracks.size();
    put_le(b, 0x58 + 0x0A, count, 1);
    put_le(b, 0x58 + 0x14, blocks, 4);
    size_t footer = blocks + count * 80, name_at = footer + 16;
    for (size_t i = 0; i < count; ++i) {
        size_t at = blocks + i * 80;
        put_le(b, at + 79, 0, 1);
        if (i < 3) {
            b[at + 4] = static_cast<uint8_t>(0xA0 + i);
            continue;
        }
        const MdsTrack &t = tracks[i - 3];
        b[at] = t.mode;
        b[at + 4] = static_cast<uint8_t>(i - 2);
        put_le(b, at + 0x10, t.sector_size, 2);
        put_le(b, at + 0x24, t.lba, 4);
        put_le(b, at + 0x28, t.offset, 8);
        put_le(b, at + 0x30, 1, 4);
        put_le(b, at + 0x34, footer, 4);
    }
    put_le(b, footer, name_at, 4);
    put_le(b, footer + 4, wide ? 1 : 0, 4);
    b.resize(name_at, 0);
    for (size_t i = 0; i <= name.size(); ++i) {
        uint8_t c = i < name.size() ? static_cast<uint8_t>(name[i]) : 0;
        b.push_back(c);
        if (wide) b.push_back(0);
    }
    return b;
}

// A Nero chunk.
inline Bytes nrg_chunk(const char *id, const Bytes &body) {
    Bytes b(id, id + 4);
    put_be(b, 4, body.size(), 4);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

// DAOI (narrow) or DAOX (wide) with one entry per (sector size, mode, index 1[, index 0, end]).
inline Bytes dao(bool wide, const std::vector<std::array<uint64_t, 5>> &tracks) {
    int w = wide ? 8 : 4;
    size_t entry = wide ? 42 : 30;
    Bytes b(22, 0);
    for (auto &t : tracks) {
        size_t at = b.size();
        b.resize(at + entry, 0);
        put_be(b, at + 12, t[0], 2);
        b[at + 14] = static_cast<uint8_t>(t[1]);
        put_be(b, at + 18, t[3], w);
        put_be(b, at + 18 + w, t[2], w);
        put_be(b, at + 18 + 2 * w, t[4], w);
    }
    put_be(b, 0, b.size(), 4);
    return b;
}
