// CHD images (module cdsrc): the compressed disc images emulators keep, read through libchdr, the
// reference reader. The CHD's track list (its CHT2 or CHTR metadata) says where the first data track
// lies among the CHD's frames and how its sectors are laid out; the source then reads those frames as an
// image file of 2448-byte sectors (the sector as its track stores it, then 96 subchannel bytes), decoded
// hunk by hunk as they are asked for. Hunks are independent: each copy worker decodes on a decoder of its
// own, and the decoders' last hunks serve as a small cache for the directory reads.
//
// CHDs are untrusted input: the header is checked before libchdr allocates anything for it, every track
// must lie inside the CHD's data, and every hunk's checksum is checked as it is decoded (here, faster than
// libchdr does). A CHD that does
// not hold together is refused with what is wrong; a hunk that fails fails the read that needed it.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <libchdr/chd.h>

#include "cdsrc/cdsrc.h"
#include "cdsrc_internal.h"
#include "util/bytes.h"

namespace {

constexpr uint32_t FRAME = 2448;         // a CD frame in a CHD: 2352 bytes of sector, 96 of subchannel
constexpr uint32_t TRACK_PADDING = 4;    // chdman starts every track on a multiple of 4 frames
constexpr uint32_t MAX_HUNK = 1u << 20;  // chdman's CD hunks are 8 frames (19,584 bytes)
// A CD holds at most 99 minutes (445,500 frames); a CHD that claims more than this is no CD's.
constexpr uint64_t MAX_DATA = 460000ull * FRAME;
constexpr uint32_t NO_HUNK = UINT32_MAX;
constexpr int DECODERS = 4;              // as many as a copy has workers

// The version 5 header (MAME's chd.h): big-endian fields at these offsets.
constexpr size_t V5_HEADER = 124;
constexpr size_t V5_CODECS = 16, V5_LOGICAL = 32, V5_MAP = 40, V5_META = 48, V5_HUNK = 56, V5_UNIT = 60;

// Track types as the metadata names them, with where the 2048 user bytes lie in each frame: a track's
// sectors are stored as the track holds them (2048 bytes of a Mode 1 or Form 1 sector alone, 2336 of a
// Mode 2 sector from its subheader, or the whole raw sector), at the start of the frame.
const struct {
    const char *name;
    uint32_t data_offset;
} data_types[] = {{"MODE1", 0}, {"MODE2_FORM1", 0}, {"MODE1_RAW", 16}, {"MODE2_RAW", 24}, {"MODE2", 8},
                  {"MODE2_FORM_MIX", 8}};

// The value of KEY: in one metadata text (words separated by blanks), as its n bytes; 0 when missing.
size_t field(const char *text, size_t len, const char *key, const char **value) {
    size_t k = strlen(key);
    for (size_t i = 0; i + k <= len; ++i) {
        if ((i > 0 && text[i - 1] != ' ') || memcmp(text + i, key, k) != 0) continue;
        size_t end = i + k;
        while (end < len && text[end] != ' ' && text[end] != '\0') ++end;
        *value = text + i + k;
        return end - i - k;
    }
    return 0;
}

// A decimal field; 0 when it is missing, malformed or above `most`.
int number(const char *text, size_t len, const char *key, uint32_t most, uint32_t *out) {
    const char *v = nullptr;
    size_t n = field(text, len, key, &v);
    if (n == 0 || n > 9) return 0;
    uint32_t x = 0;
    for (size_t i = 0; i < n; ++i) {
        if (v[i] < '0' || v[i] > '9') return 0;
        x = x * 10 + static_cast<uint32_t>(v[i] - '0');
    }
    *out = x;
    return x <= most;
}

int field_is(const char *text, size_t len, const char *key, const char *word) {
    const char *v = nullptr;
    size_t n = field(text, len, key, &v);
    return n == strlen(word) && memcmp(v, word, n) == 0;
}

}  // namespace

int chd_track_parse(const uint8_t *bytes, size_t len, ChdTrack *t) {
    const char *text = reinterpret_cast<const char *>(bytes);
    uint32_t track = 0;
    const char *pgtype = nullptr;
    *t = ChdTrack{};
    t->data_offset = -1;
    if (!number(text, len, "TRACK:", 99, &track) || track == 0 ||
        !number(text, len, "FRAMES:", MAX_DATA / FRAME, &t->frames))
        return 0;
    // CHTR, the older list, has no pregap and no postgap: its tracks have none.
    const char *v = nullptr;
    if (field(text, len, "PREGAP:", &v) && !number(text, len, "PREGAP:", MAX_DATA / FRAME, &t->pregap)) return 0;
    if (field(text, len, "POSTGAP:", &v) && !number(text, len, "POSTGAP:", MAX_DATA / FRAME, &t->postgap)) return 0;
    // A pregap whose type begins with 'V' is stored in the track, before the track's first sector.
    t->pregap_stored = t->pregap && field(text, len, "PGTYPE:", &pgtype) > 0 && pgtype[0] == 'V';
    for (const auto &d : data_types)
        if (field_is(text, len, "TYPE:", d.name)) t->data_offset = static_cast<int>(d.data_offset);
    return 1;
}

int chd_first_data(const ChdTrack *tracks, int count, uint64_t data_bytes, DiscTrack *t, const char **why) {
    uint64_t frame = 0, disc = 0;  // where each track begins among the CHD's frames and on the disc
    for (int i = 0; i < count; ++i) {
        const ChdTrack &k = tracks[i];
        uint64_t first = frame, address = disc;
        if (k.pregap_stored) {
            first += k.pregap;
            address += k.pregap;
        } else {
            address += k.pregap;
            disc += k.pregap;
        }
        if ((frame + k.frames) * FRAME > data_bytes) {
            *why = N_("the CHD's track list is damaged");
            return 0;
        }
        if (k.data_offset >= 0 && first < frame + k.frames) {
            t->base = first * FRAME;
            t->sector_size = FRAME;
            t->data_offset = static_cast<uint32_t>(k.data_offset);
            t->disc_lba = address <= UINT32_MAX ? static_cast<uint32_t>(address) : 0;
            return 1;
        }
        frame += (k.frames + TRACK_PADDING - 1) / TRACK_PADDING * TRACK_PADDING;
        disc += k.postgap + k.frames;
    }
    *why = N_("the CHD has no data track");
    return 0;
}

namespace {

// ---------------------------------------------------------------------------------------------------
// The image stream: the CHD's data read at any position, hunk by hunk

struct ChdStream;

// One libchdr handle with its codecs and the last hunk it decoded. A reader holds it alone while busy.
struct Decoder {
    ChdStream *st;
    std::atomic<int> busy;
    std::atomic<uint32_t> hunk;  // the hunk in `data`, NO_HUNK for none
    std::atomic<uint64_t> used;  // when it last served a read: the least recently used one decodes next
    chd_file *chd;
    uint64_t pos;                // libchdr's position in the file
    uint8_t *data;
};

struct ChdStream {
    ByteSource base;  // what the source reads through; first, so that the stream is its ByteSource
    pf_file file;      // the CHD (the source's), shared by the decoders: reads are positional; or
    const uint8_t *mem;
    uint64_t file_size;
    uint32_t hunk_bytes;
    std::atomic<uint64_t> clock;
    Decoder dec[DECODERS];
    std::atomic<int> failed;  // 0, 1 while the first failure is worded, 2 once it is
    char failure[200];
};

// libchdr's file calls, over the decoder's own position.
uint64_t io_size(void *user) { return static_cast<Decoder *>(user)->st->file_size; }

size_t io_read(void *dst, size_t size, size_t count, void *user) {
    Decoder *d = static_cast<Decoder *>(user);
    ChdStream *st = d->st;
    if (size == 0 || count > SIZE_MAX / size) return 0;
    uint64_t want = static_cast<uint64_t>(size) * count, done = 0;
    while (done < want && d->pos + done < st->file_size) {
        uint64_t most = st->file_size - d->pos - done;
        if (most > want - done) most = want - done;
        uint32_t n = most < (1u << 30) ? static_cast<uint32_t>(most) : 1u << 30, got = 0;
        if (st->mem)
            memcpy(static_cast<uint8_t *>(dst) + done, st->mem + d->pos + done, got = n);
        else if (!pf_read_at(st->file, d->pos + done, static_cast<uint8_t *>(dst) + done, n, &got) || got == 0)
            break;
        done += got;
    }
    d->pos += done;
    return static_cast<size_t>(done / size);
}

int io_close(void *) { return 0; }  // the file is the source's, which closes it

int io_seek(void *user, int64_t offset, int whence) {
    Decoder *d = static_cast<Decoder *>(user);
    int64_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<int64_t>(d->pos)
                                                               : static_cast<int64_t>(d->st->file_size);
    if (offset < 0 ? offset < -from : offset > INT64_MAX - from) return -1;
    d->pos = static_cast<uint64_t>(from + offset);
    return 0;
}

const core_file_callbacks io = {io_size, io_read, io_close, io_seek};

// The first failure is kept, worded, for the log; later ones add nothing.
void note_failure(ChdStream *st, const char *format, uint32_t hunk) {
    int none = 0;
    if (!st->failed.compare_exchange_strong(none, 1)) return;
    fmt(st->failure, sizeof st->failure, format, hunk);
    st->failed.store(2);
}

// 1 when the hunk's stored bytes reach beyond the end of the file (the map says where they are).
int beyond_file(const chd_file *chd, const ChdStream *st, uint32_t hunk) {
    const chd_header *h = chd_get_header(const_cast<chd_file *>(chd));
    if (!h->rawmap || h->version < 5) return 0;
    const uint8_t *e = h->rawmap + static_cast<size_t>(h->mapentrybytes) * hunk;
    uint64_t at = 0, len = h->hunkbytes;
    if (h->mapentrybytes == 4) {
        at = (uint64_t(e[0]) << 24 | uint64_t(e[1]) << 16 | uint64_t(e[2]) << 8 | e[3]) * h->hunkbytes;
    } else {
        len = uint64_t(e[1]) << 16 | uint64_t(e[2]) << 8 | e[3];
        for (int i = 4; i < 10; ++i) at = at << 8 | e[i];
    }
    return at + len > st->file_size;
}

// CRC-16/CCITT (MAME's crc16), which the map keeps for every hunk it stores, eight bytes at a step through
// tables made at compile time: libchdr's own check goes a byte at a time and took half the time of a CHD
// install, so libchdr is built without it and the check is made here.
struct CrcTables {
    uint16_t t[8][256];
    constexpr CrcTables() : t() {
        for (int v = 0; v < 256; ++v) {
            uint16_t c = static_cast<uint16_t>(v << 8);
            for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
            t[0][v] = c;
        }
        for (int k = 1; k < 8; ++k)
            for (int v = 0; v < 256; ++v)
                t[k][v] = static_cast<uint16_t>(t[k - 1][v] << 8 ^ t[0][t[k - 1][v] >> 8]);
    }
};
constexpr CrcTables crc = CrcTables();

uint16_t crc16(const uint8_t *p, size_t n) {
    uint16_t c = 0xFFFF;
    for (; n >= 8; n -= 8, p += 8)
        c = crc.t[7][p[0] ^ (c >> 8)] ^ crc.t[6][p[1] ^ (c & 0xFF)] ^ crc.t[5][p[2]] ^ crc.t[4][p[3]] ^
            crc.t[3][p[4]] ^ crc.t[2][p[5]] ^ crc.t[1][p[6]] ^ crc.t[0][p[7]];
    for (; n; --n) c = static_cast<uint16_t>(c << 8 ^ crc.t[0][(c >> 8) ^ *p++]);
    return c;
}

// 1 when the decoded hunk matches the checksum of its map entry (of the hunk it copies, for a copy of
// another one). Maps that keep no checksums (uncompressed CHDs, versions before 5) pass.
int hunk_intact(chd_file *chd, uint32_t hunk, const uint8_t *data) {
    enum { STORED_LAST = 4, SELF = 5 };  // MAME's compression types: 0 to 3 a codec, 4 stored, 5 a copy
    const chd_header *h = chd_get_header(chd);
    if (h->version < 5 || h->mapentrybytes != 12 || !h->rawmap) return 1;
    for (int steps = 0; steps < 8 && hunk < h->hunkcount; ++steps) {
        const uint8_t *e = h->rawmap + 12 * static_cast<size_t>(hunk);
        if (e[0] <= STORED_LAST) return crc16(data, h->hunkbytes) == (e[10] << 8 | e[11]);
        if (e[0] != SELF) return 1;
        uint64_t other = 0;
        for (int i = 4; i < 10; ++i) other = other << 8 | e[i];
        hunk = other < h->hunkcount ? static_cast<uint32_t>(other) : UINT32_MAX;
    }
    return 0;
}

int open_decoder(Decoder *d) {
    d->pos = 0;
    return chd_open_core_file_callbacks(&io, d, CHD_OPEN_READ, nullptr, &d->chd) == CHDERR_NONE;
}

// A decoder for the hunk: the one that holds it when it is free, else the free one used longest ago
// among those already open (a decoder is opened only for a reader that finds every open one busy).
// Readers never outnumber the decoders for long (a copy has at most as many workers), so a wait for a
// free one is short.
Decoder *take(ChdStream *st, uint32_t hunk) {
    for (;;) {
        Decoder *best = nullptr;
        for (Decoder &d : st->dec) {
            if (d.busy.load()) continue;
            if (d.hunk.load() == hunk) {
                best = &d;
                break;
            }
            uint64_t used = d.used.load();  // 0: never opened
            if (!best || (used && (!best->used.load() || used < best->used.load()))) best = &d;
        }
        int free_ = 0;
        if (best && best->busy.compare_exchange_strong(free_, 1)) {
            best->used.store(++st->clock);
            return best;
        }
        pf_sleep_ms(0);
    }
}

// Decodes the hunk into d's buffer unless it holds it already. 1/0, with the stream's failure worded.
int decode(ChdStream *st, Decoder *d, uint32_t hunk) {
    if (d->hunk.load() == hunk) return 1;
    d->hunk.store(NO_HUNK);
    if (!d->chd && !open_decoder(d)) {
        note_failure(st, N_("not enough memory to decode the CHD"), 0);
        return 0;
    }
    chd_error e = chd_read(d->chd, hunk, d->data);
    if (e == CHDERR_NONE && !hunk_intact(d->chd, hunk, d->data)) e = CHDERR_DECOMPRESSION_ERROR;
    if (e == CHDERR_NONE) {
        d->hunk.store(hunk);
        return 1;
    }
    if (e == CHDERR_DECOMPRESSION_ERROR)
        note_failure(st, N_("hunk %u of the CHD is damaged: its data does not match its checksum"), hunk);
    else if (e == CHDERR_READ_ERROR && beyond_file(d->chd, st, hunk))
        note_failure(st, N_("hunk %u of the CHD lies beyond the end of the file: it may be incomplete"), hunk);
    else if (e == CHDERR_OUT_OF_MEMORY)
        note_failure(st, N_("not enough memory to decode the CHD"), 0);
    else
        note_failure(st, N_("hunk %u of the CHD cannot be read"), hunk);
    return 0;
}

int chd_read_at(ByteSource *base, uint64_t pos, void *dst, uint32_t n, uint32_t *got) {
    ChdStream *st = reinterpret_cast<ChdStream *>(base);
    uint8_t *out = static_cast<uint8_t *>(dst);
    *got = 0;
    while (*got < n && pos < st->base.size) {
        uint32_t hunk = static_cast<uint32_t>(pos / st->hunk_bytes), at = static_cast<uint32_t>(pos % st->hunk_bytes);
        uint32_t k = st->hunk_bytes - at;
        if (k > n - *got) k = n - *got;
        if (k > st->base.size - pos) k = static_cast<uint32_t>(st->base.size - pos);
        Decoder *d = take(st, hunk);
        int ok = decode(st, d, hunk);
        if (ok) memcpy(out + *got, d->data + at, k);
        d->busy.store(0);
        if (!ok) return 0;
        *got += k;
        pos += k;
    }
    return 1;
}

const char *chd_failure(ByteSource *base) {
    ChdStream *st = reinterpret_cast<ChdStream *>(base);
    int state;
    while ((state = st->failed.load()) == 1) pf_sleep_ms(0);
    return state == 2 ? st->failure : nullptr;
}

void chd_close_stream(ByteSource *base) {
    ChdStream *st = reinterpret_cast<ChdStream *>(base);
    if (!st) return;
    for (Decoder &d : st->dec) {
        if (d.chd) chd_close(d.chd);
        free(d.data);
    }
    free(st);
}

// Every hunk is checked against its checksum as it is decoded: the whole image has nothing more to check.
int chd_finish(ByteSource *base) { return chd_failure(base) == nullptr; }

const ByteSourceOps chd_ops = {chd_read_at, chd_finish, chd_failure, chd_close_stream};

// The reason a CHD that libchdr will not open is refused with.
const char *open_error(chd_error e) {
    switch (e) {
    case CHDERR_OUT_OF_MEMORY: return N_("not enough memory to decode the CHD");
    case CHDERR_READ_ERROR: return N_("the CHD ends early: it may be incomplete");
    case CHDERR_REQUIRES_PARENT:
        return N_("the CHD holds only the changes to another CHD, its parent: make a whole one with chdman copy");
    case CHDERR_UNSUPPORTED_VERSION:
        return N_("the CHD is of a version this setup cannot read: make it again with a current chdman");
    case CHDERR_DECOMPRESSION_ERROR: return N_("the CHD's map of hunks is damaged");
    default: return N_("the CHD's header is damaged");
    }
}

// The codecs a CD's CHD may use (the hunks of CD data, and the metadata's own); none is empty.
int known_codec(const uint8_t *tag) {
    static const char *const known[] = {"cdlz", "cdzl", "cdfl", "cdzs", "lzma", "zlib", "huff", "flac", "zstd"};
    if (!memcmp(tag, "\0\0\0\0", 4)) return 1;
    for (const char *k : known)
        if (!memcmp(tag, k, 4)) return 1;
    return 0;
}

// Checks a version 5 header (its 124 bytes, big-endian) before libchdr allocates anything for it: a CD's
// frames and hunks of a CD's sizes, codecs that are known, the map and the metadata inside the file.
// Older versions are left to libchdr's own checks. 0 with *why (and *codec naming an unknown codec).
int check_header(const uint8_t *h, size_t n, uint64_t file_size, char *codec, const char **why) {
    Cursor c = cursor(h, n, 12);
    if (get_be(&c, 4) != 5 || c.failed) return 1;
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t *tag = h + V5_CODECS + 4 * i;
        if (n >= V5_CODECS + 16 && !known_codec(tag)) {
            for (int k = 0; k < 4; ++k) codec[k] = tag[k] >= 0x20 && tag[k] < 0x7F ? static_cast<char>(tag[k]) : '?';
            codec[4] = '\0';
            *why = N_("the CHD uses a compression this setup cannot read (%s)");
            return 0;
        }
    }
    auto be = [&](size_t at, int bytes) {
        Cursor f = cursor(h, n, at);
        uint64_t v = get_be(&f, bytes);
        return f.failed ? 0 : v;
    };
    uint64_t logical = be(V5_LOGICAL, 8), map = be(V5_MAP, 8), meta = be(V5_META, 8);
    uint64_t hunk = be(V5_HUNK, 4), unit = be(V5_UNIT, 4);
    if (n < V5_HEADER) {
        *why = N_("the CHD ends early: it may be incomplete");
    } else if (unit != FRAME) {
        *why = N_("the CHD holds no CD (it has no track list)");
    } else if (hunk == 0 || hunk % FRAME || hunk > MAX_HUNK || logical == 0 || logical > MAX_DATA) {
        *why = N_("the CHD's header is damaged");
    } else if (map >= file_size || meta >= file_size) {
        *why = N_("the CHD ends early: it may be incomplete");
    } else {
        return 1;
    }
    return 0;
}

// Reads the track list (CHT2, or the older CHTR) into tracks; their count, or -1 when an entry does not
// parse.
int read_tracks(chd_file *chd, ChdTrack *tracks) {
    uint32_t tag = CDROM_TRACK_METADATA2_TAG;
    char text[256];
    uint32_t len = 0;
    if (chd_get_metadata(chd, tag, 0, text, sizeof text, &len, nullptr, nullptr) != CHDERR_NONE)
        tag = CDROM_TRACK_METADATA_TAG;
    int count = 0;
    for (; count < MAX_TRACKS; ++count) {
        if (chd_get_metadata(chd, tag, static_cast<uint32_t>(count), text, sizeof text, &len, nullptr, nullptr) !=
            CHDERR_NONE)
            break;
        if (len > sizeof text) len = sizeof text;
        if (!chd_track_parse(reinterpret_cast<const uint8_t *>(text), len, &tracks[count])) return -1;
    }
    return count;
}

}  // namespace

int chd_signature(const uint8_t *head, size_t n) { return n >= 8 && memcmp(head, "MComprHD", 8) == 0; }

int chd_attach(CdSrc *s, DiscTrack *t, char *why, size_t cap) {
    uint8_t head[V5_HEADER] = {};
    uint32_t got = 0;
    if (s->mem)
        memcpy(head, s->mem, got = static_cast<uint32_t>(s->mem_size < V5_HEADER ? s->mem_size : V5_HEADER));
    else if (!pf_read_at(s->handle, 0, head, V5_HEADER, &got))
        got = 0;
    char codec[5] = "";
    const char *reason = nullptr;
    if (!check_header(head, got, s->image_size, codec, &reason)) {
        fmt(why, cap, "%s: ", t->file);
        size_t used = strlen(why ? why : "");
        if (why && used < cap) fmt(why + used, cap - used, reason, codec);
        return 0;
    }
    ChdStream *st = static_cast<ChdStream *>(calloc(1, sizeof(ChdStream)));
    if (!st) {
        fmt(why, cap, N_("%s: out of memory"), t->file);
        return 0;
    }
    st->base = ByteSource{&chd_ops, 0, 0, nullptr};
    st->file = s->handle;
    st->mem = s->mem;
    st->file_size = s->image_size;
    for (Decoder &d : st->dec) {
        d.st = st;
        d.hunk.store(NO_HUNK);
    }
    chd_error e = chd_open_core_file_callbacks(&io, &st->dec[0], CHD_OPEN_READ, nullptr, &st->dec[0].chd);
    st->dec[0].used.store(++st->clock);
    ChdTrack tracks[MAX_TRACKS];
    const chd_header *h = e == CHDERR_NONE ? chd_get_header(st->dec[0].chd) : nullptr;
    int count = 0;
    if (e != CHDERR_NONE) {
        reason = open_error(e);
    } else if (h->unitbytes != FRAME || h->hunkbytes % FRAME || h->hunkbytes > MAX_HUNK || h->logicalbytes > MAX_DATA) {
        reason = N_("the CHD holds no CD (it has no track list)");
    } else if ((count = read_tracks(st->dec[0].chd, tracks)) < 0) {
        reason = N_("the CHD's track list is damaged");
    } else if (count == 0) {
        reason = N_("the CHD holds no CD (it has no track list)");
    } else if (chd_first_data(tracks, count, h->logicalbytes, t, &reason)) {
        st->hunk_bytes = h->hunkbytes;
        st->base.size = h->logicalbytes;
        for (Decoder &d : st->dec)
            if (!(d.data = static_cast<uint8_t *>(malloc(st->hunk_bytes)))) reason = N_("not enough memory to decode the CHD");
        if (!reason) {
            s->bytes = &st->base;
            s->image_size = st->base.size;
            return 1;
        }
    }
    fmt(why, cap, "%s: %s", t->file, reason);
    chd_close_stream(&st->base);
    return 0;
}
