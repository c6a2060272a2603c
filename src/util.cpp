#include "util.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "setup.h"

static uint8_t buf[1 << 20];  // copy_file's transfer buffer
static uint32_t crc_tab[256];

// printf's own implementation (MinGW links its C99 one, about 19 KB) would be most of the setup's code;
// the setup only composes paths and log lines, so integers and strings are all it formats.
int vfmt(char *dst, size_t cap, const char *f, va_list ap) {
    size_t n = 0;  // length of the whole result, also past what fits
    auto put = [&](char c) {
        if (n + 1 < cap) dst[n] = c;
        ++n;
    };
    while (*f) {
        if (*f != '%') {
            put(*f++);
            continue;
        }
        const char *start = f++;
        int left = 0, zero = 0;
        for (;; ++f) {
            if (*f == '-') left = 1;
            else if (*f == '0') zero = 1;
            else break;
        }
        int width = 0, prec = -1;
        if (*f == '*') {
            width = va_arg(ap, int);
            if (width < 0) left = 1, width = -width;
            ++f;
        }
        while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
        if (*f == '.') {
            ++f;
            prec = 0;
            if (*f == '*') {
                prec = va_arg(ap, int);
                ++f;
            }
            while (*f >= '0' && *f <= '9') prec = prec * 10 + (*f++ - '0');
        }
        int size = 0;  // 0 int, 1 long, 2 long long, 3 size_t, -1 short, -2 char (promoted to int)
        if (*f == 'h') {
            size = f[1] == 'h' ? -2 : -1;
            f -= size;
        } else if (*f == 'l') {
            size = f[1] == 'l' ? 2 : 1;
            f += size;
        } else if (*f == 'z') {
            size = 3;
            ++f;
        }
        char c = *f;
        char digits[24];
        const char *text = digits;
        size_t len = 0;
        char sign = 0;
        if (c == 's' || c == 'c') {
            if (c == 'c') {
                digits[0] = static_cast<char>(va_arg(ap, int));
                len = 1;
            } else {
                text = va_arg(ap, const char *);
                if (!text) text = "(null)";
                while ((prec < 0 || len < static_cast<size_t>(prec)) && text[len]) ++len;
            }
            prec = -1;
            zero = 0;
        } else if (c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X') {
            unsigned long long v;
            if (c == 'd' || c == 'i') {
                long long s = size == 2 ? va_arg(ap, long long)
                              : size == 1 ? va_arg(ap, long)
                              : size == 3 ? static_cast<long long>(va_arg(ap, ptrdiff_t))
                                          : va_arg(ap, int);
                if (size == -1) s = static_cast<short>(s);
                if (size == -2) s = static_cast<signed char>(s);
                v = s < 0 ? 0ull - static_cast<unsigned long long>(s) : static_cast<unsigned long long>(s);
                if (s < 0) sign = '-';
            } else {
                v = size == 2 ? va_arg(ap, unsigned long long)
                    : size == 1 ? va_arg(ap, unsigned long)
                    : size == 3 ? va_arg(ap, size_t)
                                : va_arg(ap, unsigned);
                if (size == -1) v = static_cast<unsigned short>(v);
                if (size == -2) v = static_cast<unsigned char>(v);
            }
            unsigned base = c == 'x' || c == 'X' ? 16 : 10;
            const char *set = c == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            char *e = digits + sizeof digits;
            while (v) {
                *--e = set[v % base];
                v /= base;
            }
            if (prec < 0 && e == digits + sizeof digits) *--e = '0';  // %.0d prints nothing for 0
            text = e;
            len = static_cast<size_t>(digits + sizeof digits - e);
            if (prec >= 0) zero = 0;
        } else {
            // '%%' is itself; any other conversion is not for this formatter and is copied as written.
            if (c == '%') {
                put('%');
            } else {
                while (start < f) put(*start++);
                if (c) put(c);
            }
            if (c) ++f;
            continue;
        }
        ++f;
        size_t prec_pad = prec > 0 && static_cast<size_t>(prec) > len ? static_cast<size_t>(prec) - len : 0;
        size_t body = len + prec_pad + (sign ? 1 : 0);
        size_t pad = static_cast<size_t>(width) > body ? static_cast<size_t>(width) - body : 0;
        if (!left && !zero)
            for (; pad; --pad) put(' ');
        if (sign) put(sign);
        if (!left && zero)
            for (; pad; --pad) put('0');
        for (; prec_pad; --prec_pad) put('0');
        for (size_t i = 0; i < len; ++i) put(text[i]);
        for (; pad; --pad) put(' ');
    }
    if (cap) dst[n < cap ? n : cap - 1] = '\0';
    return static_cast<int>(n);
}

int fmt(char *dst, size_t cap, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vfmt(dst, cap, format, ap);
    va_end(ap);
    return n;
}

int join_path(char *out, const char *folder, const char *name) {
    int n = fmt(out, PATH_BUF, "%s\\%s", folder, name);
    return n >= 0 && static_cast<size_t>(n) < PATH_BUF;
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
    char *cut = strrchr(parent, '\\');
    if (!cut) return;
    *cut = '\0';
    make_dirs(parent);
}

int write_file(const char *path, const void *data, uint64_t size) {
    make_parent(path);
    pf_file f = pf_create(path);
    if (f == PF_INVALID) {
        setup_log("cannot write %s (error %lu)", path, pf_last_error());
        return 0;
    }
    uint32_t put = 0;
    // One call with a 32-bit count: 4 GiB or more can never be written whole and so fails.
    int ok = pf_write(f, data, static_cast<uint32_t>(size), &put) && static_cast<uint64_t>(put) == size;
    pf_close(f);
    if (!ok) {
        setup_log("write failed: %s", path);
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
    // A file of 4 GiB or more cannot be read in one call; refuse it before allocating.
    if (!pf_size(f, &n) || n >= 0xFFFFFFFFull) goto fail;
    data = static_cast<uint8_t *>(malloc(n + 1));
    if (!data) goto fail;
    if (!pf_read(f, data, static_cast<uint32_t>(n), &got) || got != n) goto fail;
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
    pf_file in = pf_open_read(source, 1);
    if (in == PF_INVALID) {
        setup_log("cannot read %s", source);
        return 0;
    }
    pf_file out = pf_create(dest);
    if (out == PF_INVALID) {
        pf_close(in);
        setup_log("cannot write %s", dest);
        return 0;
    }
    int result;
    for (;;) {
        uint32_t got = 0, put = 0;
        if (!pf_read(in, buf, sizeof buf, &got)) {
            result = 0;
            break;
        }
        if (got == 0) {
            result = 1;
            break;
        }
        if (!pf_write(out, buf, got, &put) || put != got) {
            result = 0;
            break;
        }
        if (p) progress_add(p, got);
    }
    pf_close(in);
    pf_close(out);
    return result;
}

uint32_t crc32_buf(const void *data, uint64_t len) {
    if (crc_tab[1] == 0) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            crc_tab[i] = c;
        }
    }
    if (len == 0) return 0;
    const uint8_t *b = static_cast<const uint8_t *>(data);
    uint32_t c = 0xFFFFFFFFu;
    for (uint64_t i = 0; i < len; ++i) c = crc_tab[(c ^ b[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
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

int utf8_valid(const char *s, size_t n) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(s);
    size_t i = 0;
    while (i < n) {
        unsigned c = b[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (len == 0 || c > 0xF4 || i + len > n) return 0;
        uint32_t cp = c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            if ((b[i + k] & 0xC0) != 0x80) return 0;
            cp = cp << 6 | (b[i + k] & 0x3F);
        }
        static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
        i += len;
    }
    return 1;
}
