// Fuzzes the Nero reader as it meets a file: the footer in the last 12 bytes, then the chunks it
// points at. The chunk area always lies inside the file, and a found track has a known layout.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    uint64_t at = 0, len = 0;
    if (size >= 12 && nrg_footer(data + size - 12, 12, size, &at, &len) && len) {
        if (at + len > size) abort();
        DiscTrack t;
        const char *why = nullptr;
        if (nrg_parse("E:\\n\\game.nrg", data + at, static_cast<size_t>(len), &t, &why)) {
            if (strcmp(t.file, "E:\\n\\game.nrg") != 0) abort();
            if (t.data_offset > 24 || t.sector_size < 2048 || t.sector_size > 2448) abort();
        } else if (!why) {
            abort();
        }
    }
    // The chunk walk on its own, from any bytes.
    DiscTrack t;
    const char *why = nullptr;
    nrg_parse("x.nrg", data, size, &t, &why);
    return 0;
}
