// The CD's known releases (module install): the reader of the list the setup carries (res/make_dat.py
// writes it), the decision of what a CD is, and the CD's own DAT for a release nobody listed yet.
#include "install/install.h"

#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"
#include "util/bytes.h"

namespace {

constexpr char MAGIC[4] = {'Z', 'C', 'D', 'L'};
constexpr uint32_t VERSION = 1;
constexpr uint32_t MAX_RELEASES = 4096, MAX_FILES = 1u << 20, MAX_RELEASE_FILES = 65535;
constexpr uint32_t MAX_TEXT = 64u << 20;
constexpr uint64_t MAX_SIZE = uint64_t(1) << 40;
constexpr size_t HEAD = 20, RELEASE = 12, FILE = 16;

uint32_t le32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

const uint8_t *release_at(const ReleaseList *l, uint32_t r) { return l->data + HEAD + RELEASE * r; }
const uint8_t *file_at(const ReleaseList *l, uint32_t i) { return l->data + HEAD + RELEASE * l->releases + FILE * i; }
const char *text_at(const ReleaseList *l, uint32_t at) {
    return reinterpret_cast<const char *>(l->data) + HEAD + RELEASE * l->releases + FILE * l->files + at;
}

// 1 when the name at offset `at` of the names ends inside them, is shorter than PATH_BUF, well-formed
// UTF-8 and free of control characters; a path must also be plain names between '\'.
int name_ok(const ReleaseList *l, uint32_t at, int path) {
    if (at >= l->text) return 0;
    const char *s = text_at(l, at);
    const void *nul = memchr(s, '\0', l->text - at);
    if (!nul) return 0;
    size_t n = static_cast<size_t>(static_cast<const char *>(nul) - s);
    if (n == 0 || n >= PATH_BUF || !utf8_valid(s, n)) return 0;
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(s[i]) < 0x20 || s[i] == 0x7F) return 0;
    if (!path) return 1;
    for (size_t start = 0; start <= n;) {
        const char *end = static_cast<const char *>(memchr(s + start, '\\', n - start));
        size_t len = (end ? static_cast<size_t>(end - s) : n) - start;
        int only_dots = 1;
        for (size_t i = start; i < start + len; ++i) {
            if (strchr("/:*?\"<>|", s[i])) return 0;
            if (s[i] != '.' && s[i] != ' ') only_dots = 0;
        }
        if (len == 0 || only_dots) return 0;
        start += len + 1;
    }
    return 1;
}

// A path's letter as the comparison takes it: ASCII letters in one case, '/' as '\'.
inline unsigned char folded(char c) { return static_cast<unsigned char>(c == '/' ? '\\' : ascii_upper(c)); }

int path_compare(const char *a, const char *b) {
    for (;; ++a, ++b) {
        unsigned char x = folded(*a), y = folded(*b);
        if (x != y || !x) return x < y ? -1 : x > y;
    }
}

size_t parts_of(const char *path) {
    size_t n = 1;
    for (; *path; ++path) n += is_separator(*path);
    return n;
}

// The CD's files in the order of their paths, for finding a release's files among them.
struct Sorted {
    const CdFile *files;
    const CdFile **order;
    size_t n;
};

int by_path(const void *x, const void *y) {
    return path_compare((*static_cast<const CdFile *const *>(x))->rel, (*static_cast<const CdFile *const *>(y))->rel);
}

// The index of the CD's file at `path`, or n.
size_t find(const Sorted *s, const char *path) {
    size_t lo = 0, hi = s->n;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        int c = path_compare(s->order[mid]->rel, path);
        if (c == 0) return static_cast<size_t>(s->order[mid] - s->files);
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return s->n;
}

// How one release fares against the CD; with v, also each file's state and the missing files. taken
// (one byte per file of the CD) keeps a file of the CD from counting twice when a list names it twice.
struct Tally {
    size_t matched, differ, missing;
};
Tally tally(const ReleaseList *l, uint32_t r, const Sorted *s, size_t max_parts, int sizes_only, uint8_t *taken,
            Verdict *v) {
    Tally t = {0, 0, 0};
    memset(taken, 0, s->n);
    for (uint32_t i = 0; i < release_file_count(l, r); ++i) {
        ReleaseFile f = release_file(l, r, i);
        if (parts_of(f.path) > max_parts) continue;
        size_t k = find(s, f.path);
        if (k == s->n) {
            if (v) v->missing_files[t.missing] = i;
            ++t.missing;
            continue;
        }
        if (taken[k]) continue;
        taken[k] = 1;
        const CdFile &c = s->files[k];
        int same = c.size == f.size && (sizes_only || (c.summed && c.crc == f.crc));
        if (v) {
            v->state[k] = same ? FILE_MATCHES : FILE_DIFFERS;
            v->file_of[k] = i;
        }
        ++(same ? t.matched : t.differ);
    }
    return t;
}

}  // namespace

int releases_read(const uint8_t *data, size_t n, ReleaseList *l) {
    Cursor c = cursor(data, n, 0);
    const uint8_t *magic;
    if (!cur_take(&c, 4, &magic) || memcmp(magic, MAGIC, 4) != 0 || get_le(&c, 4) != VERSION) return 0;
    ReleaseList v = {data, static_cast<uint32_t>(get_le(&c, 4)), static_cast<uint32_t>(get_le(&c, 4)),
                     static_cast<uint32_t>(get_le(&c, 4))};
    if (c.failed || v.releases < 1 || v.releases > MAX_RELEASES || v.files < 1 || v.files > MAX_FILES ||
        v.text > MAX_TEXT || n != HEAD + RELEASE * uint64_t(v.releases) + FILE * uint64_t(v.files) + v.text)
        return 0;
    uint32_t next = 0;
    for (uint32_t r = 0; r < v.releases; ++r) {
        const uint8_t *p = release_at(&v, r);
        uint32_t first = le32(p + 4), count = le32(p + 8);
        if (first != next || count < 1 || count > MAX_RELEASE_FILES || count > v.files - first ||
            !name_ok(&v, le32(p), 0))
            return 0;
        next = first + count;
    }
    if (next != v.files) return 0;
    for (uint32_t i = 0; i < v.files; ++i) {
        const uint8_t *p = file_at(&v, i);
        if (!name_ok(&v, le32(p), 1) || (uint64_t(le32(p + 8)) | uint64_t(le32(p + 12)) << 32) > MAX_SIZE) return 0;
    }
    *l = v;
    return 1;
}

const char *release_name(const ReleaseList *l, uint32_t r) { return text_at(l, le32(release_at(l, r))); }

uint32_t release_file_count(const ReleaseList *l, uint32_t r) { return le32(release_at(l, r) + 8); }

ReleaseFile release_file(const ReleaseList *l, uint32_t r, uint32_t i) {
    const uint8_t *p = file_at(l, le32(release_at(l, r) + 4) + i);
    return ReleaseFile{text_at(l, le32(p)), uint64_t(le32(p + 8)) | uint64_t(le32(p + 12)) << 32, le32(p + 4)};
}

int cd_decide(const ReleaseList *l, const CdFile *files, size_t n, size_t max_parts, int sizes_only, Verdict *v) {
    memset(v, 0, sizeof *v);
    if (!l) return 1;  // CD_NO_LIST
    Sorted s = {files, static_cast<const CdFile **>(malloc(sizeof(CdFile *) * (n ? n : 1))), n};
    uint8_t *taken = static_cast<uint8_t *>(malloc(n ? n : 1));
    if (!s.order || !taken) {
        free(s.order);
        free(taken);
        return 0;
    }
    for (size_t i = 0; i < n; ++i) s.order[i] = &files[i];
    qsort(s.order, n, sizeof(CdFile *), by_path);

    // The release with the most of its files on the CD, whole; on a tie the one with the fewest that
    // differ or are missing (a release that adds files to another is that one when they are there, the
    // other when they are not), then the first.
    uint32_t best = 0;
    Tally bt = tally(l, 0, &s, max_parts, sizes_only, taken, nullptr);
    for (uint32_t r = 1; r < l->releases; ++r) {
        Tally t = tally(l, r, &s, max_parts, sizes_only, taken, nullptr);
        if (t.matched > bt.matched || (t.matched == bt.matched && t.differ + t.missing < bt.differ + bt.missing)) {
            best = r;
            bt = t;
        }
    }
    // The CD is that release when more than half of its files are the release's, whole: a rip with bad
    // sectors or a copy that stopped early keeps most of them, another release (a reissue, a translation,
    // a collection) changes or adds most of them. Whole and complete, it is the release; else a damaged
    // copy of it.
    if (2 * bt.matched <= n)
        v->kind = CD_UNKNOWN;
    else
        v->kind = bt.differ == 0 && bt.missing == 0 ? CD_EXACT : CD_DAMAGED;
    v->release = best;
    v->matched = bt.matched;
    v->differ = bt.differ;
    v->missing = bt.missing;
    v->not_listed = n - bt.matched - bt.differ;
    int ok = 1;
    if (v->kind != CD_UNKNOWN) {
        v->state = static_cast<uint8_t *>(malloc(n));
        v->file_of = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * n));
        v->missing_files = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * (bt.missing ? bt.missing : 1)));
        if (v->state && v->file_of && v->missing_files) {
            memset(v->state, FILE_NOT_LISTED, n);
            tally(l, best, &s, max_parts, sizes_only, taken, v);
        } else {
            verdict_free(v);
            ok = 0;
        }
    }
    free(s.order);
    free(taken);
    return ok;
}

void verdict_free(Verdict *v) {
    free(v->state);
    free(v->file_of);
    free(v->missing_files);
    v->state = nullptr;
    v->file_of = nullptr;
    v->missing_files = nullptr;
}

namespace {

// A growing text for the DAT.
struct Text {
    char *p;
    size_t len, cap;
    int failed;
};

void put(Text *t, const char *s, size_t n) {
    if (t->failed) return;
    if (t->len + n + 1 > t->cap) {
        size_t cap = t->cap ? t->cap : 4096;
        while (cap < t->len + n + 1) cap *= 2;
        char *grown = static_cast<char *>(realloc(t->p, cap));
        if (!grown) {
            t->failed = 1;
            return;
        }
        t->p = grown;
        t->cap = cap;
    }
    memcpy(t->p + t->len, s, n);
    t->len += n;
    t->p[t->len] = '\0';
}

void put(Text *t, const char *s) { put(t, s, strlen(s)); }

// An attribute's value with XML's five special characters as entities.
void put_escaped(Text *t, const char *s) {
    for (; *s; ++s) {
        switch (*s) {
        case '&': put(t, "&amp;"); break;
        case '<': put(t, "&lt;"); break;
        case '>': put(t, "&gt;"); break;
        case '"': put(t, "&quot;"); break;
        case '\'': put(t, "&apos;"); break;
        default: put(t, s, 1);
        }
    }
}

}  // namespace

char *cd_dat_text(const CdFile *files, size_t n, const char *name, size_t *len) {
    Text t = {nullptr, 0, 0, 0};
    put(&t, "<?xml version=\"1.0\"?>\n"
            "<!DOCTYPE datafile PUBLIC \"-//Logiqx//DTD ROM Management Datafile//EN\" "
            "\"http://www.logiqx.com/Dats/datafile.dtd\">\n"
            "<datafile>\n\t<header>\n\t\t<name>Tovek Zarnith CD</name>\n"
            "\t\t<description>Written by the Tovek Zarnith setup</description>\n\t</header>\n\t<game name=\"");
    put_escaped(&t, name);
    put(&t, "\">\n\t\t<description>");
    put_escaped(&t, name);
    put(&t, "</description>\n");
    for (size_t i = 0; i < n; ++i) {
        if (!files[i].summed) continue;
        char numbers[64];
        put(&t, "\t\t<rom name=\"");
        put_escaped(&t, files[i].rel);
        fmt(numbers, sizeof numbers, "\" size=\"%llu\" crc=\"%08x\"/>\n",
            static_cast<unsigned long long>(files[i].size), files[i].crc);
        put(&t, numbers);
    }
    put(&t, "\t</game>\n</datafile>\n");
    if (t.failed) {
        free(t.p);
        return nullptr;
    }
    *len = t.len;
    return t.p;
}
