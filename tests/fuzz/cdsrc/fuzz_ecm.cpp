// Fuzzes the ECM reader as it meets a file: its records walked for the BIN's size, then the BIN read and the
// EDC of the whole checked. Every refusal is worded.
#include "archive_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    pf_file f = memory_file(data, size);
    if (f == PF_INVALID) return 0;
    const char *why = nullptr;
    ByteSource *b = ecm_open(bytes_span(f, 0, size, 1), &why);
    if (b) exercise(b);
    else if (!why) abort();
    return 0;
}
