// The game emblem: the CD's picture turned into the seven icon images and into an icon file (portable), and
// written into the installed game executable as its icon (Windows).
#include "install/install.h"

#include <cstdlib>
#include <cstring>

#include "util/bytes.h"
#include "util/setup_log.h"
#include "util/util.h"

#ifdef _WIN32
#include <windows.h>
#endif

// ---------------------------------------------------------------------------------------------------
// Game emblem picture pipeline


// The picture is read through a ByteView: a truncated picture (a copy cut short, a BMHD or CMAP that runs
// off the end) decodes as far as it goes, the missing part dark.
int emblem_parse(const uint8_t *lbm, uint64_t size, EmblemPicture *pic) {
    ByteView f = {lbm, size};
    if (!lbm || size <= 11 || !f.is(0, "FORM") || !f.is(8, "PBM ")) return 0;
    uint64_t end = uint64_t(f.be32(4)) + 8;
    if (end > size) end = size;
    if (end < 20) return 0;

    uint32_t w = 0, h = 0, compression = 0;
    bool have_cmap = false, have_body = false;
    uint64_t cmap = 0, body = 0, body_len = 0;
    // p stays below the byte count plus 2^33: a chunk length cannot make it wrap.
    for (uint64_t p = 12; p + 8 <= end;) {
        uint64_t len = f.be32(p + 4), data = p + 8;
        if (f.is(p, "BMHD")) {
            w = f.be16(data);
            h = f.be16(data + 2);
            compression = f.at(data + 10);
        } else if (f.is(p, "CMAP")) {
            have_cmap = true;
            cmap = data;
        } else if (f.is(p, "BODY")) {
            have_body = true;
            body = data;
            body_len = len;
        }
        p = data + len + (len & 1);
    }
    if (!w || !h || !have_cmap || !have_body) return 0;
    if (uint64_t(w) * h > EMBLEM_MAX_PIXELS) return 0;
    *pic = {lbm, size, w, h, compression, cmap, body, body_len};
    return 1;
}

uint8_t *emblem_indexes(const EmblemPicture *pic, uint32_t *stride) {
    uint32_t st = (pic->w + 1) & ~1u;
    uint64_t cap = uint64_t(st) * pic->h;
    uint8_t *out = (uint8_t *)calloc(cap, 1);
    if (!out) return nullptr;
    *stride = st;

    // BODY as far as the file holds it: bytes past the end would only write index 0 over positions
    // that are 0 already, so decoding stops there with the same result.
    uint64_t avail = pic->body < pic->size ? pic->size - pic->body : 0;
    uint64_t len = pic->body_len < avail ? pic->body_len : avail;
    if (!len) return out;
    const uint8_t *in = pic->data + pic->body;

    if (pic->compression != 1) {
        memcpy(out, in, len < cap ? len : cap);
        return out;
    }
    // ByteRun1, one stream across all rows (the pad byte of odd-width rows included).
    uint64_t i = 0, o = 0;
    while (o < cap && i < len) {
        uint32_t n = in[i];
        if (n < 128) {
            uint64_t run = uint64_t(n) + 1;
            uint64_t take = run;
            if (take > cap - o) take = cap - o;
            if (take > len - (i + 1)) take = len - (i + 1);
            memcpy(out + o, in + i + 1, take);
            o += take;
            if (take < run) break;
            i += run + 1;
        } else if (n == 128) {
            i += 1;
        } else {
            // The value byte may lie just past BODY's declared end (a run header as its last byte);
            // it is read from the file then, never from beyond it.
            if (i + 1 >= avail) break;
            uint64_t run = 257 - n;
            if (run > cap - o) run = cap - o;
            memset(out + o, in[i + 1], run);
            o += run;
            i += 2;
        }
    }
    return out;
}

void emblem_palette(const EmblemPicture *pic, uint32_t colours[256]) {
    ByteView f = {pic->data, pic->size};
    for (uint32_t i = 0; i < 256; i++) {
        uint64_t at = pic->cmap + 3 * uint64_t(i);
        uint32_t r = f.at(at), g = f.at(at + 1), b = f.at(at + 2);
        colours[i] = r + g + b < 60 ? 0 : 0xFF000000u | r << 16 | g << 8 | b;
    }
}

int emblem_canvas(const uint8_t *lbm, uint64_t size, uint32_t **canvas, uint32_t *S) {
    EmblemPicture pic;
    if (!emblem_parse(lbm, size, &pic)) return EMBLEM_NOT_UNDERSTOOD;
    uint32_t stride;
    uint8_t *idx = emblem_indexes(&pic, &stride);
    if (!idx) return EMBLEM_NOT_UNDERSTOOD;
    uint32_t colour[256];
    emblem_palette(&pic, colour);

    // The colour picture is never built as a whole: the crop box and the canvas come straight from
    // the index picture through the palette, which gives the same pixels in a quarter of the memory.
    uint32_t left = pic.w, right = 0, top = pic.h, bottom = 0;
    for (uint32_t y = 0; y < pic.h; y++) {
        const uint8_t *row = idx + uint64_t(y) * stride;
        uint32_t x = 0;
        while (x < pic.w && !colour[row[x]]) x++;
        if (x == pic.w) continue;
        uint32_t last = pic.w - 1;
        while (!colour[row[last]]) last--;
        if (x < left) left = x;
        if (last > right) right = last;
        if (y < top) top = y;
        bottom = y;
    }
    if (left > right) {
        free(idx);
        return EMBLEM_EMPTY;
    }

    uint32_t bw = right - left + 1, bh = bottom - top + 1;
    uint32_t L = bw > bh ? bw : bh;
    uint32_t side = L + L / 16;
    // A thin strip is a small picture with a huge square: refuse it before allocating.
    if (uint64_t(side) * side > EMBLEM_MAX_PIXELS) {
        free(idx);
        return EMBLEM_NOT_UNDERSTOOD;
    }
    uint32_t *c = (uint32_t *)calloc(uint64_t(side) * side, sizeof(uint32_t));
    if (!c) {
        free(idx);
        return EMBLEM_NOT_UNDERSTOOD;
    }
    uint32_t ox = (side - bw) / 2, oy = (side - bh) / 2;
    for (uint32_t y = 0; y < bh; y++) {
        const uint8_t *src = idx + uint64_t(top + y) * stride + left;
        uint32_t *dst = c + uint64_t(oy + y) * side + ox;
        for (uint32_t x = 0; x < bw; x++) dst[x] = colour[src[x]];
    }
    free(idx);
    *canvas = c;
    *S = side;
    return EMBLEM_OK;
}

uint32_t emblem_icon_bytes(uint32_t N) { return 40 + 4 * N * N + (N + 31) / 32 * 4 * N; }

static void put16(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

static void put32(uint8_t *p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

uint8_t *emblem_icon_image(const uint32_t *canvas, uint32_t S, uint32_t N, uint32_t *bytes) {
    if (!canvas || !S || S > (1u << 20) || !N || N > 256) return nullptr;
    uint32_t total = emblem_icon_bytes(N);
    uint8_t *img = (uint8_t *)calloc(total, 1);
    if (!img) return nullptr;
    put32(img, 40);
    put32(img + 4, N);
    put32(img + 8, 2 * N);
    put16(img + 12, 1);
    put16(img + 14, 32);

    // Source range of output position i: [i*S/N, (i+1)*S/N), never empty.
    uint32_t from[256], to[256];
    for (uint32_t i = 0; i < N; i++) {
        from[i] = uint32_t(uint64_t(i) * S / N);
        to[i] = uint32_t(uint64_t(i + 1) * S / N);
        if (to[i] <= from[i]) to[i] = from[i] + 1;
    }
    // Sums per output column of one output row, gathered source row by source row so that the
    // canvas is read front to back. A whole range of a large canvas holds far more than 2^32 / 255^2
    // pixels, so the range sums are 64-bit; the part of one source row (at most 2^16 pixels while
    // S is at most 2^20) fits 32 bits, which lets the compiler vectorise the inner loop.
    uint64_t sum[256][4];
    for (uint32_t y = 0; y < N; y++) {
        memset(sum, 0, sizeof sum[0] * N);
        for (uint32_t sy = from[y]; sy < to[y]; sy++) {
            const uint32_t *px = canvas + uint64_t(sy) * S;
            for (uint32_t x = 0; x < N; x++) {
                uint32_t as = 0, rs = 0, gs = 0, bs = 0;
                for (uint32_t sx = from[x]; sx < to[x]; sx++) {
                    uint32_t v = px[sx], a = v >> 24;
                    as += a;
                    rs += (v >> 16 & 0xFF) * a;
                    gs += (v >> 8 & 0xFF) * a;
                    bs += (v & 0xFF) * a;
                }
                sum[x][0] += as;
                sum[x][1] += rs;
                sum[x][2] += gs;
                sum[x][3] += bs;
            }
        }
        uint8_t *out = img + 40 + uint64_t(N - 1 - y) * N * 4;
        for (uint32_t x = 0; x < N; x++, out += 4) {
            uint64_t as = sum[x][0];
            if (!as) continue;
            uint64_t count = uint64_t(to[x] - from[x]) * (to[y] - from[y]);
            out[0] = uint8_t(sum[x][3] / as);
            out[1] = uint8_t(sum[x][2] / as);
            out[2] = uint8_t(sum[x][1] / as);
            out[3] = uint8_t(as / count);
        }
    }
    *bytes = total;
    return img;
}

// The header of an icon directory of seven images (a group resource and an icon file begin alike) and the
// first 12 bytes of image k's entry, which the two share too: a group entry goes on with the image's
// resource id, a file's entry with the image's offset in the file.
static void icon_directory(uint8_t *out) {
    put16(out, 0);
    put16(out + 2, 1);
    put16(out + 4, 7);
}

static void icon_entry(uint8_t *e, uint32_t k) {
    e[0] = e[1] = uint8_t(EMBLEM_SIZES[k] & 0xFF);  // 256 is written as 0
    e[2] = e[3] = 0;
    put16(e + 4, 1);
    put16(e + 6, 32);
    put32(e + 8, emblem_icon_bytes(EMBLEM_SIZES[k]));
}

void emblem_icon_group(uint8_t out[104]) {
    icon_directory(out);
    for (uint32_t k = 0; k < 7; k++) {
        icon_entry(out + 6 + 14 * k, k);
        put16(out + 6 + 14 * k + 12, k + 1);
    }
}

uint8_t *emblem_icon_file(const uint32_t *canvas, uint32_t S, uint32_t *bytes) {
    const uint32_t head = 6 + 16 * 7;
    uint32_t total = head;
    for (uint32_t N : EMBLEM_SIZES) total += emblem_icon_bytes(N);
    uint8_t *out = (uint8_t *)malloc(total);
    if (!out) return nullptr;
    icon_directory(out);
    uint32_t at = head;
    for (uint32_t k = 0; k < 7; k++) {
        uint32_t n = 0;
        uint8_t *img = emblem_icon_image(canvas, S, EMBLEM_SIZES[k], &n);
        if (!img) {
            free(out);
            return nullptr;
        }
        icon_entry(out + 6 + 16 * k, k);
        put32(out + 6 + 16 * k + 12, at);
        memcpy(out + at, img, n);
        at += n;
        free(img);
    }
    *bytes = total;
    return out;
}

// The canvas of the picture, or none after its "ERROR: %s" line.
static uint32_t *picture_canvas(const uint8_t *lbm, uint64_t size, uint32_t *S) {
    uint32_t *canvas = nullptr;
    int status = emblem_canvas(lbm, size, &canvas, S);
    if (status == EMBLEM_EMPTY) setup_log("ERROR: %s", "game emblem picture is empty");
    else if (status != EMBLEM_OK) setup_log("ERROR: %s", "game emblem picture not understood");
    return status == EMBLEM_OK ? canvas : nullptr;
}

int write_emblem_icon(const char *path, const uint8_t *lbm, uint64_t size) {
    uint32_t S = 0, bytes = 0;
    uint32_t *canvas = picture_canvas(lbm, size, &S);
    if (!canvas) return 0;
    uint8_t *file = emblem_icon_file(canvas, S, &bytes);
    free(canvas);
    if (!file) {
        setup_log("ERROR: %s", "not enough memory for the game executable's icon");
        return 0;
    }
    int ok = write_file(path, file, bytes);
    free(file);
    return ok;
}


#ifdef _WIN32

// ---------------------------------------------------------------------------------------------------
// Game emblem icon

int inject_icon_lbm(const char *exe, const uint8_t *lbm, uint64_t size) {
    uint32_t S = 0;
    uint32_t *canvas = picture_canvas(lbm, size, &S);
    if (!canvas) return 0;
    // Nothing reaches the file before EndUpdateResourceA commits, so every failure up to here and
    // a discarded update leave the executable as it was.
    HANDLE h = BeginUpdateResourceA(exe, FALSE);
    if (!h) {
        free(canvas);
        setup_log("ERROR: %s", "cannot update the game executable's icon");
        return 0;
    }
    for (uint32_t k = 0; k < 7; k++) {
        uint32_t bytes = 0;
        uint8_t *img = emblem_icon_image(canvas, S, EMBLEM_SIZES[k], &bytes);
        if (!img) {
            free(canvas);
            EndUpdateResourceA(h, TRUE);
            setup_log("ERROR: %s", "not enough memory for the game executable's icon");
            return 0;
        }
        UpdateResourceA(h, MAKEINTRESOURCEA(3), MAKEINTRESOURCEA(k + 1), 0, img, bytes);
        free(img);
    }
    uint8_t group[104];
    emblem_icon_group(group);
    UpdateResourceA(h, MAKEINTRESOURCEA(14), MAKEINTRESOURCEA(1), 0, group, sizeof group);
    free(canvas);
    if (!EndUpdateResourceA(h, FALSE)) {
        setup_log("ERROR: %s", "cannot write the game executable's icon");
        return 0;
    }
    return 1;
}

#endif
