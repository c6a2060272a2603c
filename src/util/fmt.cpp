// The bounded formatter and the text helpers, in a file of their own so that they build for size (-Os)
// while the copy loops in util.cpp build for speed: they compose a path or a log line per file, never
// per byte.
#include "util/fmt.h"

#include <cstring>

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

int utf8_put(unsigned long cp, char *out) {
    static const unsigned char lead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
    int len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    for (int b = len - 1; b > 0; --b, cp >>= 6) out[b] = static_cast<char>(0x80 | (cp & 0x3F));
    out[0] = static_cast<char>(len == 1 ? cp : lead[len] | cp);
    return len;
}

size_t utf8_next(const char *s, size_t n, unsigned long *cp) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(s);
    if (n == 0) return 0;
    unsigned c = b[0];
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (len == 0 || c > 0xF4 || len > n) return 0;
    unsigned long v = c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        if ((b[k] & 0xC0) != 0x80) return 0;
        v = v << 6 | (b[k] & 0x3F);
    }
    static const unsigned long least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < least[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return len;
}

size_t utf8_to_utf16(const char *s, uint16_t *out, size_t cap) {
    if (!cap) return 0;
    size_t n = 0, left = strlen(s);
    while (left) {
        unsigned long cp = 0xFFFD;
        size_t len = utf8_next(s, left, &cp);
        if (!len) cp = 0xFFFD, len = 1;
        size_t units = cp >= 0x10000 ? 2 : 1;
        if (n + units >= cap) break;
        if (units == 2) {
            out[n++] = static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out[n++] = static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out[n++] = static_cast<uint16_t>(cp);
        }
        s += len;
        left -= len;
    }
    out[n] = 0;
    return n;
}

int ascii_equal(const char *a, const char *b) { return ascii_compare(a, b) == 0; }

int ascii_equal_n(const char *s, size_t n, const char *w) {
    size_t i = 0;
    for (; i < n && w[i]; ++i)
        if (ascii_upper(s[i]) != ascii_upper(w[i])) return 0;
    return i == n && !w[i];
}

int ascii_compare(const char *a, const char *b) {
    for (; *a && ascii_upper(*a) == ascii_upper(*b); ++a, ++b) {
    }
    return static_cast<unsigned char>(ascii_upper(*a)) - static_cast<unsigned char>(ascii_upper(*b));
}

const char *last_separator(const char *path) {
    const char *a = strrchr(path, '\\'), *b = strrchr(path, '/');
    return a > b ? a : b;
}

char *last_separator(char *path) { return const_cast<char *>(last_separator(static_cast<const char *>(path))); }
