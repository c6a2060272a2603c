// Fuzzes the emblem picture pipeline on arbitrary bytes: chunk walk, ByteRun1, palette, crop, canvas
// and all seven icon images, checking the shape of every result. Replay: fuzz_emblem crash-file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "install/install.h"

static void check(bool ok) {
    if (!ok) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    // An exact-size copy, so that AddressSanitizer reports the first byte read past the input.
    std::vector<uint8_t> copy(data, data + size);
    const uint8_t *lbm = size ? copy.data() : nullptr;

    EmblemPicture pic;
    int parsed = emblem_parse(lbm, size, &pic);
    if (!parsed) {
        uint32_t *canvas = nullptr, S = 0;
        check(emblem_canvas(lbm, size, &canvas, &S) == EMBLEM_NOT_UNDERSTOOD && !canvas);
        return 0;
    }
    check(pic.w && pic.h && uint64_t(pic.w) * pic.h <= EMBLEM_MAX_PIXELS);
    // Large pictures only cost time here; their refusal and memory bounds have unit tests.
    if (pic.w > 1024 || pic.h > 1024) return 0;

    uint32_t stride = 0;
    uint8_t *idx = emblem_indexes(&pic, &stride);
    check(idx && stride >= pic.w && stride % 2 == 0);
    uint32_t colour[256];
    emblem_palette(&pic, colour);
    bool visible = false;
    for (uint32_t y = 0; y < pic.h && !visible; y++)
        for (uint32_t x = 0; x < pic.w && !visible; x++) visible = colour[idx[uint64_t(y) * stride + x]] != 0;
    free(idx);
    for (uint32_t c : colour) check(c == 0 || c >> 24 == 0xFF);

    uint32_t *canvas = nullptr, S = 0;
    int status = emblem_canvas(lbm, size, &canvas, &S);
    if (!visible) {
        check(status == EMBLEM_EMPTY && !canvas);
        return 0;
    }
    check(status == EMBLEM_OK && canvas && S >= 1 && S <= 1024 + 64);
    bool opaque = false;
    for (uint64_t i = 0; i < uint64_t(S) * S; i++) {
        check(canvas[i] == 0 || canvas[i] >> 24 == 0xFF);
        opaque |= canvas[i] != 0;
    }
    check(opaque);

    for (uint32_t N : EMBLEM_SIZES) {
        uint32_t bytes = 0;
        uint8_t *img = emblem_icon_image(canvas, S, N, &bytes);
        check(img && bytes == emblem_icon_bytes(N));
        uint32_t header[3];
        memcpy(header, img, sizeof header);
        check(header[0] == 40 && header[1] == N && header[2] == 2 * N);
        for (uint64_t i = 40 + 4ull * N * N; i < bytes; i++) check(img[i] == 0);
        free(img);
    }
    free(canvas);
    return 0;
}
