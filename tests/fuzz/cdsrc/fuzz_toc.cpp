// Fuzzes the cdrdao TOC sheet reader: any bytes, several sheet paths. A found data file always fits its
// buffer, a relative name always lands in the sheet's folder, and the layout is one a TRACK mode gives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"
#include "sheet_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    static const char *const sheets[] = {"C:\\Games\\cd\\game.toc", "Z:/images/game.toc", "game.toc", ""};
    for (const char *sheet : sheets) {
        DiscTrack t;
        const char *why = nullptr;
        if (!toc_parse(sheet, data, size, &t, &why)) {
            if (!why) abort();
            continue;
        }
        // MODE1 and MODE2_FORM1 at 0, MODE2 and MODE2_FORM_MIX at 8, MODE1_RAW at 16, MODE2_RAW at 24;
        // each with or without 96 sub-channel bytes.
        static const uint32_t layouts[][2] = {{2048, 0}, {2336, 8}, {2352, 16}, {2352, 24}};
        int known = 0;
        for (const auto &l : layouts)
            known |= t.data_offset == l[1] && (t.sector_size == l[0] || t.sector_size == l[0] + 96);
        if (!known) {
            fprintf(stderr, "unknown layout %u/%u\n", t.sector_size, t.data_offset);
            abort();
        }
        check_data_file(sheet, t);
    }
    return 0;
}
