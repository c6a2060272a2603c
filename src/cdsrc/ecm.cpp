// ECM files (module cdsrc): a BIN with what can be computed again left out, turned back into its sectors.
// The file is "ECM\0", records, an end record and the EDC of the whole BIN. A record is a type and a count:
// type 0 is count bytes as they are; type 1 count Mode 1 sectors of 2352 bytes, each stored as its 3 address
// bytes and 2048 data bytes; types 2 and 3 count Mode 2 Form 1 and Form 2 sectors of 2336 bytes (without
// sync and header, which precede them as type 0 bytes), each stored as 4 subheader bytes and 2048 or 2324
// data bytes. The sectors come back whole, sync, header, EDC and ECC included (ECMA-130 14 and annex A):
// the setup itself reads only the user data, but the EDC at the end covers every byte, and a damaged file
// must not install. The records are walked once when the file is opened (their sizes give the BIN's), then
// decoded as a stream.
#include <cstdlib>
#include <cstring>

#include "cdsrc_internal.h"

const char *const ECM_DAMAGED = N_("the ECM file is damaged");
const char *const ECM_CUT = N_("the ECM file is cut short");

namespace {

const char *const ECM_EDC = N_("the ECM file is damaged: its check (EDC) does not match");
constexpr uint8_t MAGIC[4] = {'E', 'C', 'M', 0};
constexpr uint32_t MODE1_STORED = 3 + 2048, FORM1_STORED = 4 + 2048, FORM2_STORED = 4 + 2324;
constexpr uint32_t RAW = 2352, MODE2 = 2336;
constexpr size_t IN_BUF = 256u << 10;

// ---------------------------------------------------------------------------------------------------
// EDC and ECC (ECMA-130 14.3 and annex A)

struct Tables {
    uint8_t f[256], b[256];  // multiplication by alpha in GF(2^8) (x^8 + x^4 + x^3 + x^2 + 1), and its inverse of f ^ i
    uint32_t edc[256];       // CRC of polynomial (x^16 + x^15 + x^2 + 1)(x^16 + x^2 + x + 1), bits reflected
};

const Tables &tables() {
    static Tables t;
    static int ready = 0;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t j = (i << 1) ^ ((i & 0x80) ? 0x11D : 0);
            t.f[i] = static_cast<uint8_t>(j);
            t.b[i ^ j] = static_cast<uint8_t>(i);
            uint32_t e = i;
            for (int k = 0; k < 8; ++k) e = (e >> 1) ^ ((e & 1) ? 0xD8018001u : 0);
            t.edc[i] = e;
        }
        ready = 1;
    }
    return t;
}

uint32_t edc_of(uint32_t edc, const uint8_t *p, size_t n) {
    const uint32_t *lut = tables().edc;
    for (size_t i = 0; i < n; ++i) edc = (edc >> 8) ^ lut[(edc ^ p[i]) & 0xFF];
    return edc;
}

void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// One of the two Reed-Solomon product codes over the bytes from the header on (P: 86 codewords of 24 bytes,
// down the columns; Q: 52 codewords of 43 bytes, along the diagonals), its parity into dest.
void ecc_code(const uint8_t *src, uint32_t majors, uint32_t minors, uint32_t major_mult, uint32_t minor_inc,
              uint8_t *dest) {
    const Tables &t = tables();
    const uint32_t size = majors * minors;
    for (uint32_t major = 0; major < majors; ++major) {
        uint32_t index = (major >> 1) * major_mult + (major & 1);
        uint8_t a = 0, b = 0;
        for (uint32_t minor = 0; minor < minors; ++minor) {
            uint8_t v = src[index];
            index += minor_inc;
            if (index >= size) index -= size;
            a ^= v;
            b ^= v;
            a = t.f[a];
        }
        a = t.b[t.f[a] ^ b];
        dest[major] = a;
        dest[major + majors] = a ^ b;
    }
}

// P and Q parity of a whole raw sector; Mode 2 computes them with a zero address.
void ecc(uint8_t *sector, int zero_address) {
    uint8_t address[4];
    memcpy(address, sector + 12, 4);
    if (zero_address) memset(sector + 12, 0, 4);
    ecc_code(sector + 12, 86, 24, 2, 86, sector + 0x81C);
    ecc_code(sector + 12, 52, 43, 86, 88, sector + 0x8C8);
    memcpy(sector + 12, address, 4);
}

// ---------------------------------------------------------------------------------------------------
// Reading the file

// The ECM file's bytes, read forwards through a buffer.
struct In {
    ByteSource *src;
    uint8_t *buf;
    uint64_t at;       // file position of buf[0]
    size_t pos, len;
};

// Makes at least n (<= IN_BUF) bytes available at the reading position. 0 when the file ends first.
int in_need(In *r, size_t n) {
    if (r->len - r->pos >= n) return 1;
    r->at += r->pos;
    memmove(r->buf, r->buf + r->pos, r->len - r->pos);
    r->len -= r->pos;
    r->pos = 0;
    while (r->len < n) {
        uint64_t left = r->src->size > r->at + r->len ? r->src->size - (r->at + r->len) : 0;
        uint32_t want = static_cast<uint32_t>(IN_BUF - r->len < left ? IN_BUF - r->len : left), got = 0;
        if (want == 0 || !r->src->ops->read_at(r->src, r->at + r->len, r->buf + r->len, want, &got) || got == 0)
            return 0;
        r->len += got;
    }
    return 1;
}

void in_seek(In *r, uint64_t pos) {
    if (pos >= r->at && pos <= r->at + r->len) {
        r->pos = static_cast<size_t>(pos - r->at);
    } else {
        r->at = pos;
        r->pos = r->len = 0;
    }
}

uint64_t in_tell(const In *r) { return r->at + r->pos; }

// A record's type and count. 1 and *kind, *count (0 for the end record); 0 when damaged or cut.
int record(In *r, int *kind, uint64_t *count, const char **why) {
    if (!in_need(r, 1)) {
        *why = ECM_CUT;
        return 0;
    }
    uint8_t c = r->buf[r->pos++];
    *kind = c & 3;
    uint64_t n = (c >> 2) & 0x1F;
    for (int bits = 5; c & 0x80; bits += 7) {
        if (bits > 32) {
            *why = ECM_DAMAGED;
            return 0;
        }
        if (!in_need(r, 1)) {
            *why = ECM_CUT;
            return 0;
        }
        c = r->buf[r->pos++];
        n |= static_cast<uint64_t>(c & 0x7F) << bits;
    }
    if (n == 0xFFFFFFFFu) {
        *count = 0;
        return 1;
    }
    // The original tools write counts below 2^31.
    if (n >= 0x7FFFFFFFu) {
        *why = ECM_DAMAGED;
        return 0;
    }
    *count = n + 1;
    return 1;
}

uint32_t stored_size(int kind) {
    return kind == 1 ? MODE1_STORED : kind == 2 ? FORM1_STORED : kind == 3 ? FORM2_STORED : 1;
}
uint32_t output_size(int kind) { return kind == 1 ? RAW : kind == 0 ? 1 : MODE2; }

// ---------------------------------------------------------------------------------------------------
// The stream

struct Ecm {
    In in;
    int kind;             // the current record's type
    uint64_t left;        // its bytes or sectors still to come
    int ended;            // the end record has been read
    uint32_t edc;
    uint8_t sector[RAW];  // the sector being handed out
    size_t out_pos, out_len;
};

int ecm_restart(void *ctx, const char **) {
    Ecm *e = static_cast<Ecm *>(ctx);
    in_seek(&e->in, 4);
    e->left = 0;
    e->ended = 0;
    e->edc = 0;
    e->out_pos = e->out_len = 0;
    return 1;
}

// Builds the next sector of the current record into e->sector.
int next_sector(Ecm *e, const char **why) {
    uint32_t stored = stored_size(e->kind);
    if (!in_need(&e->in, stored)) {
        *why = ECM_CUT;
        return 0;
    }
    const uint8_t *p = e->in.buf + e->in.pos;
    uint8_t *s = e->sector;
    static const uint8_t sync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    memcpy(s, sync, 12);
    if (e->kind == 1) {
        memcpy(s + 12, p, 3);
        s[15] = 1;
        memcpy(s + 16, p + 3, 2048);
        put_le32(s + 0x810, edc_of(0, s, 0x810));
        memset(s + 0x814, 0, 8);
        ecc(s, 0);
        e->out_pos = 0;
    } else {
        memset(s + 12, 0, 4);
        memcpy(s + 0x10, p, 4);
        memcpy(s + 0x14, p, 4);
        if (e->kind == 2) {
            memcpy(s + 0x18, p + 4, 2048);
            put_le32(s + 0x818, edc_of(0, s + 0x10, 0x808));
            ecc(s, 1);
        } else {
            memcpy(s + 0x18, p + 4, 2324);
            put_le32(s + 0x92C, edc_of(0, s + 0x10, 0x91C));
        }
        e->out_pos = 0x10;
    }
    e->out_len = RAW;
    e->in.pos += stored;
    return 1;
}

int ecm_next(void *ctx, uint8_t *dst, size_t cap, size_t *got, const char **why) {
    Ecm *e = static_cast<Ecm *>(ctx);
    size_t n = 0;
    while (n < cap) {
        if (e->out_pos < e->out_len) {
            size_t k = e->out_len - e->out_pos < cap - n ? e->out_len - e->out_pos : cap - n;
            memcpy(dst + n, e->sector + e->out_pos, k);
            e->out_pos += k;
            n += k;
        } else if (e->left && e->kind == 0) {
            size_t k = e->left < cap - n ? static_cast<size_t>(e->left) : cap - n;
            if (k > IN_BUF) k = IN_BUF;
            if (!in_need(&e->in, k)) {
                *why = ECM_CUT;
                return 0;
            }
            memcpy(dst + n, e->in.buf + e->in.pos, k);
            e->in.pos += k;
            e->left -= k;
            n += k;
        } else if (e->left) {
            if (!next_sector(e, why)) return 0;
            --e->left;
        } else if (!e->ended) {
            uint64_t count = 0;
            if (!record(&e->in, &e->kind, &count, why)) return 0;
            e->left = count;
            e->ended = count == 0;
        } else {
            break;
        }
    }
    e->edc = edc_of(e->edc, dst, n);
    *got = n;
    if (n == 0) {
        // The end: the EDC of everything handed out.
        if (!in_need(&e->in, 4)) {
            *why = ECM_CUT;
            return 0;
        }
        const uint8_t *p = e->in.buf + e->in.pos;
        uint32_t want = static_cast<uint32_t>(p[0]) | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
        if (want != e->edc) *why = ECM_EDC;
    }
    return 1;
}

void ecm_close(void *ctx) {
    Ecm *e = static_cast<Ecm *>(ctx);
    bytes_close(e->in.src);
    free(e->in.buf);
    free(e);
}

}  // namespace

int ecm_is(const uint8_t *head, size_t n) { return n >= 4 && memcmp(head, MAGIC, 4) == 0; }

int ecm_size(ByteSource *src, uint64_t *size, const char **why) {
    In r = {src, static_cast<uint8_t *>(malloc(IN_BUF)), 0, 0, 0};
    if (!r.buf) {
        *why = NO_MEMORY;
        return 0;
    }
    int ok = in_need(&r, 4) && ecm_is(r.buf, 4);
    if (!ok) *why = ECM_DAMAGED;
    r.pos = 4;
    *size = 0;
    while (ok) {
        int kind = 0;
        uint64_t count = 0;
        ok = record(&r, &kind, &count, why);
        if (!ok || count == 0) break;
        uint64_t stored = count * stored_size(kind), next = in_tell(&r) + stored;
        // Every record's bytes lie in the file, and its end record and EDC after them.
        if (next > src->size || src->size - next < 1) {
            *why = ECM_CUT;
            ok = 0;
            break;
        }
        *size += count * output_size(kind);
        in_seek(&r, next);
    }
    if (ok && !in_need(&r, 4)) {
        *why = ECM_CUT;
        ok = 0;
    }
    free(r.buf);
    return ok;
}

ByteSource *ecm_open(ByteSource *src, const char **why) {
    tables();  // made here, before a thread decodes ahead
    uint64_t size = 0;
    if (!ecm_size(src, &size, why)) {
        bytes_close(src);
        return nullptr;
    }
    Ecm *e = static_cast<Ecm *>(calloc(1, sizeof(Ecm)));
    uint8_t *buf = static_cast<uint8_t *>(malloc(IN_BUF));
    if (!e || !buf) {
        free(e);
        free(buf);
        bytes_close(src);
        *why = NO_MEMORY;
        return nullptr;
    }
    e->in = In{src, buf, 0, 0, 0};
    ecm_restart(e, why);
    StreamDecoder d = {e, ecm_restart, ecm_next, ecm_close};
    ByteSource *b = bytes_stream(&d, size);
    if (!b) *why = NO_MEMORY;
    return b;
}
