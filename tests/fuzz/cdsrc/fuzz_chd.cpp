// Fuzzes the CHD reader as it meets a file: the header's checks, libchdr's map and metadata, the track
// list, then what the ISO 9660 reader asks of the hunks (lookups, a file read whole, the total). A CHD
// that opens has its data track inside its data, and a read that failed for the CHD's sake says why.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    ChdTrack t;
    chd_track_parse(data, size < 256 ? size : 256, &t);
    CdSrc *s = cd_open_mem(data, size);
    if (!s) return 0;
    if (s->base > s->image_size || s->sector_size != 2448) abort();
    // A few MB of hunks can stand for a whole CD: its walks are left out, so the fuzzer keeps its pace.
    if (s->image_size <= (16u << 20)) {
        static const char *const paths[] = {"3DGAME.EXE", "VELTRIS\\INTRO.DAT", "SOUND"};
        for (const char *p : paths) {
            uint64_t n = 0;
            free(cd_read(s, p, &n));
        }
        cd_total_bytes(s);
    }
    char why[300] = "";
    if (cd_damage(s, why, sizeof why) && !why[0]) abort();
    cd_close(s);
    return 0;
}
