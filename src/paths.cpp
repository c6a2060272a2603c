// The forms of paths, from their text alone: what an install folder may be, and one path inside another.
#include <cstring>

#include "util.h"

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
