// The platform's own text steps (pf_text.h).
#include "pf_text.h"

#include <initializer_list>

void pf_cat(char *out, size_t cap, const char *a, const char *b, const char *c) {
    if (!cap) return;
    size_t o = 0;
    for (const char *s : {a, b, c})
        for (; *s && o + 1 < cap; ++s) out[o++] = *s;
    out[o] = '\0';
}

int pf_equal_n(const char *s, size_t n, const char *w) {
    auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    for (size_t i = 0; i < n; ++i)
        if (!w[i] || up(s[i]) != up(w[i])) return 0;
    return w[n] == '\0';
}
