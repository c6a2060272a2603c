#include "util/util.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "util/setup_log.h"

static uint8_t buf[1 << 20];  // copy_file's transfer buffer
static std::atomic<int> stopping;  // a stop asked for from another thread

void copy_stop(int on) { stopping.store(on ? 1 : 0); }

int copy_stopping() { return stopping.load(std::memory_order_relaxed); }

int join_path(char *out, const char *folder, const char *name) {
    int n = fmt(out, PATH_BUF, "%s\\%s", folder, name);
    return n >= 0 && static_cast<size_t>(n) < PATH_BUF;
}

void describe_error(unsigned long code, char *out, size_t cap) {
    char text[LOG_BUF / 2];
    pf_error_message(code, text, sizeof text);
    if (text[0])
        fmt(out, cap, N_("error %lu: %s"), code, text);
    else
        fmt(out, cap, N_("error %lu"), code);
}

unsigned long write_error(int call_ok) { return call_ok ? PF_ERR_DISK_FULL : pf_last_error(); }

void log_failure(const char *format, const char *path, unsigned long code) {
    char cause[LOG_BUF / 2];
    describe_error(code, cause, sizeof cause);
    setup_log(format, path, cause);
}

void progress_add(Progress *p, uint64_t n) {
    p->done += n;
    if (p->callback) p->callback(p->done, p->total, p->user);
}

int path_exists(const char *path) { return pf_attributes(path) != PF_ATTR_INVALID; }

int is_dir(const char *path) {
    uint32_t a = pf_attributes(path);
    return a != PF_ATTR_INVALID && (a & PF_ATTR_DIRECTORY) ? 1 : 0;
}

int make_dirs(const char *path) {
    char p[PATH_BUF];
    fmt(p, sizeof p, "%s", path);
    // An existing folder has all its parents: one query instead of a failing create per level (the
    // folder copy asks this for every file it writes).
    if (is_dir(p)) return 1;
    size_t len = strlen(p);
    for (size_t i = 3; i < len; ++i) {
        if (p[i] != '\\' && p[i] != '/') continue;
        char sep = p[i];
        p[i] = '\0';
        pf_mkdir(p);
        p[i] = sep;
    }
    pf_mkdir(p);
    return is_dir(p);
}

// Creates the folder that will hold `path` (the part before its last '\').
static void make_parent(const char *path) {
    char parent[PATH_BUF];
    fmt(parent, sizeof parent, "%s", path);
    char *cut = last_separator(parent);
    if (!cut) return;
    *cut = '\0';
    make_dirs(parent);
}

int write_file(const char *path, const void *data, uint64_t size) {
    make_parent(path);
    pf_file f = pf_create(path);
    if (f == PF_INVALID) {
        log_failure("cannot write %s (%s)", path, pf_last_error());
        return 0;
    }
    uint32_t put = 0;
    // One call with a 32-bit count: 4 GiB or more can never be written whole and so fails.
    int called = pf_write(f, data, static_cast<uint32_t>(size), &put);
    unsigned long code = write_error(called);
    int ok = called && static_cast<uint64_t>(put) == size;
    pf_close(f);
    if (!ok) {
        log_failure("write failed: %s (%s)", path, size > 0xFFFFFFFFull ? PF_ERR_INVALID_PARAMETER : code);
        return 0;
    }
    return 1;
}

uint8_t *read_file(const char *path, uint64_t *size) {
    pf_file f = pf_open_read(path, 0);
    if (f == PF_INVALID) return nullptr;
    uint64_t n = 0;
    uint8_t *data = nullptr;
    uint32_t got = 0;
    int called = 0;
    // A file of 4 GiB or more cannot be read in one call; refuse it before allocating.
    if (!pf_size(f, &n) || n >= 0xFFFFFFFFull) goto fail;
    data = static_cast<uint8_t *>(malloc(n + 1));
    if (!data) goto fail;
    called = pf_read(f, data, static_cast<uint32_t>(n), &got);
    if (!called || got != n) {
        // The file opened yet did not read whole: a device error, or a file cut while being read.
        log_failure("read failed: %s (%s)", path, called ? PF_ERR_HANDLE_EOF : pf_last_error());
        goto fail;
    }
    pf_close(f);
    *size = n;
    return data;
fail:
    free(data);
    pf_close(f);
    return nullptr;
}

int copy_file(const char *source, const char *dest, Progress *p) {
    make_parent(dest);
    return copy_file_with(source, dest, p, buf, sizeof buf);
}

int sum_file(const char *path, FileSum *sum) { return copy_file_with(path, nullptr, nullptr, buf, sizeof buf, sum); }

int copy_file_with(const char *source, const char *dest, Progress *p, uint8_t *buffer, uint32_t cap, FileSum *sum) {
    if (sum) *sum = FileSum{0, 0};
    pf_file in = pf_open_read(source, 1);
    if (in == PF_INVALID) {
        setup_log("cannot read %s", source);
        return 0;
    }
    int existed = 0;
    pf_file out = dest ? pf_overwrite(dest, &existed) : PF_INVALID;
    if (dest && out == PF_INVALID) {
        pf_close(in);
        setup_log("cannot write %s", dest);
        return 0;
    }
    uint32_t crc = 0;
    int result;
    for (;;) {
        uint32_t got = 0, put = 0;
        if (!pf_read(in, buffer, cap, &got)) {
            log_failure("read failed: %s (%s)", source, pf_last_error());
            result = 0;
            break;
        }
        if (got == 0) {
            // Over an earlier file, what lay beyond the new end goes only now that the copy is whole.
            result = !existed || pf_set_end(out);
            if (!result) log_failure("write failed: %s (%s)", dest, pf_last_error());
            break;
        }
        // Summed while the chunk is still in the cache from the read.
        if (sum) crc = crc32_add(crc, buffer, got);
        int called = dest ? pf_write(out, buffer, got, &put) : (put = got, 1);
        if (!called || put != got) {
            log_failure("write failed: %s (%s)", dest, write_error(called));
            result = 0;
            break;
        }
        if (p) progress_add(p, got);
        if (copy_stopping()) {
            result = 0;
            break;
        }
    }
    pf_close(in);
    pf_close(out);
    if (sum && result) *sum = FileSum{crc, 1};
    return result;
}

int delete_tree(const char *path) {
    PfList *l = pf_list_open(path);
    if (l) {
        PfEntry e;
        char child[PATH_BUF];
        while (pf_list_next(l, &e)) {
            // A cut path would name something else (at worst this very folder again): leave it.
            if (!join_path(child, path, e.name)) continue;
            if (e.reparse || pf_is_link(child)) {
                // A junction or link: remove the link only, never what it points to.
                pf_remove_link(child);
            } else if (e.directory) {
                delete_tree(child);
            } else {
                pf_set_normal(child);
                pf_delete(child);
            }
        }
        pf_list_close(l);
    }
    return pf_rmdir(path);
}

size_t utf16_units(const char *s) {
    size_t n = 0;
    for (const unsigned char *b = reinterpret_cast<const unsigned char *>(s); *b; ++b) {
        if ((*b & 0xC0) != 0x80) ++n;  // every byte but a continuation byte starts a character
        if (*b >= 0xF0) ++n;           // four bytes: a surrogate pair
    }
    return n;
}

int utf8_valid(const char *s, size_t n) {
    unsigned long cp;
    for (size_t len; n; s += len, n -= len)
        if (!(len = utf8_next(s, n, &cp))) return 0;
    return 1;
}
