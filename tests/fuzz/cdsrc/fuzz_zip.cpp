// Fuzzes the ZIP reader as it meets an archive: minizip lists the entries, then each entry's bytes are read
// (in place or inflated) and its CRC checked. Every refusal is worded.
#include "archive_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz_archive(data, size, zip_open);
}
