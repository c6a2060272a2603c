// Fuzzes the 7z reader as it meets an archive: the LZMA SDK reads its header, then each entry's bytes are
// decoded (LZMA, LZMA2) and its CRC checked. Every refusal is worded.
#include "archive_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz_archive(data, size, sevenzip_open);
}
