// Fuzzes the CUE sheet reader: any bytes, several sheet paths. A found data file always fits its
// buffer, a relative name always lands in the sheet's folder, and the layout is one the reader knows.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"
#include "sheet_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    static const char *const sheets[] = {"C:\\Games\\cd\\game.cue", "Z:/images/game.cue", "game.cue",
                                         "\\\\srv\\share\\x.CUE", ""};
    for (const char *sheet : sheets) {
        DiscTrack t;
        const char *why = nullptr;
        if (!cue_parse(sheet, data, size, &t, &why)) {
            if (!why) abort();
            continue;
        }
        uint32_t ok_sizes[] = {0, 2048, 2336, 2352};
        int known = 0;
        for (uint32_t k : ok_sizes) known |= t.sector_size == k;
        if (!known || t.data_offset > 24) {
            fprintf(stderr, "unknown layout %u/%u\n", t.sector_size, t.data_offset);
            abort();
        }
        check_data_file(sheet, t);
    }
    return 0;
}
