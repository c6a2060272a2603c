// The few text steps the platform files need, private to them: the platform stands below every other
// module and uses none of their helpers.
#pragma once
#include <cstddef>

// out = a + b + c, cut to cap - 1 characters and always NUL-terminated (when cap > 0).
void pf_cat(char *out, size_t cap, const char *a, const char *b = "", const char *c = "");
// 1 when the n bytes at s equal the string w (with nothing after its n characters) but for the case of
// ASCII letters.
int pf_equal_n(const char *s, size_t n, const char *w);
