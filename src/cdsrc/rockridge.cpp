// The system use area of a directory record (module cdsrc): what Rock Ridge (IEEE P1282, over SUSP,
// IEEE P1281) says there that changes what a plain reader would see. Each entry: two signature bytes,
// its length, its version, then its fields; every read is bounded by the area.
#include "util/bytes.h"
#include "cdsrc_internal.h"

namespace {
constexpr size_t CL_LOCATION = 4;  // the child link's sector, both-endian
}  // namespace

int susp_flags(const uint8_t *area, size_t n, uint32_t *child) {
    int flags = 0;
    Cursor c = cursor(area, n, 0);
    while (!c.failed && static_cast<size_t>(c.end - c.p) >= 4) {
        const uint8_t *sig = c.p;
        uint64_t len = sig[2];
        if (len < 4) break;  // padding, or no entry at all
        Cursor fields = cursor(sig, static_cast<size_t>(c.end - c.p), CL_LOCATION);
        if (sig[0] == 'C' && sig[1] == 'L' && len >= CL_LOCATION + 8) {
            *child = static_cast<uint32_t>(get_le_at(&fields, 0, 4));
            if (!fields.failed) flags |= SUSP_CHILD_LINK;
        }
        if (sig[0] == 'R' && sig[1] == 'E') flags |= SUSP_MOVED_AWAY;
        if (sig[0] == 'Z' && sig[1] == 'F') flags |= SUSP_COMPRESSED;
        cur_skip(&c, static_cast<size_t>(len));
    }
    return flags;
}

int susp_indicator(const uint8_t *area, size_t n) {
    // SP: length 7, version 1, the check bytes BE EF, the bytes to skip.
    return n >= 7 && area[0] == 'S' && area[1] == 'P' && area[4] == 0xBE && area[5] == 0xEF;
}
