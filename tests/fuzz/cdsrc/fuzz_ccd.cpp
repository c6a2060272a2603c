// Fuzzes the CloneCD descriptor reader: any text. A found track names the descriptor's .img in its
// folder, with 2352-byte sectors and the user data at 16 or 24.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    DiscTrack t;
    const char *why = nullptr;
    if (!ccd_parse("C:\\rips\\game.ccd", data, size, &t, &why)) {
        if (!why) abort();
        return 0;
    }
    if (strcmp(t.file, "C:\\rips\\game.img") != 0) abort();
    if (t.sector_size != 2352 || (t.data_offset != 16 && t.data_offset != 24) || t.base % 2352) abort();
    return 0;
}
