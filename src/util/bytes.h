// util: readers for untrusted bytes (a disc's records, a descriptor, a picture). Nothing is ever read
// outside the bytes handed in, whatever offsets and lengths the bytes themselves claim.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

// A bounded cursor: reads past the end yield 0 and set `failed`, which the caller checks once per record.
struct Cursor {
    const uint8_t *p, *end;
    int failed;
};

// A cursor over n bytes standing at `at`; one past the end has failed already.
inline Cursor cursor(const uint8_t *data, size_t n, uint64_t at) {
    Cursor c = {data + n, data + n, 0};
    if (at <= n)
        c.p = data + at;
    else
        c.failed = 1;
    return c;
}

// Hands out the next n bytes in *out and moves past them; 0 (and failed) when fewer are left.
inline int cur_take(Cursor *c, size_t n, const uint8_t **out) {
    if (c->failed || static_cast<size_t>(c->end - c->p) < n) {
        c->failed = 1;
        return 0;
    }
    *out = c->p;
    c->p += n;
    return 1;
}

// The next little- or big-endian number of `bytes` bytes (1 to 8).
inline uint64_t get_le(Cursor *c, int bytes) {
    const uint8_t *b;
    if (!cur_take(c, static_cast<size_t>(bytes), &b)) return 0;
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[i];
    return v;
}

inline uint64_t get_be(Cursor *c, int bytes) {
    const uint8_t *b;
    if (!cur_take(c, static_cast<size_t>(bytes), &b)) return 0;
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | b[i];
    return v;
}

// The little-endian number of `bytes` bytes at offset `at` from where the cursor stands, without moving
// it: a record read field by field at the offsets its standard gives. Sets failed when the field does
// not lie inside the bytes.
inline uint64_t get_le_at(Cursor *c, size_t at, int bytes) {
    Cursor f = *c;
    const uint8_t *skipped;
    cur_take(&f, at, &skipped);
    uint64_t v = get_le(&f, bytes);
    c->failed |= f.failed;
    return v;
}

inline void cur_skip(Cursor *c, size_t n) {
    const uint8_t *b;
    cur_take(c, n, &b);
}

// A view for reading at any offset, where a file cut short must still decode as far as it goes: every
// byte asked for past the end reads as 0, and nothing fails.
struct ByteView {
    const uint8_t *p;
    uint64_t n;
    uint8_t at(uint64_t off) const { return off < n ? p[off] : 0; }
    uint32_t be16(uint64_t off) const { return uint32_t(at(off)) << 8 | at(off + 1); }
    uint32_t be32(uint64_t off) const { return be16(off) << 16 | be16(off + 2); }
    // 1 when the four bytes at off are there and are `id`.
    bool is(uint64_t off, const char id[4]) const { return off <= n && n - off >= 4 && memcmp(p + off, id, 4) == 0; }
};
