// The forms of paths, from their text alone: what an install folder may be, and one path inside another.
#include <cstring>

#include "platform/platform.h"
#include "util/util.h"

namespace {

// The next part of a path at *i (separators skipped), as [start, end); 0 at the end.
int next_part(const char *p, size_t *i, size_t *start) {
    while (p[*i] && is_separator(p[*i])) ++*i;
    *start = *i;
    while (p[*i] && !is_separator(p[*i])) ++*i;
    return *i > *start;
}

}  // namespace

int folder_form(const char *dir, char *out) {
    if (!dir || fmt(out, PATH_BUF, "%s", dir) >= static_cast<int>(PATH_BUF)) return FOLDER_TOO_LONG;
    size_t len = strlen(out);
    while (len > 0 && is_separator(out[len - 1])) out[--len] = '\0';
    size_t i;
    if (len >= 2 && ascii_upper(out[0]) >= 'A' && ascii_upper(out[0]) <= 'Z' && out[1] == ':') {
        // "C:" alone is taken for the drive as a whole; "C:Games" is relative to C's current folder.
        if (len == 2) return FOLDER_ROOT;
        if (!is_separator(out[2])) return FOLDER_NOT_FULL;
        i = 3;
    } else if (len >= 2 && is_separator(out[0]) && is_separator(out[1])) {
        // \\server\share is the root of a network path.
        i = 2;
        size_t start;
        if (!next_part(out, &i, &start)) return FOLDER_NOT_FULL;
        if (!next_part(out, &i, &start)) return FOLDER_NOT_FULL;
    } else {
        return FOLDER_NOT_FULL;
    }
    int parts = 0;
    size_t start;
    while (next_part(out, &i, &start)) {
        // Windows drops trailing dots and spaces, so "..." and ". ." act like "." or "..".
        int only_dots = 1;
        for (size_t k = start; k < i; ++k)
            if (out[k] != '.' && out[k] != ' ') only_dots = 0;
        if (only_dots) return FOLDER_DOTS;
        // Windows drops a trailing space or dot, so such a folder would be made under another name; and
        // it refuses wildcards, '<', '>', '"', '|', ':' and control characters, and device names.
        if (out[i - 1] == ' ' || out[i - 1] == '.') return FOLDER_TRAILING;
        for (size_t k = start; k < i; ++k)
            if (static_cast<unsigned char>(out[k]) < 0x20 || strchr("<>:\"|?*", out[k])) return FOLDER_BAD_NAME;
        if (name_is_device(out + start, i - start)) return FOLDER_BAD_NAME;
        ++parts;
    }
    return parts > 0 ? FOLDER_OK : FOLDER_ROOT;
}

int path_inside(const char *inner, const char *outer) {
    size_t i = 0, o = 0, si, so;
    for (;;) {
        int more_o = next_part(outer, &o, &so);
        int more_i = next_part(inner, &i, &si);
        if (!more_o) return 1;
        if (!more_i || i - si != o - so) return 0;
        for (size_t k = 0; k < i - si; ++k)
            if (ascii_upper(inner[si + k]) != ascii_upper(outer[so + k])) return 0;
    }
}

int self_folder(char *out, size_t cap) {
    if (!pf_self_path(out, cap)) return 0;
    char *cut = last_separator(out);
    if (cut) *cut = '\0';
    return 1;
}

int missing_levels(const char *path) {
    char p[PATH_BUF];
    fmt(p, sizeof p, "%s", path);
    int n = 0;
    while (p[0] && !is_dir(p)) {
        ++n;
        char *cut = last_separator(p);
        if (!cut || cut == p + 2) break;  // the root of a drive ("C:\") or of the path
        *cut = '\0';
    }
    return n;
}

unsigned long make_dirs_error(const char *path, char *level) {
    char p[PATH_BUF];
    fmt(p, sizeof p, "%s", path);
    size_t len = strlen(p);
    // The first level that is not a folder: a file in its place, or the reason it cannot be made.
    for (size_t i = 3; i <= len; ++i) {
        if (i < len && !is_separator(p[i])) continue;
        char sep = p[i];
        p[i] = '\0';
        if (!is_dir(p)) {
            fmt(level, PATH_BUF, "%s", p);
            if (path_exists(p)) return PF_ERR_ALREADY_EXISTS;
            if (!pf_mkdir(p)) return pf_last_error();
            pf_rmdir(p);  // made now after all: not the cause, and not to be left behind
        }
        p[i] = sep;
    }
    fmt(level, PATH_BUF, "%s", path);
    return PF_ERR_PATH_NOT_FOUND;
}

int name_is_device(const char *name, size_t n) {
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    // The base name is what comes before the first '.', less trailing spaces: "nul .txt" is NUL too.
    size_t len = 0;
    while (len < n && name[len] != '.') ++len;
    while (len > 0 && name[len - 1] == ' ') --len;
    char base[8];
    if (len > 7) return 0;
    for (size_t i = 0; i < len; ++i) base[i] = ascii_upper(name[i]);
    base[len] = '\0';
    for (const char *d : devices)
        if (strcmp(base, d) == 0) return 1;
    if (len < 4 || (memcmp(base, "COM", 3) != 0 && memcmp(base, "LPT", 3) != 0)) return 0;
    unsigned char c = static_cast<unsigned char>(base[3]);
    if (len == 4) return c >= '0' && c <= '9';
    // Windows also takes the superscript digits 1, 2 and 3 (U+00B9, U+00B2, U+00B3) as port numbers.
    unsigned char d = static_cast<unsigned char>(base[4]);
    return len == 5 && c == 0xC2 && (d == 0xB9 || d == 0xB2 || d == 0xB3);
}

int plain_name(const char *s, size_t n) {
    if (n == 0) return 0;
    int only_dots = 1;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F || strchr("\\/:*?\"<>|", c)) return 0;
        if (c != '.' && c != ' ') only_dots = 0;
    }
    // Names are UTF-8 bytes for the file system; a byte that is not UTF-8 would turn into U+FFFD on the way,
    // and two names that differ only there would land in one file.
    return !only_dots && utf8_valid(s, n) && !name_is_device(s, n);
}
