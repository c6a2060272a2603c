// Fuzzes the Alcohol descriptor reader: any bytes. A found track has a layout the reader knows and
// a data file that fits its buffer and is no device.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    DiscTrack t;
    const char *why = nullptr;
    if (!mds_parse("D:\\alc\\game.mds", data, size, &t, &why)) {
        if (!why) abort();
        return 0;
    }
    size_t n = strnlen(t.file, sizeof t.file);
    if (n == 0 || n >= sizeof t.file) abort();
    const char *base = strrchr(t.file, '\\');
    base = base ? base + 1 : t.file;
    if (name_is_device(base, strlen(base)) || memcmp(t.file, "\\\\.\\", 4) == 0) abort();
    static const uint32_t sizes[] = {2048, 2336, 2352, 2448};
    int known = 0;
    for (uint32_t s : sizes) known |= t.sector_size == s;
    if (!known || t.data_offset > 24) abort();
    return 0;
}
