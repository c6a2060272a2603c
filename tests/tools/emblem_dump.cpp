// Runs the emblem picture pipeline on one picture file and writes what the setup would put into the
// game executable: PREFIX1.bin ... PREFIX7.bin (the icon images, ids 1-7) and PREFIXgroup.bin.
// Exit code: 0 written, 2 picture not understood, 3 picture empty, 1 a file could not be read or written.
// Usage: emblem_dump PICTURE PREFIX
#include <cstdio>
#include <cstdlib>
#include <string>

#include "install/install.h"
#include "util/util.h"

static bool save(const std::string &path, const uint8_t *data, size_t n) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, n, f) == n;
    return fclose(f) == 0 && ok;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: emblem_dump PICTURE PREFIX\n");
        return 1;
    }
    FILE *f = fopen(argv[1], "rb");
    if (!f) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    std::string lbm;
    char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) lbm.append(buf, got);
    fclose(f);

    uint32_t *canvas = nullptr, S = 0;
    int status = emblem_canvas(reinterpret_cast<const uint8_t *>(lbm.data()), lbm.size(), &canvas, &S);
    if (status != EMBLEM_OK) {
        printf("%s\n", status == EMBLEM_EMPTY ? "empty" : "not understood");
        return status == EMBLEM_EMPTY ? 3 : 2;
    }
    printf("canvas %u\n", S);
    int rc = 0;
    for (int k = 0; k < 7; k++) {
        uint32_t n = 0;
        uint8_t *img = emblem_icon_image(canvas, S, EMBLEM_SIZES[k], &n);
        if (!img || !save(std::string(argv[2]) + std::to_string(k + 1) + ".bin", img, n)) rc = 1;
        free(img);
    }
    uint8_t group[104];
    emblem_icon_group(group);
    if (!save(std::string(argv[2]) + "group.bin", group, sizeof group)) rc = 1;
    free(canvas);
    return rc;
}
