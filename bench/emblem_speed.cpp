// How long the emblem picture pipeline takes for a 320 x 200 and a 1,920 x 1,080 picture, next to
// two baselines measured in the same run: copying the picture file's bytes, and decoding alone.
// Built and run by emblem_speed.sh (optimised, no sanitizers). Prints one line per measurement.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "install/install.h"

typedef std::string Bin;

static Bin be(uint32_t v, int n) {
    Bin b;
    for (int i = n - 1; i >= 0; i--) b += char(v >> (8 * i));
    return b;
}

static Bin chunk(const char *id, const Bin &d) { return Bin(id, 4) + be(uint32_t(d.size()), 4) + d + (d.size() & 1 ? Bin(1, '\0') : Bin()); }

// ByteRun1 of one row: runs of three or more repeat, the rest literal.
static void pack_row(const uint8_t *r, uint32_t n, Bin &out) {
    uint32_t i = 0, lit = 0;
    auto flush = [&](uint32_t end) {
        while (lit < end) {
            uint32_t k = std::min<uint32_t>(128, end - lit);
            out += char(k - 1);
            out.append(reinterpret_cast<const char *>(r + lit), k);
            lit += k;
        }
    };
    while (i < n) {
        uint32_t j = i + 1;
        while (j < n && j - i < 128 && r[j] == r[i]) j++;
        if (j - i >= 3) {
            flush(i);
            out += char(257 - (j - i));
            out += char(r[i]);
            lit = j;
        }
        i = j;
    }
    flush(n);
}

// A shield on a dark background with a diagonal band and some noise, like a game's title emblem.
static Bin make_picture(uint32_t w, uint32_t h) {
    uint32_t stride = (w + 1) & ~1u;
    std::vector<uint8_t> row(stride);
    Bin body;
    uint32_t seed = 12345;
    for (uint32_t y = 0; y < h; y++) {
        for (uint32_t x = 0; x < w; x++) {
            double px = (x + 0.5) / w * 2 - 1, py = (y + 0.5) / h * 2 - 1;
            uint8_t c = 0;
            if (std::fabs(px) < 0.9 && (py < 0.2 ? py > -0.9 : px * px / 0.81 + (py - 0.2) * (py - 0.2) / 0.49 < 1)) {
                c = std::fabs(px - py) < 0.15 ? 3 : 2;
                seed = seed * 1103515245 + 12345;
                if ((seed >> 16) % 16 == 0) c = uint8_t(4 + (seed >> 20) % 200);
            }
            row[x] = c;
        }
        if (w & 1) row[w] = 0;
        pack_row(row.data(), stride, body);
    }
    Bin bmhd = be(w, 2) + be(h, 2) + be(0, 4) + Bin("\x08\x00\x01\x00", 4) + be(0, 2) + Bin("\x05\x06", 2) + be(w, 2) + be(h, 2);
    Bin cmap;
    for (int i = 0; i < 256; i++) cmap += Bin{char(i ? 40 + i % 200 : 0), char(i ? 200 - i % 150 : 0), char(i ? 90 : 0)};
    Bin inner = Bin("PBM ") + chunk("BMHD", bmhd) + chunk("CMAP", cmap) + chunk("BODY", body);
    return "FORM" + be(uint32_t(inner.size()), 4) + inner;
}

static volatile uint32_t sink;

// Median milliseconds of one call, over as many calls as fit in about half a second (at least 5).
template <class F> static double time_ms(F f) {
    std::vector<double> t;
    auto start = std::chrono::steady_clock::now();
    while (t.size() < 5 || (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(500) && t.size() < 2000)) {
        auto a = std::chrono::steady_clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

int main() {
    const uint32_t dims[2][2] = {{320, 200}, {1920, 1080}};
    for (auto &d : dims) {
        Bin lbm = make_picture(d[0], d[1]);
        const uint8_t *p = reinterpret_cast<const uint8_t *>(lbm.data());
        uint64_t n = lbm.size();
        std::vector<uint8_t> copy(n);
        uint32_t S = 0;
        {
            uint32_t *c = nullptr;
            if (emblem_canvas(p, n, &c, &S) != EMBLEM_OK) {
                fprintf(stderr, "test picture not understood\n");
                return 1;
            }
            free(c);
        }
        double t_copy = time_ms([&] {
            memcpy(copy.data(), p, n);
            sink = copy[n / 2];
        });
        double t_decode = time_ms([&] {
            EmblemPicture pic;
            emblem_parse(p, n, &pic);
            uint32_t stride;
            uint8_t *idx = emblem_indexes(&pic, &stride);
            sink = idx[0];
            free(idx);
        });
        double t_canvas = time_ms([&] {
            uint32_t *c = nullptr, s = 0;
            emblem_canvas(p, n, &c, &s);
            sink = c[0];
            free(c);
        });
        double t_all = time_ms([&] {
            uint32_t *c = nullptr, s = 0;
            emblem_canvas(p, n, &c, &s);
            for (uint32_t N : EMBLEM_SIZES) {
                uint32_t bytes;
                uint8_t *img = emblem_icon_image(c, s, N, &bytes);
                sink = img[bytes / 2];
                free(img);
            }
            uint8_t group[104];
            emblem_icon_group(group);
            sink = group[8];
            free(c);
        });
        printf("%ux%u picture (%llu bytes in the file, canvas %u x %u):\n", d[0], d[1], (unsigned long long)n, S, S);
        printf("  baseline: copy the file bytes     %9.3f ms\n", t_copy);
        printf("  baseline: decode alone            %9.3f ms\n", t_decode);
        printf("  decode + crop + canvas            %9.3f ms\n", t_canvas);
        printf("  whole pipeline (7 images + group) %9.3f ms   (%.1f x decode alone)\n", t_all, t_all / t_decode);
    }
    return 0;
}
