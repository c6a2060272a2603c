// The emblem picture pipeline: chunk walk, ByteRun1, darkness rule, crop, canvas, box filter, icon
// images and group; on Windows also inject_icon_lbm against a copy of the stand-in game.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "install/install.h"
#include "testutil.h"

namespace {

typedef std::string Bin;  // binary bytes

// A chunk header that declares len bytes, whatever follows it.
Bin header(const char *id, uint32_t len) { return Bin(id, 4) + be_bytes(len, 4); }

// One chunk with its pad byte when the data is odd.
Bin chunk(const char *id, const Bin &data) {
    Bin c = header(id, uint32_t(data.size())) + data;
    if (data.size() & 1) c += '\0';
    return c;
}

Bin bmhd(uint32_t w, uint32_t h, uint8_t compression) {
    Bin d = be_bytes(w, 2) + be_bytes(h, 2) + be_bytes(0, 2) + be_bytes(0, 2);
    d += char(8);            // planes
    d += char(0);            // masking
    d += char(compression);  // offset 10
    d += char(0);
    d += be_bytes(0, 2);
    d += char(5);
    d += char(6);
    d += be_bytes(w, 2) + be_bytes(h, 2);
    return d;
}

Bin cmap(const std::vector<uint32_t> &rgb) {
    Bin d;
    for (uint32_t c : rgb) d += Bin{char(c >> 16), char(c >> 8), char(c)};
    return d;
}

// A FORM with the given type and chunks; form_size overrides the size field.
Bin form(const Bin &chunks, const char *type = "PBM ", int64_t form_size = -1) {
    Bin inner = Bin(type, 4) + chunks;
    return "FORM" + be_bytes(form_size < 0 ? uint32_t(inner.size()) : uint32_t(form_size), 4) + inner;
}

Bin picture(uint32_t w, uint32_t h, uint8_t compression, const std::vector<uint32_t> &pal, const Bin &body) {
    return form(chunk("BMHD", bmhd(w, h, compression)) + chunk("CMAP", cmap(pal)) + chunk("BODY", body));
}

const uint8_t *u8(const Bin &b) { return reinterpret_cast<const uint8_t *>(b.data()); }

int parse(const Bin &b, EmblemPicture *pic) { return emblem_parse(u8(b), b.size(), pic); }

// The decoded index picture, stride x h bytes.
std::vector<uint8_t> indexes(const Bin &b) {
    EmblemPicture pic;
    if (!parse(b, &pic)) return {};
    uint32_t stride = 0;
    uint8_t *p = emblem_indexes(&pic, &stride);
    EXPECT_EQ(stride, (pic.w + 1) & ~1u);
    std::vector<uint8_t> v(p, p + uint64_t(stride) * pic.h);
    free(p);
    return v;
}

struct Canvas {
    int status = -1;
    uint32_t S = 0;
    std::vector<uint32_t> px;
    uint32_t at(uint32_t x, uint32_t y) const { return px[uint64_t(y) * S + x]; }
};

Canvas canvas_of(const Bin &b) {
    Canvas c;
    uint32_t *p = nullptr;
    c.status = emblem_canvas(u8(b), b.size(), &p, &c.S);
    if (c.status == EMBLEM_OK) {
        c.px.assign(p, p + uint64_t(c.S) * c.S);
        free(p);
    }
    return c;
}

struct Image {
    uint32_t N = 0;
    std::vector<uint8_t> bytes;
    // Pixel value at output row y (0 = top) and column x.
    uint32_t at(uint32_t x, uint32_t y) const {
        return uint32_t(read_le(&bytes[40 + (uint64_t(N - 1 - y) * N + x) * 4], 4));
    }
};

Image image_of(const std::vector<uint32_t> &canvas, uint32_t S, uint32_t N) {
    Image im;
    im.N = N;
    uint32_t n = 0;
    uint8_t *p = emblem_icon_image(canvas.data(), S, N, &n);
    EXPECT_NE(p, nullptr);
    if (p) im.bytes.assign(p, p + n);
    free(p);
    return im;
}

// The 3 x 2 picture of the reference example.
const Bin kExampleBody("\x01\x02\x03\xFF\x00\x80\x00\x01\xFF\x02\x00\x00", 12);
const std::vector<uint32_t> kExamplePal = {0x000000, 0x0A141D, 0xC86432, 0x141414};

// An opaque white box of bw x bh on a dark background of w x h with its corner at (x0, y0), as plain rows.
Bin box_picture(uint32_t w, uint32_t h, uint32_t x0, uint32_t y0, uint32_t bw, uint32_t bh) {
    uint32_t stride = (w + 1) & ~1u;
    Bin body(uint64_t(stride) * h, '\0');
    for (uint32_t y = y0; y < y0 + bh; y++)
        for (uint32_t x = x0; x < x0 + bw; x++) body[uint64_t(y) * stride + x] = 1;
    return picture(w, h, 0, {0x000000, 0xFFFFFF}, body);
}

}  // namespace

TEST(Emblem, ReferenceExampleByteForByte) {
    Bin lbm = picture(3, 2, 1, kExamplePal, kExampleBody);
    EXPECT_EQ(indexes(lbm), (std::vector<uint8_t>{2, 3, 0, 0, 1, 2, 2, 0}));

    EmblemPicture pic;
    ASSERT_EQ(parse(lbm, &pic), 1);
    uint32_t colour[256];
    emblem_palette(&pic, colour);
    EXPECT_EQ(colour[0], 0u);
    EXPECT_EQ(colour[1], 0u);  // sum 59
    EXPECT_EQ(colour[2], 0xFFC86432u);
    EXPECT_EQ(colour[3], 0xFF141414u);  // sum exactly 60

    Canvas c = canvas_of(lbm);
    ASSERT_EQ(c.status, EMBLEM_OK);
    ASSERT_EQ(c.S, 3u);
    EXPECT_EQ(c.px, (std::vector<uint32_t>{0xFFC86432, 0xFF141414, 0, 0, 0xFFC86432, 0xFFC86432, 0, 0, 0}));

    Image im = image_of(c.px, c.S, 16);
    ASSERT_EQ(im.bytes.size(), 1128u);
    EXPECT_EQ(im.bytes[1000], 0x32);
    EXPECT_EQ(im.bytes[1001], 0x64);
    EXPECT_EQ(im.bytes[1002], 0xC8);
    EXPECT_EQ(im.bytes[1003], 0xFF);
    // Columns and rows split 6 / 5 / 5 over canvas columns and rows 0, 1, 2.
    const uint32_t band[16] = {0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2};
    for (uint32_t y = 0; y < 16; y++)
        for (uint32_t x = 0; x < 16; x++)
            ASSERT_EQ(im.at(x, y), c.at(band[x], band[y])) << "x " << x << " y " << y;
    for (uint32_t i = 1064; i < 1128; i++) ASSERT_EQ(im.bytes[i], 0) << "mask byte " << i;
}

TEST(Emblem, AveragingIsAlphaWeighted) {
    const uint32_t S = 40;
    std::vector<uint32_t> canvas(S * S, 0);
    // Output pixel (0, 1) of size 16 covers columns 0-1 of rows 2-4.
    canvas[2 * S + 0] = 0xFF000000u | 200u << 16 | 10u << 8 | 1;
    canvas[2 * S + 1] = 0xFF000000u | 200u << 16 | 20u << 8 | 2;
    canvas[3 * S + 0] = 0xFF000000u | 100u << 16 | 30u << 8 | 3;
    canvas[4 * S + 1] = 0xFF000000u | 101u << 16 | 40u << 8 | 4;
    // Neighbours just outside the range must not leak in.
    canvas[1 * S + 0] = 0xFFFFFFFFu;
    canvas[5 * S + 0] = 0xFFFFFFFFu;
    canvas[2 * S + 2] = 0xFFFFFFFFu;
    Image im = image_of(canvas, S, 16);
    uint32_t v = im.at(0, 1);
    EXPECT_EQ(v >> 24, 170u);       // 4 x 255 / 6
    EXPECT_EQ(v >> 16 & 0xFF, 150u);  // 255 x 601 / 1020
    EXPECT_EQ(v >> 8 & 0xFF, 25u);    // 100 / 4
    EXPECT_EQ(v & 0xFF, 2u);          // 10 / 4
    // Each neighbour lands in the range of its own output pixel instead.
    EXPECT_EQ(im.at(0, 0), 0x3FFFFFFFu);  // one white of four
    EXPECT_EQ(im.at(0, 2), 0x3FFFFFFFu);
    EXPECT_EQ(im.at(1, 1), 0x1CFFFFFFu);  // one white of nine
    EXPECT_EQ(im.at(1, 0), 0u);
    EXPECT_EQ(im.at(2, 1), 0u);

    // A canvas whose ranges hold more than 66,051 pixels: 32-bit sums would wrap.
    const uint32_t big = 4200;
    std::vector<uint32_t> white(uint64_t(big) * big, 0xFFFFFFFFu);
    Image w = image_of(white, big, 16);
    for (uint32_t y = 0; y < 16; y++)
        for (uint32_t x = 0; x < 16; x++) ASSERT_EQ(w.at(x, y), 0xFFFFFFFFu);
}

// The box filter as plainly as it can be written: every output pixel from its own range.
TEST(Emblem, BoxFilterMatchesPlainReference) {
    uint32_t seed = 7;
    auto rnd = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (uint32_t S : {1u, 7u, 16u, 17u, 100u, 255u, 300u, 513u}) {
        std::vector<uint32_t> canvas(uint64_t(S) * S);
        for (uint32_t &v : canvas) {
            uint32_t r = rnd();
            // Mostly transparent or opaque as the pipeline makes them, some partial alpha too.
            uint32_t a = (r >> 8) % 4 == 0 ? 0 : (r >> 8) % 4 == 1 ? (r >> 12) & 0xFF : 255;
            v = a ? a << 24 | (rnd() & 0xFFFFFF) : 0;
        }
        for (uint32_t N : EMBLEM_SIZES) {
            SCOPED_TRACE(testing::Message() << "S " << S << " N " << N);
            Image im = image_of(canvas, S, N);
            for (uint32_t y = 0; y < N; y++)
                for (uint32_t x = 0; x < N; x++) {
                    uint32_t x0 = x * S / N, x1 = (x + 1) * S / N, y0 = y * S / N, y1 = (y + 1) * S / N;
                    if (x1 <= x0) x1 = x0 + 1;
                    if (y1 <= y0) y1 = y0 + 1;
                    uint64_t as = 0, rs = 0, gs = 0, bs = 0;
                    for (uint32_t sy = y0; sy < y1; sy++)
                        for (uint32_t sx = x0; sx < x1; sx++) {
                            uint32_t v = canvas[uint64_t(sy) * S + sx], a = v >> 24;
                            as += a;
                            rs += (v >> 16 & 0xFF) * a;
                            gs += (v >> 8 & 0xFF) * a;
                            bs += (v & 0xFF) * a;
                        }
                    uint32_t want = 0;
                    if (as)
                        want = uint32_t(as / ((x1 - x0) * (y1 - y0))) << 24 | uint32_t(rs / as) << 16 |
                               uint32_t(gs / as) << 8 | uint32_t(bs / as);
                    ASSERT_EQ(im.at(x, y), want) << x << "," << y;
                }
        }
    }
}

TEST(Emblem, FormHeaderAndChunkWalk) {
    EmblemPicture pic;
    Bin good = picture(3, 2, 1, kExamplePal, kExampleBody);
    ASSERT_EQ(parse(good, &pic), 1);

    EXPECT_EQ(emblem_parse(u8(good), 11, &pic), 0);
    EXPECT_EQ(emblem_parse(nullptr, 0, &pic), 0);
    Bin ilbm = good;
    ilbm.replace(8, 4, "ILBM");
    EXPECT_EQ(parse(ilbm, &pic), 0);
    Bin notform = good;
    notform.replace(0, 4, "LIST");
    EXPECT_EQ(parse(notform, &pic), 0);
    // FORM size 11: the walk would end at 19, before any chunk header fits.
    Bin small = good;
    small.replace(4, 4, be_bytes(11, 4));
    EXPECT_EQ(parse(small, &pic), 0);
    Bin huge_size = good;
    huge_size.replace(4, 4, be_bytes(0xFFFFFFFFu, 4));  // bounded by the file instead
    EXPECT_EQ(parse(huge_size, &pic), 1);

    EXPECT_EQ(parse(form(chunk("BMHD", bmhd(3, 2, 1)) + chunk("BODY", kExampleBody)), &pic), 0);
    EXPECT_EQ(parse(form(chunk("BMHD", bmhd(3, 2, 1)) + chunk("CMAP", cmap(kExamplePal))), &pic), 0);
    EXPECT_EQ(parse(form(chunk("CMAP", cmap(kExamplePal)) + chunk("BODY", kExampleBody)), &pic), 0);
    EXPECT_EQ(parse(picture(0, 2, 1, kExamplePal, kExampleBody), &pic), 0);
    EXPECT_EQ(parse(picture(3, 0, 1, kExamplePal, kExampleBody), &pic), 0);
    EXPECT_EQ(canvas_of(ilbm).status, EMBLEM_NOT_UNDERSTOOD);

    // An odd annotation before BMHD is skipped with its pad byte; chunks may come in any order.
    Bin odd = form(chunk("ANNO", "abc") + chunk("BODY", Bin("\x01\x02", 2)) + chunk("CMAP", cmap(kExamplePal)) +
                   chunk("BMHD", bmhd(1, 1, 0)));
    ASSERT_EQ(parse(odd, &pic), 1);
    EXPECT_EQ(pic.w, 1u);
    EXPECT_EQ(pic.h, 1u);
    EXPECT_EQ(pic.compression, 0u);
    EXPECT_EQ(pic.body, 12u + 12u + 8u);
    EXPECT_EQ(pic.body_len, 2u);
    EXPECT_EQ(indexes(odd), (std::vector<uint8_t>{1, 2}));

    // A BMHD whose header ends beyond FORM size + 8 is not seen, though the file holds it.
    Bin inner = chunk("BMHD", bmhd(2, 1, 0)) + chunk("CMAP", cmap(kExamplePal)) + chunk("BODY", Bin("\x02\x03", 2));
    Bin cut = form(inner + chunk("BMHD", bmhd(4, 4, 1)), "PBM ", int64_t(4 + inner.size()));
    ASSERT_EQ(parse(cut, &pic), 1);
    EXPECT_EQ(pic.w, 2u);
    EXPECT_EQ(pic.h, 1u);
    EXPECT_EQ(pic.compression, 0u);
    // ...while the same chunk inside the form replaces the first.
    Bin later = form(inner + chunk("BMHD", bmhd(4, 4, 1)));
    ASSERT_EQ(parse(later, &pic), 1);
    EXPECT_EQ(pic.w, 4u);

    // Of two BODY chunks the later one is decoded.
    Bin two = form(chunk("BMHD", bmhd(2, 1, 0)) + chunk("BODY", Bin("\x01\x01", 2)) + chunk("CMAP", cmap(kExamplePal)) +
                   chunk("BODY", Bin("\x03\x02", 2)));
    EXPECT_EQ(indexes(two), (std::vector<uint8_t>{3, 2}));
}

TEST(Emblem, PlainAndByteRun1Decoding) {
    // Compression 0 and 2 both read plain rows; a short BODY leaves index 0, a long one is cut.
    for (uint8_t comp : {0, 2, 7}) {
        EXPECT_EQ(indexes(picture(3, 2, comp, kExamplePal, Bin("\x01\x02\x03\x09\x03\x02\x01\x09\x05", 9))),
                  (std::vector<uint8_t>{1, 2, 3, 9, 3, 2, 1, 9}))
            << int(comp);
        EXPECT_EQ(indexes(picture(3, 2, comp, kExamplePal, Bin("\x01\x02\x03", 3))),
                  (std::vector<uint8_t>{1, 2, 3, 0, 0, 0, 0, 0}));
    }
    // ByteRun1 is one stream across rows: a run crosses the row end.
    EXPECT_EQ(indexes(picture(3, 2, 1, kExamplePal, Bin("\xFB\x07", 2))), (std::vector<uint8_t>{7, 7, 7, 7, 7, 7, 0, 0}));
    // A repeat run longer than the space left fills to the end and stops; what follows is ignored.
    EXPECT_EQ(indexes(picture(3, 2, 1, kExamplePal, Bin("\x00\x05\x81\x06\x00\x09", 6))),
              (std::vector<uint8_t>{5, 6, 6, 6, 6, 6, 6, 6}));
    // A literal run longer than the space left is cut.
    EXPECT_EQ(indexes(picture(2, 1, 1, kExamplePal, Bin("\x03\x01\x02\x03\x04", 5))), (std::vector<uint8_t>{1, 2}));
    // 128 is skipped wherever it stands, also as the last byte.
    EXPECT_EQ(indexes(picture(3, 1, 1, kExamplePal, Bin("\x80\x00\x04\x80\xFF\x05\x80", 7))),
              (std::vector<uint8_t>{4, 5, 5, 0}));
    // A literal run cut short by BODY's declared end.
    EXPECT_EQ(indexes(picture(3, 1, 1, kExamplePal, Bin("\x03\x01\x02", 3))), (std::vector<uint8_t>{1, 2, 0, 0}));
    // Empty BODY: nothing decoded.
    EXPECT_EQ(indexes(picture(3, 1, 1, kExamplePal, Bin())), (std::vector<uint8_t>{0, 0, 0, 0}));
    // A repeat header as BODY's last byte takes its value from the byte after it in the file (here a
    // nonzero pad byte).
    Bin tail = form(chunk("BMHD", bmhd(4, 1, 1)) + chunk("CMAP", cmap(kExamplePal)) + header("BODY", 3) +
                    Bin("\x00\x03\xFE\x09", 4) + chunk("ANNO", "x"));
    EXPECT_EQ(indexes(tail), (std::vector<uint8_t>{3, 9, 9, 9}));
    // Same with BODY last in the file and no pad byte: the run has no value and decoding ends.
    Bin bare = form(chunk("BMHD", bmhd(4, 1, 1)) + chunk("CMAP", cmap(kExamplePal)) + header("BODY", 3) +
                    Bin("\x00\x03\xFE", 3));
    EXPECT_EQ(indexes(bare), (std::vector<uint8_t>{3, 0, 0, 0}));
}

TEST(Emblem, DarknessRuleAndEmptyPicture) {
    // 59 is dark, 60 opaque, whatever the split between channels.
    std::vector<uint32_t> pal = {0x3B0000, 0x003C00, 0x00003B, 0x141414, 0x1E1E00};
    EmblemPicture pic;
    Bin lbm = picture(5, 1, 0, pal, Bin("\x00\x01\x02\x03\x04\x00", 6));
    ASSERT_EQ(parse(lbm, &pic), 1);
    uint32_t colour[256];
    emblem_palette(&pic, colour);
    EXPECT_EQ(colour[0], 0u);
    EXPECT_EQ(colour[1], 0xFF003C00u);
    EXPECT_EQ(colour[2], 0u);
    EXPECT_EQ(colour[3], 0xFF141414u);
    EXPECT_EQ(colour[4], 0xFF1E1E00u);
    Canvas c = canvas_of(lbm);
    ASSERT_EQ(c.status, EMBLEM_OK);
    EXPECT_EQ(c.S, 4u);  // box columns 1-4
    EXPECT_EQ(c.at(0, 1), 0xFF003C00u);
    EXPECT_EQ(c.at(3, 1), 0xFF1E1E00u);
    EXPECT_EQ(c.at(0, 0), 0u);

    // Bright entries that no pixel uses do not count.
    Bin dark = picture(4, 2, 0, {0x101010, 0x3B0000, 0xFFFFFF}, Bin("\x00\x01\x00\x01\x01\x00\x01\x00", 8));
    EXPECT_EQ(canvas_of(dark).status, EMBLEM_EMPTY);
    EXPECT_EQ(canvas_of(picture(1, 1, 1, {0xFFFFFF}, Bin())).status, EMBLEM_OK);
    EXPECT_EQ(canvas_of(picture(1, 1, 1, {0x000000, 0xFFFFFF}, Bin())).status, EMBLEM_EMPTY);
}

TEST(Emblem, CropBoxAndCanvasMargin) {
    struct Case {
        uint32_t w, h, x0, y0, bw, bh, S, cx, cy;
    } cases[] = {
        {1, 1, 0, 0, 1, 1, 1, 0, 0},          {40, 30, 5, 7, 15, 15, 15, 0, 0},   {40, 30, 20, 1, 16, 16, 17, 0, 0},
        {41, 21, 3, 4, 19, 13, 20, 0, 3},     {320, 200, 10, 50, 300, 120, 318, 9, 99},
        {33, 40, 0, 39, 1, 1, 1, 0, 0},       {33, 40, 32, 0, 1, 40, 42, 20, 1},
    };
    for (const Case &t : cases) {
        SCOPED_TRACE(testing::Message() << t.w << "x" << t.h << " box " << t.bw << "x" << t.bh);
        Canvas c = canvas_of(box_picture(t.w, t.h, t.x0, t.y0, t.bw, t.bh));
        ASSERT_EQ(c.status, EMBLEM_OK);
        ASSERT_EQ(c.S, t.S);
        uint64_t opaque = 0;
        for (uint32_t y = 0; y < c.S; y++)
            for (uint32_t x = 0; x < c.S; x++) {
                bool inside = x >= t.cx && x < t.cx + t.bw && y >= t.cy && y < t.cy + t.bh;
                ASSERT_EQ(c.at(x, y), inside ? 0xFFFFFFFFu : 0u) << x << "," << y;
                opaque += inside;
            }
        EXPECT_EQ(opaque, uint64_t(t.bw) * t.bh);
    }
    // The box spans the extremes of different rows: a diagonal of three dots.
    Bin diag = picture(9, 9, 0, {0, 0xFFFFFF},
                       Bin("\0\0\0\0\0\0\0\0\0\0"
                           "\0\0\0\0\0\0\0\0\0\0"
                           "\0\0\0\0\0\0\0\1\0\0"
                           "\0\0\0\0\0\0\0\0\0\0"
                           "\0\0\0\0\0\1\0\0\0\0"
                           "\0\0\0\0\0\0\0\0\0\0"
                           "\0\0\1\0\0\0\0\0\0\0"
                           "\0\0\0\0\0\0\0\0\0\0"
                           "\0\0\0\0\0\0\0\0\0\0",
                           90));
    Canvas d = canvas_of(diag);
    ASSERT_EQ(d.status, EMBLEM_OK);
    ASSERT_EQ(d.S, 6u);  // columns 2-7, rows 2-6: 6 x 5, centred at row 0
    EXPECT_EQ(d.at(5, 0), 0xFFFFFFFFu);
    EXPECT_EQ(d.at(3, 2), 0xFFFFFFFFu);
    EXPECT_EQ(d.at(0, 4), 0xFFFFFFFFu);
    EXPECT_EQ(d.at(0, 5), 0u);
}

TEST(Emblem, IconImagesAndGroup) {
    const uint32_t bytes[7] = {1128, 2440, 4264, 9640, 16936, 67624, 270376};
    // A 1 x 1 opaque picture: every image is that colour everywhere, the mask all zero.
    Canvas c = canvas_of(picture(1, 1, 0, {0x000000, 0x123456}, Bin("\x01\x00", 2)));
    ASSERT_EQ(c.status, EMBLEM_OK);
    ASSERT_EQ(c.S, 1u);
    for (int k = 0; k < 7; k++) {
        uint32_t N = EMBLEM_SIZES[k];
        SCOPED_TRACE(N);
        EXPECT_EQ(emblem_icon_bytes(N), bytes[k]);
        Image im = image_of(c.px, c.S, N);
        ASSERT_EQ(im.bytes.size(), bytes[k]);
        const uint8_t *h = im.bytes.data();
        EXPECT_EQ(read_le(h, 4), 40u);
        EXPECT_EQ(read_le(h + 4, 4), N);
        EXPECT_EQ(read_le(h + 8, 4), 2 * N);
        EXPECT_EQ(read_le(h + 12, 2), 1u);
        EXPECT_EQ(read_le(h + 14, 2), 32u);
        for (int i = 16; i < 40; i++) ASSERT_EQ(h[i], 0) << i;
        for (uint32_t y = 0; y < N; y++)
            for (uint32_t x = 0; x < N; x++) ASSERT_EQ(im.at(x, y), 0xFF123456u);
        for (uint64_t i = 40 + 4ull * N * N; i < im.bytes.size(); i++) ASSERT_EQ(h[i], 0);
    }

    // Rows are stored bottom-up, columns left to right.
    std::vector<uint32_t> quad = {0xFF0000FFu, 0xFF00FF00u, 0xFFFF0000u, 0};
    Image q = image_of(quad, 2, 16);
    EXPECT_EQ(read_le(&q.bytes[40 + 4 * (15 * 16 + 0)], 4), 0xFF0000FFu);   // top-left: last stored row
    EXPECT_EQ(read_le(&q.bytes[40 + 4 * (15 * 16 + 15)], 4), 0xFF00FF00u);  // top-right
    EXPECT_EQ(read_le(&q.bytes[40 + 4 * (0 * 16 + 0)], 4), 0xFFFF0000u);    // bottom-left: first stored row
    EXPECT_EQ(read_le(&q.bytes[40 + 4 * (0 * 16 + 15)], 4), 0u);

    uint32_t n = 0;
    EXPECT_EQ(emblem_icon_image(quad.data(), 2, 0, &n), nullptr);
    EXPECT_EQ(emblem_icon_image(quad.data(), 2, 257, &n), nullptr);
    EXPECT_EQ(emblem_icon_image(nullptr, 2, 16, &n), nullptr);
    EXPECT_EQ(emblem_icon_image(quad.data(), (1u << 20) + 1, 16, &n), nullptr);

    uint8_t g[104];
    memset(g, 0xAA, sizeof g);
    emblem_icon_group(g);
    EXPECT_EQ(read_le(g, 2), 0u);
    EXPECT_EQ(read_le(g + 2, 2), 1u);
    EXPECT_EQ(read_le(g + 4, 2), 7u);
    for (int k = 0; k < 7; k++) {
        const uint8_t *e = g + 6 + 14 * k;
        SCOPED_TRACE(k);
        EXPECT_EQ(e[0], EMBLEM_SIZES[k] == 256 ? 0 : EMBLEM_SIZES[k]);
        EXPECT_EQ(e[1], e[0]);
        EXPECT_EQ(e[2], 0);
        EXPECT_EQ(e[3], 0);
        EXPECT_EQ(read_le(e + 4, 2), 1u);
        EXPECT_EQ(read_le(e + 6, 2), 32u);
        EXPECT_EQ(read_le(e + 8, 4), bytes[k]);
        EXPECT_EQ(read_le(e + 12, 2), uint32_t(k + 1));
    }
}

TEST(Emblem, HostilePictures) {
    EmblemPicture pic;
    // BODY claims far more than the file holds: decoded as far as the file goes.
    Bin body_cut = form(chunk("BMHD", bmhd(4, 2, 0)) + chunk("CMAP", cmap(kExamplePal)) + header("BODY", 0xFFFFFFF0u) +
                        Bin("\x02\x03\x02", 3));
    EXPECT_EQ(indexes(body_cut), (std::vector<uint8_t>{2, 3, 2, 0, 0, 0, 0, 0}));
    Bin rle_cut = form(chunk("BMHD", bmhd(4, 2, 1)) + chunk("CMAP", cmap(kExamplePal)) + header("BODY", 0xFFFFFFF0u) +
                       Bin("\x7F\x02\x03", 3));
    EXPECT_EQ(indexes(rle_cut), (std::vector<uint8_t>{2, 3, 0, 0, 0, 0, 0, 0}));
    // BODY's header is the last thing in the file: its data starts at the end.
    Bin body_none = form(chunk("BMHD", bmhd(2, 1, 1)) + chunk("CMAP", cmap(kExamplePal)) + header("BODY", 100));
    EXPECT_EQ(indexes(body_none), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(canvas_of(body_none).status, EMBLEM_EMPTY);

    // CMAP cut short: entries past the end of the file are black, so transparent.
    Bin cmap_cut = form(chunk("BMHD", bmhd(4, 1, 0)) + chunk("BODY", Bin("\x00\x01\x02\x03", 4)) + header("CMAP", 768) +
                        Bin("\xFF\xFF\xFF\x00\x90\x00\x00\x00", 8));
    ASSERT_EQ(parse(cmap_cut, &pic), 1);
    uint32_t colour[256];
    emblem_palette(&pic, colour);
    EXPECT_EQ(colour[0], 0xFFFFFFFFu);
    EXPECT_EQ(colour[1], 0xFF009000u);
    EXPECT_EQ(colour[2], 0u);  // partly present: its missing blue reads as 0, red and green are 0
    EXPECT_EQ(colour[3], 0u);
    EXPECT_EQ(colour[255], 0u);
    Canvas cc = canvas_of(cmap_cut);
    ASSERT_EQ(cc.status, EMBLEM_OK);
    EXPECT_EQ(cc.S, 2u);

    // BMHD cut short after width and height: compression reads as 0, so BODY is plain rows.
    Bin bmhd_cut = form(chunk("CMAP", cmap(kExamplePal)) + chunk("BODY", Bin("\x02\x03", 2)) + header("BMHD", 20) +
                        be_bytes(2, 2) + be_bytes(1, 2));
    ASSERT_EQ(parse(bmhd_cut, &pic), 1);
    EXPECT_EQ(pic.w, 2u);
    EXPECT_EQ(pic.compression, 0u);
    EXPECT_EQ(indexes(bmhd_cut), (std::vector<uint8_t>{2, 3}));
    // ...and after one byte of width: height reads as 0, not understood.
    Bin bmhd_stub = form(chunk("CMAP", cmap(kExamplePal)) + chunk("BODY", Bin("\x02\x03", 2)) + header("BMHD", 20) + "\x01");
    EXPECT_EQ(parse(bmhd_stub, &pic), 0);

    // A chunk length that runs past the end of the file ends the walk without wrapping.
    Bin runaway = form(chunk("BMHD", bmhd(3, 2, 1)) + chunk("CMAP", cmap(kExamplePal)) + chunk("BODY", kExampleBody) +
                       header("ANNO", 0xFFFFFFFFu) + chunk("BMHD", bmhd(9, 9, 0)));
    ASSERT_EQ(parse(runaway, &pic), 1);
    EXPECT_EQ(pic.w, 3u);

    // Sizes whose pictures could not fit in memory are refused at once, before any allocation.
    for (uint32_t w : {65535u, 16384u, 8193u}) {
        Bin big = picture(w, w, 1, {0, 0xFFFFFF}, Bin("\x81\x01", 2));
        EXPECT_EQ(parse(big, &pic), 0) << w;
        EXPECT_EQ(canvas_of(big).status, EMBLEM_NOT_UNDERSTOOD) << w;
    }
    // A thin strip is a small picture with a huge square canvas (69,630 pixels a side): refused too.
    Bin row(65536, '\0');
    row[0] = row[65534] = 1;
    Bin strip = picture(65535, 1, 0, {0, 0xFFFFFF}, row);
    ASSERT_EQ(parse(strip, &pic), 1);
    EXPECT_EQ(canvas_of(strip).status, EMBLEM_NOT_UNDERSTOOD);
    // A large but reasonable picture is accepted.
    Canvas wide = canvas_of(box_picture(2000, 1000, 0, 0, 2000, 1000));
    ASSERT_EQ(wide.status, EMBLEM_OK);
    EXPECT_EQ(wide.S, 2125u);
}

// The icon file beside a signed game: the group's entries with file offsets, the images one after another;
// written whole, or not at all with one line.
TEST(Emblem, IconFileAndItsWriting) {
    Bin lbm = box_picture(37, 23, 5, 2, 30, 20);
    Canvas c = canvas_of(lbm);
    uint32_t n = 0;
    uint8_t *file = emblem_icon_file(c.px.data(), c.S, &n), g[104];
    ASSERT_NE(file, nullptr);
    emblem_icon_group(g);
    Bin ico(reinterpret_cast<char *>(file), n), group(reinterpret_cast<char *>(g), 104);
    free(file);
    EXPECT_EQ(ico.substr(0, 6), group.substr(0, 6));
    uint32_t at = 6 + 16 * 7;
    for (int k = 0; k < 7; k++) {
        EXPECT_EQ(ico.substr(6 + 16 * k, 12), group.substr(6 + 14 * k, 12)) << k;
        ASSERT_EQ(read_le(u8(ico) + 6 + 16 * k + 12, 4), at) << k;
        Image im = image_of(c.px, c.S, EMBLEM_SIZES[k]);
        EXPECT_TRUE(ico.compare(at, im.bytes.size(), Bin(im.bytes.begin(), im.bytes.end())) == 0) << k;
        at += uint32_t(im.bytes.size());
    }
    EXPECT_EQ(n, at);

    TempDir t;
    LogCapture log;
    put(t.sub("zarnith.ico"), "an older icon, longer than nothing");
    EXPECT_EQ(write_emblem_icon(t.sub("zarnith.ico").c_str(), u8(lbm), lbm.size()), 1);
    EXPECT_EQ(contents(t.sub("zarnith.ico")), ico);
    Bin dark = picture(2, 2, 0, {0x101010, 0xFFFFFF}, Bin(4, '\0'));
    EXPECT_EQ(write_emblem_icon(t.sub("dark.ico").c_str(), u8(dark), dark.size()), 0);
    EXPECT_EQ(contents(t.sub("dark.ico")), NO_FILE);
    put(t.sub("file"), "x");
    EXPECT_EQ(write_emblem_icon(t.sub("file\\zarnith.ico").c_str(), u8(lbm), lbm.size()), 0);
    std::vector<std::string> lines = log.take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ERROR: game emblem picture is empty");
    EXPECT_EQ(lines[1].rfind("cannot write ", 0), 0u) << lines[1];
}

#ifdef _WIN32
#include <windows.h>

namespace {

// A scratch copy of the stand-in game, and the log lines of what is done to it.
struct Scratch {
    TempDir dir;
    std::string exe = dir.sub("zarnith.exe");
    Bin original = contents("standin\\zarnith.exe");
    LogCapture log;
    Scratch() { put(exe, original); }
};

Bin resource(HMODULE m, int type, int id) {
    HRSRC r = FindResourceExA(m, MAKEINTRESOURCEA(type), MAKEINTRESOURCEA(id), 0);
    if (!r) return Bin();
    HGLOBAL g = LoadResource(m, r);
    return Bin(static_cast<const char *>(LockResource(g)), SizeofResource(m, r));
}

}  // namespace

TEST(EmblemWin, InjectWritesSevenIconsAndTheGroup) {
    Scratch s;
    ASSERT_TRUE(s.original != NO_FILE && !s.original.empty()) << "run from the build folder: standin\\zarnith.exe is needed";
    Bin lbm = box_picture(37, 23, 5, 2, 30, 20);
    ASSERT_EQ(inject_icon_lbm(s.exe.c_str(), u8(lbm), lbm.size()), 1);
    EXPECT_TRUE(s.log.take().empty());

    Canvas c = canvas_of(lbm);
    HMODULE m = LoadLibraryExA(s.exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(m, nullptr);
    for (uint32_t k = 1; k <= 7; k++) {
        uint32_t n = 0;
        uint8_t *want = emblem_icon_image(c.px.data(), c.S, EMBLEM_SIZES[k - 1], &n);
        Bin got = resource(m, 3, k);
        EXPECT_EQ(got, Bin(reinterpret_cast<char *>(want), n)) << "icon " << k;
        free(want);
    }
    uint8_t group[104];
    emblem_icon_group(group);
    EXPECT_EQ(resource(m, 14, 1), Bin(reinterpret_cast<char *>(group), 104));
    HICON icon = static_cast<HICON>(LoadImageA(m, MAKEINTRESOURCEA(1), IMAGE_ICON, 32, 32, 0));
    EXPECT_NE(icon, nullptr);
    if (icon) DestroyIcon(icon);
    FreeLibrary(m);

    // A second picture replaces the first in place: still one set of resources.
    Bin other = box_picture(4, 4, 0, 0, 4, 4);
    ASSERT_EQ(inject_icon_lbm(s.exe.c_str(), u8(other), other.size()), 1);
    m = LoadLibraryExA(s.exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(m, nullptr);
    Bin first = resource(m, 3, 1);
    ASSERT_EQ(first.size(), 1128u);
    EXPECT_EQ(read_le(u8(first) + 40, 4), 0xFFFFFFFFu);
    FreeLibrary(m);
}

TEST(EmblemWin, FailuresLogOneLineAndLeaveTheFile) {
    Scratch s;
    ASSERT_TRUE(s.original != NO_FILE && !s.original.empty());
    struct Case {
        Bin lbm;
        const char *line;
    } cases[] = {
        {Bin("FORM"), "ERROR: game emblem picture not understood"},
        {picture(65535, 65535, 1, {0, 0xFFFFFF}, Bin("\x81\x01", 2)), "ERROR: game emblem picture not understood"},
        {picture(2, 2, 0, {0x101010, 0xFFFFFF}, Bin(4, '\0')), "ERROR: game emblem picture is empty"},
    };
    for (const Case &t : cases) {
        EXPECT_EQ(inject_icon_lbm(s.exe.c_str(), u8(t.lbm), t.lbm.size()), 0);
        EXPECT_EQ(s.log.take(), std::vector<std::string>{t.line});
        EXPECT_EQ(contents(s.exe), s.original);
    }

    std::string missing = s.dir.sub("absent\\zarnith.exe");
    Bin good = box_picture(4, 4, 0, 0, 4, 4);
    EXPECT_EQ(inject_icon_lbm(missing.c_str(), u8(good), good.size()), 0);
    EXPECT_EQ(s.log.take(), std::vector<std::string>{"ERROR: cannot update the game executable's icon"});
    EXPECT_FALSE(path_exists(missing.c_str()));

    // The update begins but cannot be committed while a view of the file is mapped.
    HMODULE held = LoadLibraryExA(s.exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(inject_icon_lbm(s.exe.c_str(), u8(good), good.size()), 0);
    EXPECT_EQ(s.log.take(), std::vector<std::string>{"ERROR: cannot write the game executable's icon"});
    FreeLibrary(held);
    EXPECT_EQ(contents(s.exe), s.original);
}
#endif
