// Fuzzes the ZIP reader as it meets an archive: minizip lists the entries, then each entry's bytes are read
// (in place or inflated) and its CRC checked. Every refusal is worded.
#include "archive_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    pf_file f = memory_file(data, size);
    if (f == PF_INVALID) return 0;
    const char *why = nullptr;
    Archive *a = zip_open(f, size, &why);
    if (!a && !why) abort();
    for (size_t i = 0; a && i < a->count && i < 8; ++i) {
        ByteSource *b = a->ops->open(a, i, &why);
        if (b) exercise(b);
        else if (!why) abort();
    }
    if (a) a->ops->close(a);
    pf_close(f);
    return 0;
}
