// Containers (module cdsrc): the image inside a ZIP or 7z archive (ziparc.cpp, sevenzip.cpp) or an ECM file
// (ecm.cpp), found and opened for the ISO 9660 reader through a byte source; and the containers this setup
// does not read (RAR, UltraISO, PowerISO, Daemon Tools, BlindWrite, DiscJuggler), known by their
// signatures and refused with what to do instead. Inside an archive the images are its entries: a disc
// descriptor first (its data files are found among the entries as a sheet's are beside it), then an ISO,
// a Nero image, a raw image; an archive may hold several, and the caller picks the one that is the game's.
#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"
#include "cdsrc_internal.h"

const char *const ARCHIVE_ENCRYPTED = N_("the archive is encrypted");
const char *const ARCHIVE_METHOD = N_("the archive uses a compression method this setup cannot decode");
const char *const ARCHIVE_SIZES = N_("the archive declares sizes beyond its own size");
const char *const NO_MEMORY = N_("not enough memory");
const char *const NOT_CD_IMAGE = N_("not a CD image (no ISO 9660 volume in any known layout)");

namespace {

constexpr uint64_t MAX_IMAGE = 16ull << 30;  // above any disc

// ---------------------------------------------------------------------------------------------------
// Signatures

enum Kind { NOT_CONTAINER, ZIP, SEVEN_ZIP, ECM, REFUSED };

struct Refused {
    const char *format;
    size_t at;
    const char *magic;
    size_t n;
};
// Each at the start of the file, as the tool that made it writes it.
const Refused refused[] = {
    {N_("a RAR archive"), 0, "Rar!\x1A\x07", 6},
    {N_("an UltraISO image (.isz)"), 0, "IsZ!", 4},
    {N_("a PowerISO image (.daa)"), 0, "DAA\0\0\0\0\0", 8},
    {N_("a Daemon Tools image (.mdx)"), 0, "MEDIA DESCRIPTOR\x02", 17},
    {N_("a BlindWrite image (.b5t, .b6t)"), 0, "BWT5 STREAM SIGN", 16},
};
const char *const DISCJUGGLER = N_("a DiscJuggler image (.cdi)");

int ends_with(const char *path, const char *ext) {
    size_t n = strlen(path), k = strlen(ext);
    return n >= k && ascii_equal(path + n - k, ext);
}

// What the file is, from its first bytes and its last eight (a DiscJuggler image says what it is at its end:
// its version and where its description begins).
Kind sniff(const char *path, const uint8_t *head, size_t n, const uint8_t *tail, uint64_t size, const char **format) {
    for (const Refused &r : refused)
        if (n >= r.at + r.n && memcmp(head + r.at, r.magic, r.n) == 0) {
            *format = r.format;
            return REFUSED;
        }
    if (tail) {
        uint32_t version = static_cast<uint32_t>(tail[0]) | tail[1] << 8 | tail[2] << 16 |
                           static_cast<uint32_t>(tail[3]) << 24;
        uint32_t header = static_cast<uint32_t>(tail[4]) | tail[5] << 8 | tail[6] << 16 |
                          static_cast<uint32_t>(tail[7]) << 24;
        if (version >= 0x80000004u && version <= 0x80000006u && header > 0 && header < size) {
            *format = DISCJUGGLER;
            return REFUSED;
        }
    }
    if (n >= 6 && memcmp(head, "7z\xBC\xAF\x27\x1C", 6) == 0) return SEVEN_ZIP;
    if (ecm_is(head, n)) return ECM;
    // A ZIP is found from its end; a self-extracting one begins with a program.
    if ((n >= 4 && memcmp(head, "PK\x03\x04", 4) == 0) || ends_with(path, ".zip")) return ZIP;
    return NOT_CONTAINER;
}

// ---------------------------------------------------------------------------------------------------
// Entries

// How an entry can be the CD: a descriptor first, then an ISO, a Nero image, a raw image; -1 for none.
int rank_of(const ArchiveEntry &e) {
    static const char *const ranks[][4] = {
        {".cue", ".toc", ".ccd", ".mds"}, {".iso", nullptr}, {".nrg", nullptr}, {".bin", ".img", ".mdf", ".ecm"}};
    if (e.folder || e.size == 0) return -1;
    for (int r = 0; r < 4; ++r)
        for (int k = 0; k < 4 && ranks[r][k]; ++k)
            if (ends_with(e.name, ranks[r][k])) return r;
    return -1;
}

// The entry whose name, with either separator and in any letter case, is rel; -1 when none is.
long find_entry(const Archive *a, const char *rel) {
    for (size_t i = 0; i < a->count; ++i) {
        const char *x = a->entries[i].name, *y = rel;
        while (*x && *y && (ascii_upper(*x) == ascii_upper(*y) || (is_separator(*x) && is_separator(*y)))) ++x, ++y;
        if (!*x && !*y && !a->entries[i].folder) return static_cast<long>(i);
    }
    return -1;
}

// The entry a descriptor at `sheet` (a path below the archive's, as name_data_file composed its data file
// from it) means by `file`: the path itself inside the archive, else the name beside the sheet (a sheet
// written elsewhere names its old place); each also as an ECM file ("game.bin.ecm" for "game.bin").
long data_entry(const Archive *a, const char *archive, const char *sheet, const char *file) {
    size_t n = strlen(archive);
    const char *name = last_separator(file);
    name = name ? name + 1 : file;
    const char *sheet_name = last_separator(sheet);
    char inside[PATH_BUF], beside[PATH_BUF];
    inside[0] = beside[0] = '\0';
    if (strlen(file) > n && ascii_equal_n(file, n, archive) && is_separator(file[n]))
        fmt(inside, sizeof inside, "%s", file + n + 1);
    if (sheet_name && sheet_name >= sheet + n)
        fmt(beside, sizeof beside, "%.*s%s", static_cast<int>(sheet_name - (sheet + n)), sheet + n + 1, name);
    const char *tries[2] = {inside, beside};
    for (int ecm = 0; ecm < 2; ++ecm)
        for (const char *t : tries) {
            char want[PATH_BUF];
            if (!t[0] || fmt(want, sizeof want, ecm ? "%s.ecm" : "%s", t) >= static_cast<int>(sizeof want)) continue;
            long i = find_entry(a, want);
            if (i >= 0) return i;
        }
    return -1;
}

// The files a descriptor inside the archive names, found among its entries.
struct ArchiveSpace {
    FileSpace fs;
    const Archive *a;
    const char *archive;
    const char *sheet;
};

int entry_size(const FileSpace *fs, const char *path, uint64_t *size) {
    const ArchiveSpace *x = reinterpret_cast<const ArchiveSpace *>(fs);
    long i = data_entry(x->a, x->archive, x->sheet, path);
    // An ECM entry's size is its BIN's only once it has been walked: not known here.
    if (i < 0 || ends_with(x->a->entries[i].name, ".ecm")) return 0;
    *size = x->a->entries[i].size;
    return 1;
}

// The entry as the image's bytes: an ECM entry decoded, any other as it is.
ByteSource *entry_bytes(Archive *a, long i, const char **why) {
    if (a->entries[i].encrypted) {
        *why = ARCHIVE_ENCRYPTED;
        return nullptr;
    }
    ByteSource *b = a->ops->open(a, static_cast<size_t>(i), why);
    if (b && ends_with(a->entries[i].name, ".ecm")) b = ecm_open(b, why);
    return b;
}

// The path an entry is shown by: the archive's, then the entry's own below it.
void entry_path(const char *archive, const char *name, char *out) {
    int n = fmt(out, PATH_BUF, "%s\\%s", archive, name);
    for (int k = static_cast<int>(strlen(archive)) + 1; k < n && k < static_cast<int>(PATH_BUF); ++k)
        if (out[k] == '/') out[k] = '\\';
}

// Opens the candidate entry i as the CD into s. 1, or 0 with *why.
int open_entry(CdSrc *s, const char *archive, Archive *a, long i, const char **why) {
    char path[PATH_BUF];
    entry_path(archive, a->entries[i].name, path);
    ArchiveSpace space = {{entry_size}, a, archive, path};
    DiscTrack t;
    ByteSource *desc = entry_bytes(a, i, why);
    if (!desc) return 0;
    int ok = disc_locate_in(path, desc, &space.fs, &t, why);
    long data = ok ? data_entry(a, archive, path, t.file) : -1;
    if (ok && data < 0) *why = N_("the sheet names a data file that the archive does not hold");
    ByteSource *b = nullptr;
    if (data == i) {
        b = desc;
        desc = nullptr;
    } else if (data >= 0) {
        b = entry_bytes(a, data, why);
    }
    bytes_close(desc);
    if (!b) return 0;
    // A header that claims more would keep a decoder busy for hours.
    if (b->size > MAX_IMAGE) {
        bytes_close(b);
        *why = ARCHIVE_SIZES;
        return 0;
    }
    s->bytes = b;
    s->image_size = b->size;
    entry_path(archive, a->entries[data].name, s->path);
    if (!iso_probe_track(s, &t, ends_with(path, ".cue"))) {
        *why = NOT_CD_IMAGE;
        bytes_close(s->bytes);
        s->bytes = nullptr;
        return 0;
    }
    return 1;
}

// The candidate entries in the order they are tried: by rank, then as the archive lists them.
size_t candidates(const Archive *a, long *out) {
    size_t n = 0;
    for (int r = 0; r < 4; ++r)
        for (size_t i = 0; i < a->count; ++i)
            if (rank_of(a->entries[i]) == r) out[n++] = static_cast<long>(i);
    return n;
}

}  // namespace

int container_open(CdSrc *s, const char *path, int n, char *why, size_t cap) {
    pf_file f = pf_open_read(path, 0);
    uint64_t size = 0;
    uint8_t head[64], tail[8];
    uint32_t got = 0, tail_got = 0;
    if (f == PF_INVALID || !pf_size(f, &size) || !pf_read_at(f, 0, head, sizeof head, &got) ||
        (size >= sizeof tail && !pf_read_at(f, size - sizeof tail, tail, sizeof tail, &tail_got))) {
        pf_close(f);
        return -1;  // worded as for any other file
    }
    const char *format = nullptr, *reason = nullptr;
    Kind kind = sniff(path, head, got, tail_got == sizeof tail ? tail : nullptr, size, &format);
    if (kind == NOT_CONTAINER) {
        pf_close(f);
        return -1;
    }
    if (kind == REFUSED) {
        pf_close(f);
        fmt(why, cap, N_("%s is %s: extract it with the tool that made it, then point the setup at the ISO or the "
                         "CUE sheet"),
            path, format);
        return 0;
    }
    s->handle = f;
    if (kind == ECM) {
        ByteSource *b = bytes_span(f, 0, size, 0);
        b = b ? ecm_open(b, &reason) : nullptr;
        DiscTrack t;
        set_layout(&t, 0, 0, 0);
        s->bytes = b;
        s->image_size = b ? b->size : 0;
        fmt(s->path, sizeof s->path, "%s", path);
        if (b && !iso_probe_track(s, &t, 0)) reason = NOT_CD_IMAGE;
        if (!reason) return 1;
        fmt(why, cap, "%s: %s", path, reason);
        return 0;
    }
    Archive *a = kind == ZIP ? zip_open(f, size, &reason) : sevenzip_open(f, size, &reason);
    long *order = a ? static_cast<long *>(malloc(sizeof(long) * (a->count ? a->count : 1))) : nullptr;
    if (a && !order) reason = NO_MEMORY;
    size_t count = order ? candidates(a, order) : 0;
    s->images = static_cast<uint32_t>(count);
    if (order && count == 0) reason = N_("the archive holds no CD image");
    int opened = 0;
    for (size_t k = 0; k < count && !opened; ++k) {
        if (n >= 0 && k != static_cast<size_t>(n)) continue;
        const char *fault = nullptr;
        opened = open_entry(s, path, a, order[k], &fault);
        // The first candidate's fault is the one told when none opens.
        if (!opened && !reason) reason = fault;
    }
    free(order);
    if (a) a->ops->close(a);
    if (opened) return 1;
    if (n >= 0 && static_cast<size_t>(n) >= count && !reason) reason = N_("the archive holds no CD image");
    fmt(why, cap, "%s: %s", path, reason ? reason : ARCHIVE_DAMAGED);
    return 0;
}

ByteSource *ecm_beside(const char *data_file, pf_file *f, const char **why) {
    char ecm[PATH_BUF];
    uint64_t size = 0;
    *f = PF_INVALID;
    if (fmt(ecm, sizeof ecm, "%s.ecm", data_file) >= static_cast<int>(sizeof ecm)) return nullptr;
    *f = pf_open_read(ecm, 0);
    if (*f == PF_INVALID || !pf_size(*f, &size)) return nullptr;
    ByteSource *b = bytes_span(*f, 0, size, 0);
    return b ? ecm_open(b, why) : nullptr;
}
