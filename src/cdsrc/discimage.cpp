// Disc descriptors: CUE sheets, CloneCD (.ccd), Alcohol (.mds) and Nero (.nrg), beside cdrdao's TOC
// sheets (tocsheet.cpp), with what they share in sheetfile.cpp. Each one is turned into "which file,
// which first byte, which sector size and user-data offset, which disc address" for the data track; the sectors themselves are read by
// the ISO 9660 reader in iso9660.cpp. Every parser works on bytes and reads them through a bounded
// cursor, so the same code serves the file, the tests and the fuzzers; only the length of an audio file
// that a sheet names before the data track's is asked of the file system.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"

#include "util/bytes.h"
#include "cdsrc_internal.h"

namespace {

constexpr uint64_t MAX_SHEET = 4u << 20;     // a descriptor is a few KiB; a bigger one is no descriptor
constexpr uint64_t MAX_NRG_CHUNKS = 1u << 20;  // Nero writes well under 4 KiB of chunks

// ---------------------------------------------------------------------------------------------------
// CUE sheets

// Sector size and user-data offset of a CUE track mode; 0 for audio and modes without 2048-byte data.
uint32_t cue_mode(const char *w, size_t n, uint32_t *offset) {
    static const struct {
        const char *name;
        uint32_t size, offset;
    } modes[] = {{"MODE1/2352", 2352, 16}, {"MODE2/2352", 2352, 24}, {"MODE1/2048", 2048, 0},
                 {"MODE2/2336", 2336, 8}};
    for (const auto &m : modes)
        if (ascii_equal_n(w, n, m.name)) {
            *offset = m.offset;
            return m.size;
        }
    return 0;
}

// The name of a FILE line (after the keyword): in double quotes, or unquoted up to the file type word.
int cue_file_name(const char *p, const char *end, const char **name, size_t *n) {
    while (p < end && is_blank(*p)) ++p;
    if (p < end && *p == '"') {
        const char *close = static_cast<const char *>(memchr(p + 1, '"', static_cast<size_t>(end - p - 1)));
        if (!close) return 0;
        *name = p + 1;
        *n = static_cast<size_t>(close - p - 1);
        return 1;
    }
    while (end > p && is_blank(end[-1])) --end;
    const char *type = end;
    while (type > p && !is_blank(type[-1])) --type;
    static const char *const types[] = {"BINARY", "MOTOROLA", "WAVE", "MP3", "AIFF"};
    for (const char *ty : types)
        if (type > p && ascii_equal_n(type, static_cast<size_t>(end - type), ty)) {
            end = type;
            while (end > p && is_blank(end[-1])) --end;
            break;
        }
    *name = p;
    *n = static_cast<size_t>(end - p);
    return *n > 0;
}

}  // namespace

// A sheet saved as UTF-16 (with its byte order mark, as Windows' Notepad writes "Unicode") turned into
// UTF-8; a lone surrogate becomes '?', which no file name may hold. None when it is no UTF-16 text or
// there is no memory; *n receives the length. Caller frees.
static uint8_t *utf16_to_utf8(const uint8_t *data, size_t size, size_t *n) {
    if (size < 2 || !((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF))) return nullptr;
    int big = data[0] == 0xFE;
    uint8_t *out = static_cast<uint8_t *>(malloc(size / 2 * 3 + 1));
    if (!out) return nullptr;
    size_t o = 0;
    for (size_t i = 2; i + 1 < size; i += 2) {
        uint32_t c = big ? (data[i] << 8 | data[i + 1]) : (data[i + 1] << 8 | data[i]);
        if (c >= 0xD800 && c <= 0xDFFF) {
            uint32_t low = 0;
            if (i + 3 < size) low = big ? (data[i + 2] << 8 | data[i + 3]) : (data[i + 3] << 8 | data[i + 2]);
            if (c <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            } else {
                c = '?';
            }
        }
        o += static_cast<size_t>(utf8_put(c, reinterpret_cast<char *>(out + o)));
    }
    *n = o;
    return out;
}

static int cue_parse_text(const FileSpace *fs, const char *sheet_path, const uint8_t *data, size_t size, DiscTrack *t,
                          const char **why);

int cue_parse(const char *sheet_path, const uint8_t *data, size_t size, DiscTrack *t, const char **why) {
    return cue_parse_in(nullptr, sheet_path, data, size, t, why);
}

int cue_parse_in(const FileSpace *fs, const char *sheet_path, const uint8_t *data, size_t size, DiscTrack *t,
                 const char **why) {
    size_t n = 0;
    uint8_t *utf8 = utf16_to_utf8(data, size, &n);
    // Text that is no UTF-8 was written in the ANSI code page of the system that made it, which the
    // user's is taken to be: a BIN's name with letters beyond ASCII is then found as Windows shows it.
    const char *text = reinterpret_cast<const char *>(data);
    if (!utf8 && !utf8_valid(text, size))
        utf8 = reinterpret_cast<uint8_t *>(pf_ansi_to_utf8(text, size, &n));
    if (!utf8) return cue_parse_text(fs, sheet_path, data, size, t, why);
    int ok = cue_parse_text(fs, sheet_path, utf8, n, t, why);
    free(utf8);
    return ok;
}

static int cue_parse_text(const FileSpace *fs, const char *sheet_path, const uint8_t *data, size_t size, DiscTrack *t,
                          const char **why) {
    const char *text = reinterpret_cast<const char *>(data), *end = text + size;
    if (size >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3;
    const char *file = nullptr, *first_file = nullptr, *prev = nullptr;
    size_t file_len = 0, first_len = 0, prev_len = 0;
    int tracks = 0;
    // Where the sheet is in the current FILE: bytes before the last INDEX, that INDEX's time and the
    // sector size of the track it belongs to; the INDEX times of each FILE start again at 00:00:00.
    uint64_t bytes = 0;
    long last_time = 0;
    uint32_t last_size = 0, track_size = 0, track_offset = 0;
    int data_track = 0;  // the current TRACK is the first data track, waiting for its INDEX 01
    // Sectors on the disc before the current FILE, with the gaps that no file holds (PREGAP, POSTGAP);
    // unknown once an earlier FILE's size cannot be found.
    uint64_t disc = 0;
    int disc_known = 1;
    for (const char *line = text; line < end;) {
        const char *eol = line;
        while (eol < end && *eol != '\r' && *eol != '\n') ++eol;
        const char *p = line, *kw, *w;
        size_t kn = next_word(&p, eol, &kw);
        if (ascii_equal_n(kw, kn, "FILE")) {
            if (data_track) break;  // its FILE ended before its INDEX 01
            if (!cue_file_name(p, eol, &file, &file_len)) {
                *why = DAMAGED;
                return 0;
            }
            if (first_file && disc_known)
                disc_known = add_file_sectors(fs, sheet_path, prev, prev_len, bytes, last_time,
                                              last_size ? last_size : track_size ? track_size : 2352, &disc);
            if (!first_file) first_file = file, first_len = file_len;
            prev = file, prev_len = file_len;
            bytes = 0, last_time = 0, last_size = 0, track_size = 0;
        } else if (ascii_equal_n(kw, kn, "TRACK") && file) {
            if (data_track) break;  // the data track ended before its INDEX 01
            ++tracks;
            next_word(&p, eol, &w);  // the track number
            size_t mn = next_word(&p, eol, &w);
            uint32_t offset = 0, size_of = cue_mode(w, mn, &offset);
            track_size = size_of ? size_of : 2352;  // audio and other raw modes take whole raw sectors
            if (size_of && !data_track) {
                data_track = 1;
                track_offset = offset;
            }
        } else if (ascii_equal_n(kw, kn, "INDEX") && file && tracks) {
            const char *num;
            size_t nn = next_word(&p, eol, &num);
            size_t tn = next_word(&p, eol, &w);
            long time = cue_time(w, tn);
            if (time < 0 || time < last_time) {
                *why = DAMAGED;
                return 0;
            }
            bytes += static_cast<uint64_t>(time - last_time) * last_size;
            last_time = time;
            last_size = track_size;
            if (data_track && nn == 2 && num[0] == '0' && num[1] == '1') {
                set_layout(t, bytes, track_size, track_offset);
                set_disc_lba(t, disc_known, disc + static_cast<uint64_t>(time));
                return name_data_file(sheet_path, file, file_len, t, why);
            }
        } else if ((ascii_equal_n(kw, kn, "PREGAP") || ascii_equal_n(kw, kn, "POSTGAP")) && tracks) {
            size_t tn = next_word(&p, eol, &w);
            long gap = cue_time(w, tn);
            if (gap < 0) {
                *why = DAMAGED;
                return 0;
            }
            disc += static_cast<uint64_t>(gap);
        }
        line = eol;
        while (line < end && (*line == '\r' || *line == '\n')) ++line;
    }
    if (data_track && file) {
        // A data track without INDEX 01 (some hand-written sheets): it starts where the sheet stands.
        set_layout(t, bytes, track_size, track_offset);
        set_disc_lba(t, disc_known, disc + static_cast<uint64_t>(last_time));
        return name_data_file(sheet_path, file, file_len, t, why);
    }
    if (first_file && tracks == 0) {
        // A sheet that names its file but no track: the data starts at its first byte, layout unknown.
        set_layout(t, 0, 0, 0);
        return name_data_file(sheet_path, first_file, first_len, t, why);
    }
    *why = NO_DATA_TRACK;
    return 0;
}

// ---------------------------------------------------------------------------------------------------
// CloneCD: an INI-style text; [TRACK n] sections carry MODE= and INDEX 1= (the first sector in .img).

int ccd_parse(const char *ccd_path, const uint8_t *data, size_t size, DiscTrack *t, const char **why) {
    const char *text = reinterpret_cast<const char *>(data), *end = text + size;
    int seen_clonecd = 0, in_track = 0;
    long mode = -1, index1 = -1;
    for (const char *line = text;;) {
        const char *eol = line;
        while (eol < end && *eol != '\r' && *eol != '\n') ++eol;
        const char *p = line, *stop = eol;
        while (p < stop && is_blank(*p)) ++p;
        while (stop > p && is_blank(stop[-1])) --stop;
        size_t n = static_cast<size_t>(stop - p);
        if (line >= end || (n > 0 && *p == '[')) {
            // A section ends: the first track section with a data mode and its first sector wins.
            if (in_track && (mode == 1 || mode == 2) && index1 >= 0) {
                if (!seen_clonecd) break;
                set_layout(t, static_cast<uint64_t>(index1) * 2352, 2352, mode == 1 ? 16 : 24);
                t->disc_lba = static_cast<uint32_t>(index1);  // the .img holds the disc from its start
                return sibling(ccd_path, ".img", t, why);
            }
            in_track = 0, mode = -1, index1 = -1;
            if (line >= end) break;
            if (ascii_equal_n(p, n, "[CLONECD]")) seen_clonecd = 1;
            else if (n > 7 && ascii_equal_n(p, 6, "[TRACK") && p[n - 1] == ']') in_track = 1;
        } else if (in_track) {
            const char *eq = static_cast<const char *>(memchr(p, '=', n));
            if (eq) {
                size_t key_len = static_cast<size_t>(eq - p);
                while (key_len > 0 && is_blank(p[key_len - 1])) --key_len;
                const char *v = eq + 1;
                while (v < stop && is_blank(*v)) ++v;
                long value = 0;
                int digits = 0;
                for (; v < stop && *v >= '0' && *v <= '9' && digits < 9; ++v, ++digits) value = value * 10 + (*v - '0');
                if (!digits || v != stop) value = -1;
                if (ascii_equal_n(p, key_len, "MODE")) mode = value;
                if (ascii_equal_n(p, key_len, "INDEX 1")) index1 = value;
            }
        }
        line = eol;
        while (line < end && (*line == '\r' || *line == '\n')) ++line;
    }
    *why = seen_clonecd ? NO_DATA_TRACK : DAMAGED;
    return 0;
}

// ---------------------------------------------------------------------------------------------------
// Alcohol 120% (.mds), little-endian throughout:
//   header, 92 bytes: "MEDIA DESCRIPTOR" at 0x00, sessions (u16) at 0x14, session blocks (u32) at 0x50;
//   session block, 24 bytes: all blocks (u8) at 0x0A, track blocks (u32) at 0x14;
//   track block, 80 bytes: mode (u8) at 0x00, point (u8) at 0x04, sector size (u16) at 0x10,
//     first byte in the data file (u64) at 0x28, file count (u32) at 0x30, footer (u32) at 0x34;
//   footer, 16 bytes: name offset (u32) at 0x00, wide-character flag (u32) at 0x04.
// Points 0xA0 and above are lead-in entries, not tracks.

namespace {

uint64_t le_at(const uint8_t *b, int at, int bytes) {
    Cursor c = cursor(b + at, static_cast<size_t>(bytes), 0);
    return get_le(&c, bytes);
}

// User-data offset for a sector size and the data mode of a track (1 or 2); 0 when they do not fit.
int data_layout(uint32_t size, int mode, uint32_t *offset) {
    switch (size) {
    case 2048: *offset = 0; return 1;
    case 2336: *offset = 8; return mode == 2;
    case 2352:
    case 2448: *offset = mode == 1 ? 16 : 24; return 1;
    default: return 0;
    }
}

// The data file named by an Alcohol footer: "*.mdf" stands for the descriptor's own name with that
// extension; names may be stored as 8-bit or UTF-16 text (only ASCII is taken from the latter).
int mds_file(const char *mds_path, const uint8_t *data, size_t size, uint64_t footer, DiscTrack *t,
             const char **why) {
    Cursor c = cursor(data, size, footer);
    uint64_t at = get_le(&c, 4), wide = get_le(&c, 4);
    if (c.failed) {
        *why = DAMAGED;
        return 0;
    }
    char name[PATH_BUF];
    size_t n = 0;
    Cursor s = cursor(data, size, at);
    for (;;) {
        uint64_t ch = get_le(&s, wide ? 2 : 1);
        if (s.failed || n + 1 >= sizeof name || ch >= (wide ? 0x80u : 0x100u)) {
            *why = s.failed ? DAMAGED : BAD_NAME;
            return 0;
        }
        if (ch == 0) break;
        name[n++] = static_cast<char>(ch);
    }
    name[n] = '\0';
    if (n >= 2 && name[0] == '*' && name[1] == '.') return sibling(mds_path, name + 1, t, why);
    return name_data_file(mds_path, name, n, t, why);
}

}  // namespace

int mds_parse(const char *mds_path, const uint8_t *data, size_t size, DiscTrack *t, const char **why) {
    Cursor c = cursor(data, size, 0);
    const uint8_t *sig;
    if (!cur_take(&c, 16, &sig) || memcmp(sig, "MEDIA DESCRIPTOR", 16) != 0) {
        *why = DAMAGED;
        return 0;
    }
    c = cursor(data, size, 0x14);
    uint64_t sessions = get_le(&c, 2);
    c = cursor(data, size, 0x50);
    uint64_t session = get_le(&c, 4);
    // The game's data track lies in the first session.
    Cursor sc = cursor(data, size, session);
    const uint8_t *sb;
    if (c.failed || sessions == 0 || !cur_take(&sc, 24, &sb)) {
        *why = DAMAGED;
        return 0;
    }
    uint32_t blocks = sb[0x0A];
    uint64_t tracks = le_at(sb, 0x14, 4);
    for (uint32_t i = 0; i < blocks; ++i) {
        Cursor bc = cursor(data, size, tracks + static_cast<uint64_t>(i) * 80);
        const uint8_t *b;
        if (!cur_take(&bc, 80, &b)) {
            *why = DAMAGED;
            return 0;
        }
        if (b[0x04] >= 0xA0) continue;
        int kind = b[0x00] & 0x07;  // the high bits carry no meaning for the mode
        int mode = kind == 2 ? 1 : (kind == 3 || kind == 4 || kind == 7) ? 2 : 0;
        uint32_t sector = static_cast<uint32_t>(le_at(b, 0x10, 2)), offset = 0;
        if (!mode || !data_layout(sector, mode, &offset)) continue;
        set_layout(t, le_at(b, 0x28, 8), sector, offset);
        t->disc_lba = static_cast<uint32_t>(le_at(b, 0x24, 4));
        uint64_t footer = le_at(b, 0x34, 4);
        if (le_at(b, 0x30, 4) == 0 || footer == 0) return sibling(mds_path, ".mdf", t, why);
        return mds_file(mds_path, data, size, footer, t, why);
    }
    *why = NO_DATA_TRACK;
    return 0;
}

// ---------------------------------------------------------------------------------------------------
// Nero (.nrg): the sectors come first, then a chain of chunks (4-byte id, big-endian 32-bit length,
// payload), found from a footer in the last bytes: "NERO" + 32-bit offset (old), or "NER5" + 64-bit
// offset (Nero 5.5 and later). All numbers are big-endian.
//   DAOI / DAOX: 22-byte header, then one entry per track of 30 / 42 bytes: sector size (u16) at 12,
//     mode (u8) at 14, then index 0, index 1 and end as byte offsets (u32 / u64) from 18.
//   ETNF / ETN2 (track at once): entries of 20 / 32 bytes: byte offset, length (u32 / u64), mode (u32).
// Modes: 0 and 2 hold 2048-byte data, 3 Mode 2 in 2336, 5 and 6 raw 2352 (Mode 1, 2),
// 0x0F and 0x11 raw with subchannel 2448 (Mode 1, 2); 7 and 0x10 are audio.

namespace {

int nero_mode(uint64_t mode, uint32_t *size, uint32_t *offset) {
    static const struct {
        uint32_t mode, size, offset;
    } modes[] = {{0x00, 2048, 0},  {0x02, 2048, 0},  {0x03, 2336, 8}, {0x05, 2352, 16},
                 {0x06, 2352, 24}, {0x0F, 2448, 16}, {0x11, 2448, 24}};
    for (const auto &m : modes)
        if (mode == m.mode) {
            *size = m.size;
            *offset = m.offset;
            return 1;
        }
    return 0;
}

}  // namespace

int nrg_footer(const uint8_t *tail, size_t n, uint64_t file_size, uint64_t *at, uint64_t *len) {
    *at = *len = 0;
    if (n < 12 || file_size < 12) return 0;
    Cursor c = cursor(tail, n, n - 12);
    uint64_t footer = 0, start = 0;
    if (memcmp(tail + n - 8, "NERO", 4) == 0) {
        cur_skip(&c, 8);
        start = get_be(&c, 4);
        footer = 8;
    } else if (memcmp(tail + n - 12, "NER5", 4) == 0) {
        cur_skip(&c, 4);
        start = get_be(&c, 8);
        footer = 12;
    } else {
        return 0;
    }
    if (start < file_size - footer && file_size - footer - start <= MAX_NRG_CHUNKS) {
        *at = start;
        *len = file_size - footer - start;
    }
    return 1;
}

int nrg_parse(const char *path, const uint8_t *chunks, size_t size, DiscTrack *t, const char **why) {
    Cursor c = cursor(chunks, size, 0);
    int any = 0;
    while (!c.failed && c.end - c.p >= 8) {
        const uint8_t *id, *body;
        cur_take(&c, 4, &id);
        uint64_t len = get_be(&c, 4);
        if (len > static_cast<uint64_t>(c.end - c.p) || !cur_take(&c, static_cast<size_t>(len), &body)) break;
        any = 1;
        if (memcmp(id, "END!", 4) == 0) break;
        int dao_x = memcmp(id, "DAOX", 4) == 0, etn_2 = memcmp(id, "ETN2", 4) == 0;
        int width = (dao_x || etn_2) ? 8 : 4;
        if (dao_x || memcmp(id, "DAOI", 4) == 0) {
            size_t entry = dao_x ? 42 : 30;
            // The disc address of each track's index 1: the sectors of the tracks before it from their
            // index 1 to their end, and the pregaps of every track after the first.
            uint64_t disc = 0;
            int disc_known = 1;
            for (size_t at = 22; at + entry <= len; at += entry) {
                Cursor e = cursor(body, static_cast<size_t>(len), at + 12);
                uint32_t declared = static_cast<uint32_t>(get_be(&e, 2)), sector = 0, offset = 0;
                uint64_t mode = get_be(&e, 1);
                cur_skip(&e, 3);
                uint64_t index0 = get_be(&e, width), index1 = get_be(&e, width), track_end = get_be(&e, width);
                if (e.failed) break;
                if (declared == 0 || index0 > index1 || index1 > track_end) disc_known = 0;
                if (disc_known && at > 22) disc += (index1 - index0) / declared;
                if (nero_mode(mode, &sector, &offset) && sector == declared) {
                    set_layout(t, index1, sector, offset);
                    set_disc_lba(t, disc_known, disc);
                    fmt(t->file, sizeof t->file, "%s", path);
                    return 1;
                }
                if (disc_known) disc += (track_end - index1) / declared;
            }
        } else if (etn_2 || memcmp(id, "ETNF", 4) == 0) {
            size_t entry = etn_2 ? 32 : 20;
            for (size_t at = 0; at + entry <= len; at += entry) {
                Cursor e = cursor(body, static_cast<size_t>(len), at);
                uint64_t offset_in_file = get_be(&e, width);
                cur_skip(&e, width);  // length
                uint64_t mode = get_be(&e, 4), lba = get_be(&e, 4);
                uint32_t sector = 0, offset = 0;
                if (!e.failed && nero_mode(mode, &sector, &offset)) {
                    set_layout(t, offset_in_file, sector, offset);
                    t->disc_lba = static_cast<uint32_t>(lba);
                    fmt(t->file, sizeof t->file, "%s", path);
                    return 1;
                }
            }
        }
    }
    *why = any ? NO_DATA_TRACK : DAMAGED;
    return 0;
}

// ---------------------------------------------------------------------------------------------------
// Reading a descriptor from its file

namespace {

enum Kind { PLAIN, CUE, CCD, MDS, NRG, TOC };

Kind kind_of(const char *path) {
    const char *dot = strrchr(path, '.');
    const char *sep = last_separator(path);
    if (!dot || dot < sep) return PLAIN;
    size_t n = strlen(dot);
    if (ascii_equal_n(dot, n, ".CUE")) return CUE;
    if (ascii_equal_n(dot, n, ".CCD")) return CCD;
    if (ascii_equal_n(dot, n, ".MDS")) return MDS;
    if (ascii_equal_n(dot, n, ".NRG")) return NRG;
    if (ascii_equal_n(dot, n, ".TOC")) return TOC;
    return PLAIN;
}

// n bytes at `at` of the descriptor into a new heap buffer (one spare byte); none when they cannot be read.
uint8_t *read_span(ByteSource *b, uint64_t at, uint64_t n) {
    uint8_t *data = static_cast<uint8_t *>(malloc(static_cast<size_t>(n) + 1));
    uint64_t done = 0;
    while (data && done < n) {
        uint32_t got = 0;
        if (!b->ops->read_at(b, at + done, data + done, static_cast<uint32_t>(n - done), &got) || got == 0) {
            free(data);
            return nullptr;
        }
        done += got;
    }
    return data;
}

}  // namespace

int disc_locate(const char *path, DiscTrack *t, const char **why) {
    set_layout(t, 0, 0, 0);
    fmt(t->file, sizeof t->file, "%s", path);
    if (kind_of(path) == PLAIN) return 1;
    pf_file f = pf_open_read(path, 0);
    uint64_t size = 0;
    ByteSource *b = f != PF_INVALID && pf_size(f, &size) ? bytes_span(f, 0, size, 1) : nullptr;
    // A descriptor that cannot be opened is worded by the caller, like any other file.
    if (!b) {
        pf_close(f);
        return 1;
    }
    int ok = disc_locate_in(path, b, nullptr, t, why);
    bytes_close(b);
    return ok;
}

int disc_locate_in(const char *path, ByteSource *b, const FileSpace *fs, DiscTrack *t, const char **why) {
    set_layout(t, 0, 0, 0);
    fmt(t->file, sizeof t->file, "%s", path);
    Kind kind = kind_of(path);
    if (kind == PLAIN) return 1;
    uint64_t size = b->size;
    int ok = 0;
    uint8_t *data = nullptr;
    uint64_t at = 0, len = size;
    if (size == 0) {
        *why = N_("the file is empty");
    } else if (kind == NRG) {
        uint8_t tail[12];
        uint32_t got = 0;
        if (size < sizeof tail || !b->ops->read_at(b, size - sizeof tail, tail, sizeof tail, &got) ||
            got != sizeof tail || !nrg_footer(tail, sizeof tail, size, &at, &len)) {
            ok = !b->why;  // no Nero footer: a plain image that merely carries the name
            if (b->why) *why = b->why;
        } else if ((data = read_span(b, at, len)) != nullptr) {
            ok = nrg_parse(path, data, static_cast<size_t>(len), t, why);
        } else {
            *why = b->why ? b->why : DAMAGED;
        }
    } else if (size > MAX_SHEET || (data = read_span(b, 0, size)) == nullptr) {
        *why = b->why ? b->why : DAMAGED;
    } else if (kind == CUE) {
        ok = cue_parse_in(fs, path, data, static_cast<size_t>(size), t, why);
    } else if (kind == TOC) {
        ok = toc_parse_in(fs, path, data, static_cast<size_t>(size), t, why);
    } else if (kind == CCD) {
        ok = ccd_parse(path, data, static_cast<size_t>(size), t, why);
    } else {
        ok = mds_parse(path, data, static_cast<size_t>(size), t, why);
    }
    free(data);
    return ok;
}
