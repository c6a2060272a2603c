// Fuzzes the install record's reader: whatever the bytes, every entry it takes is a relative path of
// plain names inside the install folder, fits a path buffer, and is found again by its own lookup.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "install/install.h"

static void must(int ok, const char *what, const char *path) {
    if (ok) return;
    fprintf(stderr, "%s: %s\n", what, path);
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    Record *r = record_parse(data, size);
    if (!r) return 0;
    for (size_t i = 0; i < record_count(r); ++i) {
        int folder = 0;
        const char *p = record_path(r, i, &folder);
        size_t n = strnlen(p, PATH_BUF);
        must(n > 0 && n < PATH_BUF, "empty or unbounded entry", p);
        must(p[0] != '\\' && !strchr(p, '/') && !strchr(p, ':'), "a root, drive or stray separator", p);
        must(p[n - 1] != '\\' && !strstr(p, "\\\\"), "an empty part", p);
        for (const char *part = p; part;) {
            const char *end = strchr(part, '\\');
            size_t len = end ? static_cast<size_t>(end - part) : strlen(part);
            must(plain_name(part, len), "a part that is no plain name", p);
            part = end ? end + 1 : nullptr;
        }
        must(record_lists(r, p, folder), "an entry its own lookup does not find", p);
    }
    must(record_parents(r) <= 32, "too many parents", "");
    record_free(r);
    return 0;
}
