// The install record: what an install created, listed in the install folder so that a removal takes
// that and nothing else, and so that a failed or stopped install can take back what it wrote.
// Portable: the file system is reached through platform.h.
//
// The record is a plain UTF-8 text, one entry a line: a path relative to the install folder with '\'
// separators, a folder's with a '\' at its end. Lines that begin with ':' say something of the record
// itself (its header, the parent folders the install made, the files the CD did not give). Anyone can
// edit a file in the install folder, so a line is only taken when it is a plain relative path; a line that
// is cut (no line end) is not taken either, since a cut path may name another file.
#include <cstdlib>
#include <cstring>

#include "install/install.h"
#include "platform/platform.h"
#include "util/setup_log.h"
#include "util/util.h"

namespace {

const char HEADER[] = ":Tovek Zarnith install record 1";
const char PARENTS[] = ":parents ";
const char MISSING[] = ":missing ";
const char MISSING_NOTE[] = ":note the files marked missing could not be read from the CD: run the setup again to add them";
constexpr unsigned MAX_PARENTS = 32;     // a path has fewer levels than this
constexpr size_t WRITE_BUFFER = 64 * 1024;

// A growing list of paths with a folder flag, in one pool of text.
struct PathItem {
    size_t at;  // offset into text
    int folder;
};
struct PathList {
    PathItem *items;
    size_t count, room;
    char *text;
    size_t used, capacity;
};

int grow_block(void **block, size_t *room, size_t need, size_t unit) {
    if (need <= *room) return 1;
    size_t grown = *room ? *room : 64;
    while (grown < need) grown *= 2;
    void *bigger = realloc(*block, grown * unit);
    if (!bigger) return 0;
    *block = bigger;
    *room = grown;
    return 1;
}

int list_add(PathList *l, const char *path, int folder) {
    size_t len = strlen(path) + 1;
    if (!grow_block(reinterpret_cast<void **>(&l->items), &l->room, l->count + 1, sizeof(PathItem)) ||
        !grow_block(reinterpret_cast<void **>(&l->text), &l->capacity, l->used + len, 1))
        return 0;
    memcpy(l->text + l->used, path, len);
    l->items[l->count++] = PathItem{l->used, folder ? 1 : 0};
    l->used += len;
    return 1;
}

const char *list_path(const PathList *l, size_t i) { return l->text + l->items[i].at; }

void list_free(PathList *l) {
    free(l->items);
    free(l->text);
    memset(l, 0, sizeof *l);
}

// FNV-1a over the path with ASCII letters in upper case: Windows takes "Game\CD" for "game\cd".
uint64_t path_hash(const char *s) {
    uint64_t h = 14695981039346656037ull;
    for (; *s; ++s) h = (h ^ static_cast<unsigned char>(ascii_upper(*s))) * 1099511628211ull;
    return h;
}

// A set of paths (open addressing over indexes into a PathList), for the lookups of a record's entries.
struct PathSet {
    size_t *slot;  // index + 1, 0 for empty
    size_t size;   // a power of two
};

int set_build(PathSet *s, const PathList *l) {
    s->size = 16;
    while (s->size < l->count * 2 + 2) s->size *= 2;
    s->slot = static_cast<size_t *>(calloc(s->size, sizeof(size_t)));
    if (!s->slot) return 0;
    for (size_t i = 0; i < l->count; ++i) {
        size_t k = path_hash(list_path(l, i)) & (s->size - 1);
        while (s->slot[k]) k = (k + 1) & (s->size - 1);
        s->slot[k] = i + 1;
    }
    return 1;
}

int set_has(const PathSet *s, const PathList *l, const char *path, int folder) {
    if (!s->slot) return 0;
    for (size_t k = path_hash(path) & (s->size - 1); s->slot[k]; k = (k + 1) & (s->size - 1)) {
        size_t i = s->slot[k] - 1;
        if (l->items[i].folder == (folder ? 1 : 0) && ascii_equal(list_path(l, i), path)) return 1;
    }
    return 0;
}

}  // namespace

struct Record {
    PathList entries;
    PathSet index;
    unsigned parents;
    uint8_t *bytes;  // the file as read, for putting it back after a roll-back
    size_t size;
};

int record_entry(const char *line, size_t n, char *out, int *folder) {
    *folder = 0;
    if (n > 0 && line[n - 1] == '\r') --n;
    if (n == 0 || n >= PATH_BUF) return 0;
    if (is_separator(line[n - 1])) {
        *folder = 1;
        --n;
    }
    // Every part a plain name: no drive, root or share (an empty first part), no "." or "..", no device,
    // nothing Windows would read as another name. A name that ends in a space or a dot is one that
    // Windows shortens, so it would name a file the install did not write.
    size_t start = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i < n && !is_separator(line[i])) continue;
        size_t len = i - start;
        if (!plain_name(line + start, len)) return 0;
        char last = line[i - 1];
        if (last == ' ' || last == '.') return 0;
        start = i + 1;
    }
    for (size_t i = 0; i < n; ++i) out[i] = line[i] == '/' ? '\\' : line[i];
    out[n] = '\0';
    return 1;
}

Record *record_parse(const uint8_t *text, size_t size) {
    Record *r = static_cast<Record *>(calloc(1, sizeof(Record)));
    if (!r) return nullptr;
    const char *p = reinterpret_cast<const char *>(text), *end = p + size;
    int header = 0;
    while (p < end) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!nl) break;  // cut: the line may name something else than was written
        size_t n = static_cast<size_t>(nl - p);
        if (n > 0 && p[n - 1] == '\r') --n;
        if (!header) {
            // Only a record of ours is read at all.
            header = n == strlen(HEADER) && memcmp(p, HEADER, n) == 0;
            if (!header) break;
        } else if (n > strlen(PARENTS) && memcmp(p, PARENTS, strlen(PARENTS)) == 0) {
            unsigned v = 0;
            size_t i = strlen(PARENTS);
            for (; i < n && p[i] >= '0' && p[i] <= '9' && v <= MAX_PARENTS; ++i) v = v * 10 + (p[i] - '0');
            if (i == n && v <= MAX_PARENTS) r->parents = v;
        } else {
            char path[PATH_BUF];
            int folder = 0;
            if (p[0] != ':' && record_entry(p, n, path, &folder) && !list_add(&r->entries, path, folder)) {
                record_free(r);
                return nullptr;
            }
        }
        p = nl + 1;
    }
    if (!set_build(&r->index, &r->entries)) {
        record_free(r);
        return nullptr;
    }
    return r;
}

Record *record_load(const char *dir) {
    char path[PATH_BUF];
    if (!join_path(path, dir, RECORD_NAME) || !path_exists(path)) return nullptr;
    // A record that is a link, a folder or too large for a record of ours names nothing.
    uint64_t size = 0;
    uint8_t *bytes = nullptr;
    pf_file f = pf_is_link(path) || is_dir(path) ? PF_INVALID : pf_open_read(path, 0);
    if (f != PF_INVALID && pf_size(f, &size) && size <= RECORD_MAX) {
        pf_close(f);
        f = PF_INVALID;
        bytes = read_file(path, &size);
    }
    pf_close(f);
    Record *r = record_parse(bytes ? bytes : reinterpret_cast<const uint8_t *>(""), bytes ? size : 0);
    if (r && bytes) {
        r->bytes = bytes;
        r->size = static_cast<size_t>(size);
    } else {
        free(bytes);
    }
    return r;
}

size_t record_count(const Record *r) { return r ? r->entries.count : 0; }

const char *record_path(const Record *r, size_t i, int *folder) {
    *folder = r->entries.items[i].folder;
    return list_path(&r->entries, i);
}

unsigned record_parents(const Record *r) { return r ? r->parents : 0; }

int record_lists(const Record *r, const char *rel, int folder) {
    return r && set_has(&r->index, &r->entries, rel, folder);
}

void record_free(Record *r) {
    if (!r) return;
    list_free(&r->entries);
    free(r->index.slot);
    free(r->bytes);
    free(r);
}

// ---------------------------------------------------------------------------------------------------
// Writing the record during an install, and taking back what the install created

struct RecordRun {
    char dir[PATH_BUF];
    char path[PATH_BUF];   // the record file
    pf_file file;
    const Record *earlier;
    int dir_made;          // this run made the install folder
    unsigned parents_made; // and so many folders above it
    PathList created;      // what did not exist before this run, in the order noted
    PathList fresh;        // folders this run made whose parent it did not make: nothing below them existed
    char *buffer;          // lines not yet written
    size_t pending;
    int failed;
    int missing;           // a file that the CD did not give is noted
};

namespace {

void put_line(RecordRun *r, const char *text, int folder) {
    size_t n = strlen(text);
    if (r->failed || n + 2 > WRITE_BUFFER) {
        r->failed = 1;
        return;
    }
    if (r->pending + n + 2 > WRITE_BUFFER && !record_flush(r, 0)) return;
    memcpy(r->buffer + r->pending, text, n);
    r->pending += n;
    if (folder) r->buffer[r->pending++] = '\\';
    r->buffer[r->pending++] = '\n';
}

// Removes the n folders above dir that an install made, nearest first, each only when empty and never a
// drive or share root. How many went.
unsigned remove_parents(const char *dir, unsigned n) {
    char up[PATH_BUF], whole[PATH_BUF];
    fmt(up, sizeof up, "%s", dir);
    unsigned removed = 0;
    for (char *cut; removed < n && (cut = last_separator(up)) != nullptr; ++removed) {
        *cut = '\0';
        if (folder_form(up, whole) == FOLDER_ROOT || !pf_rmdir(up)) break;
    }
    return removed;
}

// 1 when rel lies inside a folder that this run made from nothing.
int below_fresh(const RecordRun *r, const char *rel) {
    for (size_t i = 0; i < r->fresh.count; ++i) {
        const char *f = list_path(&r->fresh, i);
        size_t n = strlen(f);
        if (strlen(rel) > n && is_separator(rel[n]) && ascii_equal_n(rel, n, f)) return 1;
    }
    return 0;
}

}  // namespace

RecordRun *record_begin(const char *dir, const Record *earlier, int dir_made, unsigned parents_made) {
    RecordRun *r = static_cast<RecordRun *>(calloc(1, sizeof(RecordRun)));
    if (!r) {
        setup_log("not enough memory for the install record");
        return nullptr;
    }
    r->file = PF_INVALID;
    fmt(r->dir, sizeof r->dir, "%s", dir);
    r->earlier = earlier;
    r->dir_made = dir_made;
    r->parents_made = parents_made;
    r->buffer = static_cast<char *>(malloc(WRITE_BUFFER));
    int existed = 0;
    if (!r->buffer || !join_path(r->path, dir, RECORD_NAME)) {
        setup_log("not enough memory for the install record");
    } else if ((existed = path_exists(r->path)), (r->file = pf_create_readable(r->path)) == PF_INVALID) {
        log_failure("cannot write %s (%s)", r->path, pf_last_error());
    } else {
        if (!existed) list_add(&r->created, RECORD_NAME, 0);
        put_line(r, HEADER, 0);
        char line[32];
        unsigned parents = parents_made;
        // A reinstall keeps the folders that the first install made above the install folder.
        if (!dir_made && record_parents(earlier) > parents) parents = record_parents(earlier);
        fmt(line, sizeof line, "%s%u", PARENTS, parents);
        put_line(r, line, 0);
        put_line(r, RECORD_NAME, 0);
        // The earlier install's entries that are still there stay listed: their removal is still due.
        char full[PATH_BUF];
        for (size_t i = 0; i < record_count(earlier); ++i) {
            int folder = 0;
            const char *rel = record_path(earlier, i, &folder);
            if (ascii_equal(rel, RECORD_NAME) || !join_path(full, dir, rel) || !path_exists(full)) continue;
            put_line(r, rel, folder);
        }
        if (record_flush(r, 1)) return r;
    }
    record_roll_back(r);
    return nullptr;
}

int record_note(RecordRun *r, const char *rel, int folder) {
    char full[PATH_BUF];
    if (r->failed || !join_path(full, r->dir, rel)) {
        r->failed = 1;
        setup_log("cannot write the install record %s", r->path);
        return 0;
    }
    int is_new = below_fresh(r, rel) || !path_exists(full);
    // An earlier entry that is still there was listed at the start; one that has gone is listed anew.
    if (is_new || !record_lists(r->earlier, rel, folder)) put_line(r, rel, folder);
    if (is_new) {
        int ok = list_add(&r->created, rel, folder);
        if (ok && folder && !below_fresh(r, rel)) ok = list_add(&r->fresh, rel, 1);
        if (!ok) r->failed = 1;
    }
    if (r->failed) setup_log("cannot write the install record %s", r->path);
    return !r->failed;
}

int record_missing(RecordRun *r, const char *rel) {
    char line[PATH_BUF + 16];
    if (!r->missing) put_line(r, MISSING_NOTE, 0);
    r->missing = 1;
    fmt(line, sizeof line, "%s%s", MISSING, rel);
    put_line(r, line, 0);
    if (r->failed) setup_log("cannot write the install record %s", r->path);
    return !r->failed;
}

int record_flush(RecordRun *r, int to_disk) {
    if (r->failed) return 0;
    uint32_t put = 0;
    int called = r->pending == 0 || pf_write(r->file, r->buffer, static_cast<uint32_t>(r->pending), &put);
    if (!called || (r->pending && put != r->pending) || (to_disk && !pf_flush(r->file))) {
        log_failure("write failed: %s (%s)", r->path, write_error(called));
        r->failed = 1;
        return 0;
    }
    r->pending = 0;
    return 1;
}

static void run_free(RecordRun *r) {
    pf_close(r->file);
    list_free(&r->created);
    list_free(&r->fresh);
    free(r->buffer);
    free(r);
}

int record_finish(RecordRun *r) {
    int ok = record_flush(r, 0);
    run_free(r);
    return ok;
}

void record_roll_back(RecordRun *r) {
    if (!r) return;
    pf_close(r->file);
    r->file = PF_INVALID;
    unsigned files = 0, folders = 0;
    char full[PATH_BUF];
    // Newest first: a folder's content goes before the folder, which goes only when empty (whatever
    // else came into it meanwhile stays).
    for (size_t i = r->created.count; i-- > 0;) {
        const char *rel = list_path(&r->created, i);
        if (!join_path(full, r->dir, rel)) continue;
        if (r->created.items[i].folder) {
            if (pf_rmdir(full)) ++folders;
        } else if (!pf_is_link(full)) {
            pf_set_normal(full);
            if (pf_delete(full)) ++files;
        }
    }
    // The earlier record as it was.
    const Record *e = r->earlier;
    if (e && e->bytes && !write_file(r->path, e->bytes, e->size)) setup_log("cannot put back the install record %s", r->path);
    if (r->dir_made && pf_rmdir(r->dir)) folders += 1 + remove_parents(r->dir, r->parents_made);
    setup_log("Rolled back: removed %u files and %u folders that this installation had made", files, folders);
    run_free(r);
}

// ---------------------------------------------------------------------------------------------------
// Removing what a record lists

namespace {

// The folders of the install folder that a removal has found to be real folders all the way down
// from the install folder: nothing is deleted through a link or junction.
struct SafeFolders {
    const char *dir;
    PathList checked;  // the folder flag says whether it was safe
};

int folder_safe(SafeFolders *s, const char *rel) {
    if (!*rel) return 1;  // the install folder itself
    for (size_t i = s->checked.count; i-- > 0;)
        if (ascii_equal(list_path(&s->checked, i), rel)) return s->checked.items[i].folder;
    char parent[PATH_BUF], full[PATH_BUF];
    fmt(parent, sizeof parent, "%s", rel);
    char *cut = last_separator(parent);
    if (cut)
        *cut = '\0';
    else
        parent[0] = '\0';
    int safe = folder_safe(s, parent) && join_path(full, s->dir, rel) && is_dir(full) && !pf_is_link(full);
    list_add(&s->checked, rel, safe);
    return safe;
}

// The folder part of rel ("" for a name directly in the install folder).
void parent_of(const char *rel, char *out) {
    fmt(out, PATH_BUF, "%s", rel);
    char *cut = last_separator(out);
    if (cut)
        *cut = '\0';
    else
        out[0] = '\0';
}

}  // namespace

int record_remove(const char *dir, const Record *r) {
    SafeFolders safe = {dir, {}};
    char full[PATH_BUF], parent[PATH_BUF];
    int left = 0;
    for (size_t i = 0; i < record_count(r); ++i) {
        int folder = 0;
        const char *rel = record_path(r, i, &folder);
        if (folder || ascii_equal(rel, RECORD_NAME)) continue;
        parent_of(rel, parent);
        if (!folder_safe(&safe, parent) || !join_path(full, dir, rel) || !path_exists(full)) continue;
        if (pf_is_link(full)) {
            pf_remove_link(full);
        } else if (!is_dir(full)) {
            pf_set_normal(full);
            pf_delete(full);
        }
        left |= path_exists(full);
    }
    // The game's writable tree goes with all it holds when the install made it: the saved games and
    // settings the player made there are the game's (the removal's question names them).
    int hd_left = 0;
    if (record_lists(r, "game\\hd", 1) && folder_safe(&safe, "game\\hd") && join_path(full, dir, "game\\hd")) {
        delete_tree(full);
        hd_left = path_exists(full);  // a link in it stays, as links of the player's do
    }
    // Folders newest first, each only when empty: one that holds anything not listed stays with it.
    for (size_t i = record_count(r); i-- > 0;) {
        int folder = 0;
        const char *rel = record_path(r, i, &folder);
        if (!folder || !join_path(full, dir, rel)) continue;
        parent_of(rel, parent);
        if (!folder_safe(&safe, parent)) continue;
        if (pf_is_link(full))
            pf_remove_link(full);
        else
            pf_rmdir(full);
    }
    list_free(&safe.checked);
    // Kept while a listed file is still there (one in use), so that a second removal finds the rest.
    if (!left && join_path(full, dir, RECORD_NAME) && !pf_is_link(full)) {
        pf_set_normal(full);
        pf_delete(full);
    }
    left |= hd_left;
    if (pf_rmdir(dir)) remove_parents(dir, record_parents(r));
    return left ? 0 : 1;
}
