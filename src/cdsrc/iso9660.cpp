// The ISO 9660 reader of image sources (module cdsrc): sector reads in every layout, directory records,
// the walks with their defences, the parallel image copy, and probing for the volume. Images are
// untrusted: every record is read through a bounded cursor inside its sector, and every extent is
// checked against the image's size before anything is read or allocated for it.
#include <cstdlib>
#include <cstring>

#include "util/bytes.h"
#include "cdsrc/cdsrc.h"
#include "cdsrc_internal.h"
#include "util/setup_log.h"

namespace {

constexpr uint32_t SECTOR = 2048;          // user bytes in every disc sector
constexpr uint32_t RAW_SECTOR = 2352;      // a raw CD sector in a BIN image
constexpr uint32_t MAX_SECTOR = 2448;      // a raw sector with its 96 subchannel bytes
constexpr uint32_t CHUNK_SECTORS = 32;     // a file copy moves 64 KiB at a time
constexpr uint32_t ISO_BATCH = 1024;       // sectors per read in the 2048-byte layout (2 MiB)
constexpr uint64_t WALK_SLACK = 1024;      // directory visits a walk may make beyond the image's sectors


// ECMA-119 9.1, the directory record. Offsets are the standard's byte positions (BP) less one; the
// both-endian numbers are read from their little-endian half.
constexpr size_t DR_LENGTH = 0;        // BP 1: length of the record
constexpr size_t DR_EXTENT = 2;        // BP 3 to 10: location of the extent
constexpr size_t DR_DATA_LENGTH = 10;  // BP 11 to 18: data length
constexpr size_t DR_FLAGS = 25;        // BP 26: file flags
constexpr size_t DR_ID_LENGTH = 32;    // BP 33: length of the file identifier
constexpr size_t DR_ID = 33;           // BP 34 on: the file identifier
constexpr uint8_t DR_FLAG_DIRECTORY = 0x02;
// ECMA-119 8.4, the primary volume descriptor, in disc sector 16.
constexpr size_t PVD_TYPE = 0;           // BP 1: volume descriptor type, 1 for the primary one
constexpr size_t PVD_ID = 1;             // BP 2 to 6: "CD001"
constexpr size_t PVD_ROOT_RECORD = 156;  // BP 157 to 190: the root directory's record
// ECMA-119 8.5, and Joliet as Windows writes it: a supplementary volume descriptor (type 2) whose escape
// sequences (BP 89 to 120) name UCS-2 level 1, 2 or 3 ("%/@", "%/C", "%/E") holds the Joliet tree; its
// root record stands where the primary descriptor's does. The set ends with a terminator (type 255).
constexpr uint64_t VD_SUPPLEMENTARY = 2, VD_TERMINATOR = 255;
constexpr size_t SVD_ESCAPES = 88;
constexpr uint32_t MAX_DESCRIPTORS = 32;  // a disc has a handful; the rest of the image is no descriptor

// One listed directory record. `name` may hold a zero byte from the disc; name_len counts every byte.
struct IsoEntry {
    char name[256];
    uint32_t extent;
    uint32_t size;
    int32_t directory;
    int32_t name_len;
    int32_t unreadable;  // what Rock Ridge says of it changes its bytes or its place: SUSP_* bits
};

// SUSP_LOST_LINK beside the system use area's flags (rockridge.cpp): a CL that leads to no folder.
constexpr int SUSP_LOST_LINK = 16;

// What one walk over the tree (the total, or the copy) carries from folder to folder.
struct Walk {
    uint32_t path[MAX_DEPTH + 1];  // extents of the folders from the root down to the current one
    uint64_t budget;               // directory sectors the walk may still read
    int exhausted;
};

// A copy worker's buffer: a chunk of file data, then room for the raw sectors it is taken out of.
constexpr size_t STAGE_AT = CHUNK_SECTORS * SECTOR;
constexpr size_t IMAGE_BUFFER = STAGE_AT + CHUNK_SECTORS * MAX_SECTOR;

// ---------------------------------------------------------------------------------------------------
// Sectors

// Reads up to n bytes at pos of the image file (or the image in memory); *got receives the count.
int read_raw(CdSrc *s, uint64_t pos, void *dst, uint32_t n, uint32_t *got) {
    if (s->bytes) return s->bytes->ops->read_at(s->bytes, pos, dst, n, got);
    if (s->mem) {
        *got = 0;
        if (pos >= s->mem_size) return 1;
        uint64_t avail = s->mem_size - pos;
        *got = avail < n ? static_cast<uint32_t>(avail) : n;
        memcpy(dst, s->mem + pos, *got);
        return 1;
    }
    return pf_read_at(s->handle, pos, dst, n, got);
}

// Where a sector of the volume begins in the file. A volume mastered at its disc address names no sector
// before its track: such a sector lies beyond every image, so nothing reads it.
constexpr uint64_t NOWHERE = UINT64_MAX / 4;
uint64_t sector_pos(CdSrc *s, uint64_t sector) {
    if (sector < s->disc_lba) return NOWHERE;
    return s->base + (sector - s->disc_lba) * s->sector_size + s->data_offset;
}

int read_one(CdSrc *s, uint64_t sector, uint8_t *dst) {
    uint32_t got = 0;
    return read_raw(s, sector_pos(s, sector), dst, SECTOR, &got) && got == SECTOR;
}

// Reads count sectors from `first` into dst (count x 2048 bytes). Each run of sectors is one read;
// in the raw layouts the run goes through `stage` (room for 32 raw sectors) and the user bytes of each
// sector are moved out, or, without a stage, every sector is read on its own straight into dst.
// On failure the sectors before the first unreadable one are in dst, as if read one by one.
// Reads are positional, so copy workers share the one open image.
int read_sectors(CdSrc *s, uint64_t first, uint32_t count, uint8_t *dst, uint8_t *stage) {
    const uint32_t size = s->sector_size;
    if (size != SECTOR && !stage) {
        for (uint32_t i = 0; i < count; ++i)
            if (!read_one(s, first + i, dst + static_cast<size_t>(i) * SECTOR)) return 0;
        return 1;
    }
    const uint32_t batch = size == SECTOR ? ISO_BATCH : CHUNK_SECTORS;
    while (count) {
        uint32_t n = count < batch ? count : batch;
        // The last sector needs only its user bytes: a raw image cut after them still reads.
        uint32_t len = (n - 1) * size + SECTOR;
        uint8_t *into = size == SECTOR ? dst : stage;
        uint32_t got = 0;
        if (!read_raw(s, sector_pos(s, first), into, len, &got)) {
            // Which sector failed is unknown: find it, so dst ends exactly as single reads leave it.
            for (uint32_t i = 0; i < n; ++i)
                if (!read_one(s, first + i, dst + static_cast<size_t>(i) * SECTOR)) return 0;
        } else {
            uint32_t whole = got < SECTOR ? 0 : (got - SECTOR) / size + 1;
            if (whole > n) whole = n;
            if (into == stage)
                for (uint32_t i = 0; i < whole; ++i)
                    memcpy(dst + static_cast<size_t>(i) * SECTOR, stage + static_cast<size_t>(i) * size, SECTOR);
            if (whole < n) return 0;
        }
        first += n;
        count -= n;
        dst += static_cast<size_t>(n) * SECTOR;
    }
    return 1;
}

// 1 when `sectors` sectors from `first` lie inside the image as it was opened: nothing is allocated
// or read for data that cannot be there, whatever size a record claims.
int inside_image(CdSrc *s, uint64_t first, uint64_t sectors) {
    if (sectors == 0) return 1;
    uint64_t end = sector_pos(s, first + sectors - 1) + SECTOR;
    return end <= s->image_size;
}

uint64_t sectors_of(uint32_t bytes) { return (static_cast<uint64_t>(bytes) + SECTOR - 1) / SECTOR; }

// ---------------------------------------------------------------------------------------------------
// Directories

// The name rules: the identifier up to its version (';'), at most 63 bytes, less one final '.'.
// Joliet names are UCS-2 (UTF-16 in practice), big-endian: each is converted to UTF-8 exactly. One that
// does not convert (an odd byte count, a lone surrogate) comes out empty, which no copy takes for a name.
int joliet_name(const uint8_t *id, uint32_t k, char *out, int cap) {
    int n = 0;
    if (k & 1) return 0;
    for (uint32_t i = 0; i + 1 < k; i += 2) {
        uint32_t c = static_cast<uint32_t>(id[i]) << 8 | id[i + 1];
        if (c == ';') break;
        if (c >= 0xDC00 && c <= 0xDFFF) return 0;
        if (c >= 0xD800 && c <= 0xDBFF) {
            uint32_t low = i + 3 < k ? static_cast<uint32_t>(id[i + 2]) << 8 | id[i + 3] : 0;
            if (low < 0xDC00 || low > 0xDFFF) return 0;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        if (n + 4 >= cap) return 0;
        n += utf8_put(c, out + n);
    }
    return n;
}

// The name rules: the identifier up to its version (';'), at most 63 bytes (or a Joliet name converted),
// less one final '.'.
void take_name(const uint8_t *id, uint32_t k, int joliet, IsoEntry *e) {
    int n = 0;
    if (joliet)
        n = joliet_name(id, k, e->name, sizeof e->name);
    else
        for (uint32_t i = 0; i < k && id[i] != ';' && n < 63; ++i) e->name[n++] = static_cast<char>(id[i]);
    if (n > 0 && e->name[n - 1] == '.') --n;
    e->name[n] = '\0';
    e->name_len = n;
}

// Reads the directory record at byte o of a sector into *e. 0 when the record's fields or its name
// would reach past the sector; *len receives the record's length (0: the rest of the sector holds no
// records).
int read_record(const uint8_t *sec, uint32_t o, int joliet, uint32_t *len, IsoEntry *e, int *skipped) {
    Cursor r = cursor(sec, SECTOR, o);
    *len = static_cast<uint32_t>(get_le_at(&r, DR_LENGTH, 1));
    if (*len == 0) return 1;
    uint32_t k = static_cast<uint32_t>(get_le_at(&r, DR_ID_LENGTH, 1));
    Cursor id_at = r;
    cur_skip(&id_at, DR_ID);
    const uint8_t *id = nullptr;
    if (r.failed || !cur_take(&id_at, k, &id) || o + *len > SECTOR) return 0;
    // The records of the folder itself and of its parent (identifiers 0 and 1) are no entries.
    *skipped = k == 1 && (id[0] == 0 || id[0] == 1);
    if (*skipped) return 1;
    take_name(id, k, joliet, e);
    e->extent = static_cast<uint32_t>(get_le_at(&r, DR_EXTENT, 4));
    e->size = static_cast<uint32_t>(get_le_at(&r, DR_DATA_LENGTH, 4));
    e->directory = (get_le_at(&r, DR_FLAGS, 1) & DR_FLAG_DIRECTORY) ? 1 : 0;
    // The system use area follows the identifier and its padding byte, to the record's end.
    size_t use = DR_ID + k + ((k & 1) ? 0 : 1);
    uint32_t child = 0;
    e->unreadable = use < *len ? susp_flags(sec + o + use, *len - use, &child) : 0;
    // A moved folder is listed where it belongs, and not in RR_MOVED; its size is read from its own
    // "." record when the listing is complete.
    if (e->unreadable & SUSP_CHILD_LINK) {
        e->directory = 1;
        e->extent = child;
        e->size = 0;
    }
    *skipped = (e->unreadable & SUSP_MOVED_AWAY) != 0;
    return 1;
}

// Adds the records of one sector (bytes [from, from + 2048) of the directory, no record started at or
// beyond `size`) to the listing. A record whose fields would reach past the sector ends the sector.
int walk_sector(const uint8_t *sec, uint64_t from, uint32_t size, int joliet, IsoEntry **list, int *count,
                int *room) {
    uint32_t o = 0;
    while (from + o < size && o < SECTOR) {
        IsoEntry e;
        uint32_t len = 0;
        int skipped = 0;
        if (!read_record(sec, o, joliet, &len, &e, &skipped) || len == 0) break;
        if (!skipped) {
            if (*count == *room) {
                int grown = *room ? *room * 2 : 64;
                IsoEntry *bigger = static_cast<IsoEntry *>(realloc(*list, sizeof(IsoEntry) * grown));
                if (!bigger) return 0;
                *list = bigger;
                *room = grown;
            }
            (*list)[(*count)++] = e;
        }
        o += len;
    }
    return 1;
}

// The size of a folder that Rock Ridge moved aside, from the "." record that begins it (which names
// the folder's own sector). 0 when the link leads to no such record inside the image.
uint32_t moved_folder_size(CdSrc *s, uint32_t extent) {
    uint8_t sec[SECTOR];
    if (!inside_image(s, extent, 1) || !read_one(s, extent, sec)) return 0;
    Cursor r = cursor(sec, sizeof sec, 0);
    uint64_t len = get_le_at(&r, DR_LENGTH, 1), k = get_le_at(&r, DR_ID_LENGTH, 1);
    uint64_t self = get_le_at(&r, DR_EXTENT, 4), size = get_le_at(&r, DR_DATA_LENGTH, 4);
    int folder = (get_le_at(&r, DR_FLAGS, 1) & DR_FLAG_DIRECTORY) != 0;
    if (r.failed || len < DR_ID + 1 || k != 1 || sec[DR_ID] != 0 || self != extent || !folder) return 0;
    return static_cast<uint32_t>(size);
}

// Lists the directory at (extent, size) in record order. An unreadable directory, or one that does
// not lie inside the image, lists empty. The caller frees the listing (none when empty). Folders that
// Rock Ridge moved aside are listed where they belong, and not in RR_MOVED.
IsoEntry *list_dir(CdSrc *s, uint32_t extent, uint32_t size, int joliet, int *count) {
    *count = 0;
    uint64_t sectors = sectors_of(size);
    if (!inside_image(s, extent, sectors)) return nullptr;
    uint32_t batch = sectors < CHUNK_SECTORS ? static_cast<uint32_t>(sectors) : CHUNK_SECTORS;
    if (batch == 0) return nullptr;
    uint8_t *data = static_cast<uint8_t *>(malloc(static_cast<size_t>(batch) * SECTOR));
    IsoEntry *list = nullptr;
    int room = 0;
    int ok = data != nullptr;
    for (uint64_t done = 0; ok && done < sectors; done += batch) {
        uint32_t n = sectors - done < batch ? static_cast<uint32_t>(sectors - done) : batch;
        ok = read_sectors(s, extent + done, n, data, nullptr);
        for (uint32_t i = 0; ok && i < n; ++i)
            ok = walk_sector(data + static_cast<size_t>(i) * SECTOR, (done + i) * SECTOR, size, joliet, &list, count,
                             &room);
    }
    free(data);
    if (!ok || *count == 0) {
        free(list);
        *count = 0;
        return nullptr;
    }
    for (int i = 0; i < *count; ++i)
        if (list[i].unreadable & SUSP_CHILD_LINK) {
            list[i].size = moved_folder_size(s, list[i].extent);
            if (!list[i].size) list[i].unreadable |= SUSP_LOST_LINK;
        }
    return list;
}

// The listing in the tree the CD is read through.
IsoEntry *iso_dir(CdSrc *s, uint32_t extent, uint32_t size, int *count) {
    return list_dir(s, extent, size, s->joliet, count);
}

// Looks up a relative path ('\' or '/' separated, any letter case). 1 and the last component's entry
// in *x; an empty path yields 1 without writing *x. Only directories are looked into.
int iso_find(CdSrc *s, const char *path, IsoEntry *x) {
    if (!*path) return 1;
    uint32_t extent = s->root_extent, size = s->root_size;
    const char *p = path;
    int into_file = 0;
    while (*p) {
        char part[256];
        int n = 0;
        while (*p && !is_separator(*p) && n < 255) part[n++] = ascii_upper(*p++);
        part[n] = '\0';
        while (is_separator(*p)) ++p;
        if (into_file) return 0;
        int count = 0;
        IsoEntry *list = iso_dir(s, extent, size, &count);
        int found = -1;
        for (int i = 0; i < count && found < 0; ++i)
            if (ascii_equal(list[i].name, part)) found = i;
        if (found < 0) {
            free(list);
            return 0;
        }
        *x = list[found];
        extent = x->extent;
        size = x->size;
        into_file = !x->directory;
        free(list);
    }
    return 1;
}

// A walk may enter the folder at (extent, size): it pays the sectors it will read (at least one
// per folder) from its budget. 0 once the budget is spent.
int walk_enter(Walk *w, CdSrc *s, uint32_t extent, uint32_t size) {
    uint64_t cost = sectors_of(size);
    if (cost == 0 || !inside_image(s, extent, cost)) cost = 1;
    if (w->exhausted || cost > w->budget) {
        w->exhausted = 1;
        return 0;
    }
    w->budget -= cost;
    return 1;
}

// The folders of a sound disc lie in sectors of their own, so one walk over it reads at most as many
// folder sectors as the image holds; the slack covers empty and unreadable folders (one each).
void walk_start(Walk *w, CdSrc *s) {
    memset(w, 0, sizeof *w);
    w->budget = s->image_size / (s->sector_size ? s->sector_size : SECTOR) + WALK_SLACK;
}

// 1 when a folder at `extent`, found at depth d, is one of the folders on the way to it: the walks
// pass it over.
int loops_back(const Walk *w, int d, uint32_t extent) {
    for (int i = 0; i <= d; ++i)
        if (w->path[i] == extent) return 1;
    return 0;
}

// The folders a walk enters below a folder at depth d: within the depth limit and not looping back.
int enters(const Walk *w, int d, const IsoEntry *e) {
    return e->directory && d < MAX_DEPTH && !loops_back(w, d, e->extent);
}

// 1 when the entry's name is a plain name that can only ever mean a file inside its folder.
int is_plain_name(const IsoEntry *e) { return plain_name(e->name, static_cast<size_t>(e->name_len)); }

// The name as the log shows it (cap bytes): a name that is not UTF-8 is shown byte by byte, and
// control characters always, so the log stays readable text.
void shown_name(const IsoEntry *e, char *shown, size_t cap) {
    size_t n = 0;
    int raw = !utf8_valid(e->name, static_cast<size_t>(e->name_len));
    for (int i = 0; i < e->name_len && n + 5 < cap; ++i) {
        unsigned char c = static_cast<unsigned char>(e->name[i]);
        if (c < 0x20 || c == 0x7F || (raw && c >= 0x80))
            n += fmt(shown + n, cap - n, "\\x%02X", c);
        else
            shown[n++] = static_cast<char>(c);
    }
    shown[n] = '\0';
}

// The line for a file of an image that cannot be read: its name on the CD, its path there and the
// image, and why: an image that ends before the file's data does (a download or copy that stopped
// early, also one cut after it was opened) or the system's error.
// 1 when the image, as it is now, ends before the `bytes` bytes of a file at sector `extent` do.
int ends_early(CdSrc *s, uint64_t extent, uint64_t bytes) {
    uint64_t now = s->image_size, size = 0;
    if (!s->mem && !s->bytes && pf_size(s->handle, &size) && size < now) now = size;
    uint64_t sectors = (bytes + SECTOR - 1) / SECTOR;
    uint64_t end = sectors ? sector_pos(s, extent + sectors - 1) + SECTOR : 0;
    return end > now;
}

void log_image_read_error(CdSrc *s, const char *name, uint64_t extent, uint64_t bytes, const char *rel,
                          unsigned long code) {
    // A container or a CHD says what is wrong with it: a damaged or cut stream, a CRC that does not match.
    const char *failure = bytes_failure(s->bytes);
    if (failure) {
        setup_log("read error in %s (%s in image %s: %s)", name, rel, s->path, failure);
        return;
    }
    if (ends_early(s, extent, bytes)) {
        setup_log("read error in %s (%s in image %s): the image ends early: it may be incomplete", name, rel,
                  s->path);
        return;
    }
    char cause[LOG_BUF / 2];
    describe_error(code, cause, sizeof cause);
    setup_log("read error in %s (%s in image %s: %s)", name, rel, s->path, cause);
}

// What the image copy's workers share: the source, where the destination's CD paths begin, and whether
// the files are only read and summed.
struct ImageCopy {
    CdSrc *s;
    size_t root_len;
};

// The image source's side of the copy: the image is open already, and a file's bytes are its sectors,
// read a chunk at a time through the worker's stage.
void *image_open(void *ctx, const CopyJob *, unsigned long *) { return ctx; }

int image_read(void *ctx, void *, const CopyJob *job, uint64_t at, uint8_t *dst, uint32_t n, uint8_t *stage,
               unsigned long *code) {
    CdSrc *s = static_cast<ImageCopy *>(ctx)->s;
    if (read_sectors(s, job->at + at / SECTOR, (n + SECTOR - 1) / SECTOR, dst, stage)) return READ_OK;
    // An image cut short is no worn disc, nor a damaged container: no retry reads what is not there.
    if (s->mem || bytes_failure(s->bytes) || ends_early(s, job->at, job->size)) return READ_FINAL;
    *code = pf_last_error();
    return READ_AGAIN;
}

void image_close(void *, void *) {}

void image_failure(void *ctx, const CopyJob *job, int, uint64_t, unsigned long code) {
    const ImageCopy *c = static_cast<const ImageCopy *>(ctx);
    const char *rel = c->root_len && strlen(job->to) > c->root_len ? job->to + c->root_len + 1 : job->to;
    log_image_read_error(c->s, job->from, job->at, job->size, rel, code);
}

// qsort order of file entries: by name without regard to letter case, then by place in the listing.
int by_name(const void *x, const void *y) {
    const IsoEntry *a = *static_cast<const IsoEntry *const *>(x), *b = *static_cast<const IsoEntry *const *>(y);
    int c = ascii_compare(a->name, b->name);
    return c ? c : (a < b ? -1 : a > b);
}

// Marks the files of a listing that a later file of the same name replaces: a file recorded in several
// extents lists once per extent, and names that differ only in letter case are one file on Windows.
// Copied in turn, the last one wins; copied side by side, two workers would write one file at once.
void mark_replaced(const IsoEntry *list, int count, uint8_t *replaced) {
    const IsoEntry **order = static_cast<const IsoEntry **>(malloc(sizeof(IsoEntry *) * (count ? count : 1)));
    int n = 0;
    for (int i = 0; i < count; ++i) {
        replaced[i] = 0;
        if (!list[i].directory && order) order[n++] = &list[i];
    }
    if (!order) return;
    qsort(order, static_cast<size_t>(n), sizeof *order, by_name);
    for (int k = 0; k + 1 < n; ++k)
        if (ascii_equal(order[k]->name, order[k + 1]->name)) replaced[order[k] - list] = 1;
    free(order);
}

// 1 when the primary tree's root begins with the SUSP indicator (SP, check bytes BE EF) in the system
// use area of its "." record: the tree carries Rock Ridge.
int uses_rock_ridge(CdSrc *s) {
    uint8_t sec[SECTOR];
    if (!inside_image(s, s->primary_extent, 1) || !read_one(s, s->primary_extent, sec)) return 0;
    size_t len = sec[DR_LENGTH];
    return len > DR_ID + 1 && susp_indicator(sec + DR_ID + 1, len - (DR_ID + 1));
}

// 1 when a file below the folder at (extent, size) of the primary tree is stored compressed, within the
// walk's defences.
int compressed_below(CdSrc *s, uint32_t extent, uint32_t size, int depth, Walk *w) {
    if (!walk_enter(w, s, extent, size)) return 0;
    w->path[depth] = extent;
    int count = 0, found = 0;
    IsoEntry *list = list_dir(s, extent, size, 0, &count);
    for (int i = 0; i < count && !found; ++i) {
        if (list[i].unreadable & SUSP_COMPRESSED) found = 1;
        else if (enters(w, depth, &list[i])) found = compressed_below(s, list[i].extent, list[i].size, depth + 1, w);
    }
    free(list);
    return found;
}

// RR_MOVED (".rr_moved" to some mastering tools) at the root, when it holds nothing but the folders
// that Rock Ridge moved aside, which the walk finds where they belong: no part of the CD itself. The
// Joliet tree beside such a primary tree holds the whole tree, and an empty RR_MOVED.
int is_relocation_folder(CdSrc *s, const IsoEntry *e) {
    if (!ascii_equal(e->name, "RR_MOVED") && !ascii_equal(e->name, ".rr_moved")) return 0;
    int count = 0;
    free(iso_dir(s, e->extent, e->size, &count));
    return count == 0;
}

// The walk of an image into the plan, in record order, with its defences (depth, loops, budget). The
// first name that is no plain name is the plan's fault: nothing from it on is copied, but the walk goes
// on for the total, which counts every file entry whatever its name.
void walk_plan(CdSrc *s, uint32_t extent, uint32_t size, const char *rel, int depth, Walk *w, CdPlan *plan) {
    if (!walk_enter(w, s, extent, size)) {
        plan_fault(plan, PLAN_TOO_MANY_FOLDERS, rel);
        return;
    }
    w->path[depth] = extent;
    int count = 0;
    IsoEntry *list = iso_dir(s, extent, size, &count);
    uint8_t *replaced = static_cast<uint8_t *>(malloc(count ? count : 1));
    if (!replaced) plan_fault(plan, PLAN_NO_MEMORY, rel);
    if (replaced) mark_replaced(list, count, replaced);
    for (int i = 0; replaced && i < count && !w->exhausted; ++i) {
        const IsoEntry *e = &list[i];
        if (e->directory && !enters(w, depth, e)) continue;
        if (depth == 0 && e->directory && is_relocation_folder(s, e)) continue;
        if (!is_plain_name(e)) {
            char shown[256 * 4 + 1];
            shown_name(e, shown, sizeof shown);
            plan_fault(plan, PLAN_UNSAFE_NAME, shown);
        }
        // A copy that went on would install a file's compressed bytes, or a deep folder in the wrong place.
        if (e->unreadable & SUSP_COMPRESSED)
            plan_fault(plan, PLAN_UNSUPPORTED, N_("files stored compressed (zisofs)"));
        if (e->unreadable & SUSP_LOST_LINK)
            plan_fault(plan, PLAN_UNSUPPORTED, N_("deep folders moved aside by Rock Ridge (RR_MOVED)"));
        char child[PATH_BUF];
        if (fmt(child, sizeof child, rel[0] ? "%s\\%s" : "%s%s", rel, e->name) >= static_cast<int>(sizeof child)) {
            plan_fault(plan, PLAN_TOO_LONG, child);
            continue;
        }
        if (!plan_add(plan, child, e->directory, e->directory ? 0 : e->size, e->extent, replaced[i])) break;
        if (e->directory) walk_plan(s, e->extent, e->size, child, depth + 1, w, plan);
    }
    free(replaced);
    free(list);
}

}  // namespace

void iso_plan(CdSrc *s, CdPlan *plan) {
    Walk w;
    walk_start(&w, s);
    // Joliet records carry no Rock Ridge: files stored compressed show only in the primary tree, and their
    // bytes are the same through either tree.
    if (s->joliet && uses_rock_ridge(s) && compressed_below(s, s->primary_extent, s->primary_size, 0, &w))
        plan_fault(plan, PLAN_UNSUPPORTED, N_("files stored compressed (zisofs)"));
    walk_start(&w, s);
    walk_plan(s, s->root_extent, s->root_size, "", 0, &w, plan);
    // A folder whose sectors a damaged image could not give would be copied as empty: nothing of such an
    // image is copied, and the copy fails with the damage's line, whatever else the walk met.
    char damage[sizeof plan->fault_text];
    if (cd_damage(s, damage, sizeof damage)) {
        plan->fault = PLAN_OK;
        plan_fault(plan, PLAN_DAMAGED, damage);
        plan->usable = 0;
    }
}

int iso_copy_files(CdSrc *s, const CopyJobs *files, const char *dest, int workers, const CopyHooks *hooks,
                   Progress *p, int check) {
    ImageCopy c = {s, strlen(dest)};
    // One reader, in disc order, while the decoder goes ahead on a thread of its own.
    if (s->bytes && s->bytes->sequential) workers = 1;
    const CopyReader reader = {image_open, image_read, image_close, image_failure, &c, STAGE_AT, IMAGE_BUFFER - STAGE_AT,
                               0,          nullptr,    check};
    bytes_ahead(s->bytes, 1);
    int ok = copy_files(files, &reader, hooks, workers, c.root_len, p);
    bytes_ahead(s->bytes, 0);
    // What only the whole image tells, its CRC, is known at its end: a mismatch there fails the copy too.
    if (ok && s->bytes && !s->bytes->ops->finish(s->bytes)) {
        const char *failure = bytes_failure(s->bytes);
        setup_log("%s: %s", s->path, failure ? failure : ARCHIVE_DAMAGED);
        ok = 0;
    }
    return ok;
}

namespace {

// ---------------------------------------------------------------------------------------------------
// Opening

// The Joliet tree, when the descriptors after the primary one (up to their terminator) hold one: its
// names are the ones Windows shows for the disc in a drive, long names and any script, where the primary
// tree may hold only their 8.3 forms. A Joliet root that does not lie inside the image is passed over.
void find_joliet(CdSrc *s) {
    uint8_t vd[SECTOR];
    for (uint32_t n = 17; n < 17 + MAX_DESCRIPTORS && read_one(s, s->disc_lba + n, vd); ++n) {
        Cursor c = cursor(vd, sizeof vd, 0);
        const uint8_t *id = nullptr, *esc = nullptr;
        uint64_t type = get_le_at(&c, PVD_TYPE, 1);
        cur_skip(&c, PVD_ID);
        if (!cur_take(&c, 5, &id) || memcmp(id, "CD001", 5) != 0 || type == VD_TERMINATOR) return;
        Cursor e = cursor(vd, sizeof vd, SVD_ESCAPES);
        if (type != VD_SUPPLEMENTARY || !cur_take(&e, 3, &esc) || esc[0] != '%' || esc[1] != '/' ||
            (esc[2] != '@' && esc[2] != 'C' && esc[2] != 'E'))
            continue;
        Cursor root = cursor(vd, sizeof vd, PVD_ROOT_RECORD);
        uint32_t extent = static_cast<uint32_t>(get_le_at(&root, DR_EXTENT, 4));
        uint32_t size = static_cast<uint32_t>(get_le_at(&root, DR_DATA_LENGTH, 4));
        if (root.failed || size == 0 || !inside_image(s, extent, sectors_of(size))) return;
        s->root_extent = extent;
        s->root_size = size;
        s->joliet = 1;
        return;
    }
}

// 1 when the root directory's first record is its own "." record: the volume is read with the
// addressing it was mastered with.
int root_points_home(CdSrc *s) {
    uint8_t sec[SECTOR];
    if (!inside_image(s, s->root_extent, 1) || !read_one(s, s->root_extent, sec)) return 0;
    Cursor c = cursor(sec, sizeof sec, 0);
    uint64_t len = get_le_at(&c, DR_LENGTH, 1), extent = get_le_at(&c, DR_EXTENT, 4);
    uint64_t id_len = get_le_at(&c, DR_ID_LENGTH, 1);
    return !c.failed && len >= 34 && id_len == 1 && sec[33] == 0 && extent == s->root_extent;
}

// Looks for the primary volume descriptor in the track's sector 16 with the given layout. A volume in a
// track that begins at disc address lba (not 0) may count its sectors from the track or from the disc:
// the root's own record says which (from the track when neither reading proves it).
int probe(CdSrc *s, uint32_t sector_size, uint32_t data_offset, uint32_t lba) {
    s->sector_size = sector_size;
    s->data_offset = data_offset;
    s->disc_lba = 0;
    uint8_t pvd[SECTOR];
    if (!read_one(s, 16, pvd)) return 0;
    Cursor c = cursor(pvd, sizeof pvd, 0);
    const uint8_t *id = nullptr;
    if (get_le_at(&c, PVD_TYPE, 1) != 1) return 0;
    cur_skip(&c, PVD_ID);
    if (!cur_take(&c, 5, &id) || memcmp(id, "CD001", 5) != 0) return 0;
    Cursor root = cursor(pvd, sizeof pvd, PVD_ROOT_RECORD);
    s->root_extent = static_cast<uint32_t>(get_le_at(&root, DR_EXTENT, 4));
    s->root_size = static_cast<uint32_t>(get_le_at(&root, DR_DATA_LENGTH, 4));
    s->primary_extent = s->root_extent;
    s->primary_size = s->root_size;
    if (lba && !root_points_home(s)) {
        s->disc_lba = lba;
        if (!root_points_home(s)) s->disc_lba = 0;
    }
    s->joliet = 0;
    find_joliet(s);
    return 1;
}

// The layouts in the order they are tried: the ISO and the two raw BIN layouts first, then raw
// sectors with 96 subchannel bytes (.img and .mdf from several rippers), then headerless Mode 2.
const struct {
    uint32_t size, offset;
} layouts[] = {{SECTOR, 0}, {RAW_SECTOR, 16}, {RAW_SECTOR, 24}, {MAX_SECTOR, 16}, {MAX_SECTOR, 24}, {2336, 8}};

int probe_layouts(CdSrc *s, uint32_t lba) {
    for (const auto &l : layouts)
        if (probe(s, l.size, l.offset, lba)) return 1;
    return 0;
}

}  // namespace

int iso_probe_layouts(CdSrc *s) { return probe_layouts(s, 0); }

// Finds the volume where the descriptor says it is. A CUE sheet whose data starts at byte 0 of its
// BIN may still be probed in every layout after its own: sheets that give the wrong mode for their
// BIN exist, and they have always opened.
int iso_probe_track(CdSrc *s, const DiscTrack *t, int guessable) {
    s->base = t->base;
    if (!t->sector_size) return probe_layouts(s, t->disc_lba);
    return probe(s, t->sector_size, t->data_offset, t->disc_lba) ||
           (guessable && t->base == 0 && probe_layouts(s, t->disc_lba));
}


int iso_exists(CdSrc *s, const char *rel) {
    IsoEntry e;
    return iso_find(s, rel, &e);
}

uint8_t *iso_read(CdSrc *s, const char *rel, uint64_t *size) {
    IsoEntry e;
    // An empty path names the root, which is no file.
    if (!*rel || !iso_find(s, rel, &e) || e.directory) return nullptr;
    uint64_t sectors = sectors_of(e.size);
    if (!inside_image(s, e.extent, sectors)) return nullptr;
    uint8_t *data = static_cast<uint8_t *>(malloc(sectors * SECTOR + 1));
    if (!data) return nullptr;
    if (!read_sectors(s, e.extent, static_cast<uint32_t>(sectors), data, nullptr)) {
        free(data);
        return nullptr;
    }
    *size = e.size;
    return data;
}

