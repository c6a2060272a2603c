// CRC-32 at the speed of memory (module util): the checks of a copy sum every byte written, so the sum
// must cost next to nothing beside the copy. The fastest way the processor offers, chosen once at run time:
// - carry-less multiplication (PCLMULQDQ with SSE4.1, every x86-64 processor since about 2010): four
//   128-bit lanes fold 64 bytes at a time, then fold into one lane and reduce to 32 bits (Gopal et al.,
//   "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ Instruction", Intel, 2009, with the
//   constants of its bit-reflected variant for the polynomial 0x104C11DB7: x^(d+32) and x^(d-32) mod P
//   for a fold over d bits); where the processor multiplies two lanes at once (VPCLMULQDQ on 256-bit
//   registers, since about 2019), four such registers fold 128 bytes at a time;
// - slicing by eight: eight tables of 256 entries take eight bytes a step (Kounavis and Berry, "A
//   Systematic Approach to Building High Performance Software-Based CRC Generators", 2005); it also
//   takes the head and the tail of a buffer that the folding leaves.
#include <atomic>
#include <cstring>

#include "util/util.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <cpuid.h>
#include <immintrin.h>
#define CRC32_X86 1
#endif

namespace {

constexpr uint32_t POLY = 0xEDB88320u;  // 0x04C11DB7 bit-reflected

// The eight tables: t[0] is the byte-at-a-time table, t[k][b] the sum of byte b followed by k zero bytes.
uint32_t t[8][256];
// 0 until the tables are built, 1 while one thread builds them, 2 once they are there. An atomic rather
// than a function-local static: that would bring in the C++ runtime's guards, and with them its
// exception machinery, some 100 KB of setup.exe.
std::atomic<int> built;

void build_tables() {
    int expected = 0;
    if (built.load(std::memory_order_acquire) == 2) return;
    if (!built.compare_exchange_strong(expected, 1)) {
        while (built.load(std::memory_order_acquire) != 2) {
        }  // another worker builds them: a few microseconds
        return;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? POLY ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    built.store(2, std::memory_order_release);
}

// The register (preset and complemented by the caller) over n bytes, eight at a time.
uint32_t by_table(uint32_t c, const uint8_t *b, size_t n) {
    build_tables();
    for (; n && (reinterpret_cast<uintptr_t>(b) & 7); --n) c = t[0][(c ^ *b++) & 0xFF] ^ (c >> 8);
    for (; n >= 8; n -= 8, b += 8) {
        uint32_t lo, hi;
        memcpy(&lo, b, 4);
        memcpy(&hi, b + 4, 4);
        lo ^= c;  // little-endian: the first byte is the lowest
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; n; --n) c = t[0][(c ^ *b++) & 0xFF] ^ (c >> 8);
    return c;
}

#ifdef CRC32_X86

#define CLMUL __attribute__((target("pclmul,sse4.1")))
#define WIDE __attribute__((target("avx2,vpclmulqdq,pclmul,sse4.1")))

// One lane moved 128 bits on (k: x^(128+32) and x^(128-32) mod P, bit-reflected and shifted by one) and
// added to the next.
CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), lo), next);
}

CLMUL inline __m128i load(const uint8_t *b) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(b)); }

const uint64_t K3 = 0x01751997d0, K4 = 0x00ccaa009e;  // one lane apart

// The folded lane x, then the n bytes at b (n a multiple of 16) folded in, reduced to the register: 128
// bits to 64, then Barrett's reduction to 32 with P itself and floor(x^64 / P), bit-reflected.
CLMUL inline __attribute__((always_inline)) uint32_t reduce(__m128i x1, const uint8_t *b, size_t n) {
    const __m128i k3k4 = _mm_set_epi64x(K4, K3);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    for (; n >= 16; n -= 16, b += 16) x1 = fold(x1, k3k4, load(b));
    __m128i x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), x2);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low32), poly, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x2), 1));
}

// The register over n bytes, n a multiple of 16 and at least 64: four 128-bit lanes, 64 bytes a step.
CLMUL uint32_t by_clmul(uint32_t c, const uint8_t *b, size_t n) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);  // four lanes apart
    const __m128i k3k4 = _mm_set_epi64x(K4, K3);
    // The register goes into the first four bytes, which hold the lowest terms.
    __m128i x1 = _mm_xor_si128(load(b), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x2 = load(b + 16), x3 = load(b + 32), x4 = load(b + 48);
    for (b += 64, n -= 64; n >= 64; n -= 64, b += 64) {
        x1 = fold(x1, k1k2, load(b));
        x2 = fold(x2, k1k2, load(b + 16));
        x3 = fold(x3, k1k2, load(b + 32));
        x4 = fold(x4, k1k2, load(b + 48));
    }
    return reduce(fold(fold(fold(x1, k3k4, x2), k3k4, x3), k3k4, x4), b, n);
}

WIDE inline __m256i load256(const uint8_t *b) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b)); }

WIDE inline __m256i fold256(__m256i x, __m256i k, __m256i next) {
    __m256i lo = _mm256_clmulepi64_epi128(x, k, 0x00);
    return _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x11), lo), next);
}

// The same with 256-bit registers, where the processor multiplies two lanes in one (VPCLMULQDQ): four
// registers of two lanes each, 128 bytes a step, then the eight lanes into one.
WIDE uint32_t by_wide(uint32_t c, const uint8_t *b, size_t n) {
    const __m256i k = _mm256_set_epi64x(0x014a7fe880, 0x01e88ef372, 0x014a7fe880, 0x01e88ef372);  // 1024 bits
    const __m128i k3k4 = _mm_set_epi64x(K4, K3);
    __m256i y1 = _mm256_xor_si256(load256(b), _mm256_set_epi32(0, 0, 0, 0, 0, 0, 0, static_cast<int>(c)));
    __m256i y2 = load256(b + 32), y3 = load256(b + 64), y4 = load256(b + 96);
    for (b += 128, n -= 128; n >= 128; n -= 128, b += 128) {
        y1 = fold256(y1, k, load256(b));
        y2 = fold256(y2, k, load256(b + 32));
        y3 = fold256(y3, k, load256(b + 64));
        y4 = fold256(y4, k, load256(b + 96));
    }
    __m128i x = fold(_mm256_castsi256_si128(y1), k3k4, _mm256_extracti128_si256(y1, 1));
    x = fold(fold(x, k3k4, _mm256_castsi256_si128(y2)), k3k4, _mm256_extracti128_si256(y2, 1));
    x = fold(fold(x, k3k4, _mm256_castsi256_si128(y3)), k3k4, _mm256_extracti128_si256(y3, 1));
    x = fold(fold(x, k3k4, _mm256_castsi256_si128(y4)), k3k4, _mm256_extracti128_si256(y4, 1));
    return reduce(x, b, n);
}

// What the processor offers: PCLMULQDQ and SSE4.1 for the 128-bit way; for the 256-bit way also AVX2 and
// VPCLMULQDQ, and a system that saves the 256-bit registers (OSXSAVE, and XCR0 with the SSE and AVX state).
int supported() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_PCLMUL) || !(c & bit_SSE4_1)) return CRC32_TABLE;
    int avx = (c & bit_OSXSAVE) && (c & bit_AVX);
    if (avx) {
        unsigned lo, hi;
        __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        avx = (lo & 6) == 6;
    }
    if (avx && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2) && (c & (1u << 10)))  // VPCLMULQDQ
        return CRC32_WIDE;
    return CRC32_CLMUL;
}

#endif

int detect() {
#ifdef CRC32_X86
    return supported();
#else
    return CRC32_TABLE;
#endif
}

// The processor's best way, found at the first sum (-1 until then), and crc32_use's choice (-1: none).
std::atomic<int> found{-1};
std::atomic<int> chosen{-1};

}  // namespace

int crc32_kind() {
    int c = chosen.load(std::memory_order_relaxed);
    if (c >= 0) return c;
    int f = found.load(std::memory_order_relaxed);
    if (f < 0) found.store(f = detect(), std::memory_order_relaxed);
    return f;
}

int crc32_use(int kind) {
    if (kind > detect()) return 0;
    chosen.store(kind >= CRC32_TABLE && kind <= CRC32_WIDE ? kind : -1, std::memory_order_relaxed);
    return 1;
}

uint32_t crc32_add(uint32_t crc, const void *data, uint64_t len) {
    const uint8_t *b = static_cast<const uint8_t *>(data);
    uint32_t c = ~crc;
#ifdef CRC32_X86
    int kind = len >= 256 ? crc32_kind() : CRC32_TABLE;
    if (kind != CRC32_TABLE) {
        // Whole 16-byte blocks by folding; the tail by the tables.
        size_t fold = static_cast<size_t>(len) & ~size_t(15);
        c = kind == CRC32_WIDE ? by_wide(c, b, fold) : by_clmul(c, b, fold);
        b += fold;
        len -= fold;
    }
#endif
    return ~by_table(c, b, static_cast<size_t>(len));
}

uint32_t crc32_buf(const void *data, uint64_t len) { return crc32_add(0, data, len); }
