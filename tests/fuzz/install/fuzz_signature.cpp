// Fuzzes the signature check on arbitrary bytes: it answers 0 or 1, reads nothing outside the bytes, and
// calls nothing signed that does not begin like an executable. Replay: fuzz_signature crash-file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "install/install.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    // An exact-size copy, so that AddressSanitizer reports the first byte read past the input.
    std::vector<uint8_t> copy(data, data + size);
    int got = exe_signed(size ? copy.data() : nullptr, size);
    if (got != 0 && got != 1) abort();
    if (got && (size < 0x40 || memcmp(copy.data(), "MZ", 2) != 0)) abort();
    return 0;
}
