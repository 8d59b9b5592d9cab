#include "repair/SegmentChecksum.h"

#include <array>
#include <cstring>

// x86-64 only: 32-bit x86 has no SSE in its baseline, so its vectors cannot pass
// between functions compiled with and without it.
#if defined(__x86_64__)
#include <immintrin.h>
#define OSMEL_HAVE_X86_CLMUL 1
#endif

namespace {

constexpr std::uint32_t kPolynomial = 0x04C11DB7u;

using Tables = std::array<std::array<std::uint32_t, 256>, 16>;

// tables[k][b]: the checksum contribution of byte b followed by k zero bytes.
constexpr Tables MakeTables() {
    Tables t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b << 24;
        for (int i = 0; i < 8; ++i) {
            c = (c & 0x80000000u) != 0 ? (c << 1) ^ kPolynomial : c << 1;
        }
        t[0][b] = c;
    }
    for (std::size_t k = 1; k < 16; ++k) {
        for (std::uint32_t b = 0; b < 256; ++b) {
            const std::uint32_t prev = t[k - 1][b];
            t[k][b] = (prev << 8) ^ t[0][prev >> 24];
        }
    }
    return t;
}

constexpr Tables kTables = MakeTables();

inline std::uint32_t LoadBigEndian32(const unsigned char* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

#if defined(OSMEL_HAVE_X86_CLMUL)

// x^n mod P, as a polynomial of degree below 32 (bit i is the coefficient of x^i).
std::uint64_t XPowModP(unsigned n) {
    std::uint32_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r = (r & 0x80000000u) != 0 ? (r << 1) ^ kPolynomial : r << 1;
    }
    return r;
}

struct FoldConstants {
    __m128i by4;  // {x^512 mod P, x^576 mod P}: folds a lane over four blocks
    __m128i by1;  // {x^128 mod P, x^192 mod P}: folds over one block
};

const FoldConstants& Constants() {
    static const FoldConstants constants = [] {
        FoldConstants c{};
        c.by4 = _mm_set_epi64x(static_cast<long long>(XPowModP(576)),
                               static_cast<long long>(XPowModP(512)));
        c.by1 = _mm_set_epi64x(static_cast<long long>(XPowModP(192)),
                               static_cast<long long>(XPowModP(128)));
        return c;
    }();
    return constants;
}

// The register holds 16 bytes as one polynomial of degree below 128, the first byte's
// top bit as the coefficient of x^127.
__attribute__((target("pclmul,ssse3"))) inline __m128i LoadBlock(const unsigned char* p) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// value * x^distance, reduced below degree 128 but congruent mod P: the high and low
// halves are multiplied by x^(distance+64) and x^distance mod P, which have degree < 32.
__attribute__((target("pclmul,ssse3"))) inline __m128i Fold(__m128i value, __m128i constants) {
    const __m128i high = _mm_clmulepi64_si128(value, constants, 0x11);
    const __m128i low = _mm_clmulepi64_si128(value, constants, 0x00);
    return _mm_xor_si128(high, low);
}

// Folds the data to one 128-bit polynomial congruent to it (mod P); the checksum of the
// 16 bytes of that polynomial followed by the unfolded tail equals the checksum of the
// whole data, so the table finishes the job without a separate reduction.
__attribute__((target("pclmul,ssse3"))) std::uint32_t ClmulCrc(std::uint32_t crc,
                                                               const unsigned char* p,
                                                               std::size_t size) {
    const FoldConstants& k = Constants();
    // The running checksum is the polynomial of the bytes so far, times x^32, reduced:
    // adding it to the top 32 bits of the first block continues it.
    __m128i x0 = _mm_xor_si128(LoadBlock(p), _mm_set_epi32(static_cast<int>(crc), 0, 0, 0));
    __m128i x1 = LoadBlock(p + 16);
    __m128i x2 = LoadBlock(p + 32);
    __m128i x3 = LoadBlock(p + 48);
    p += 64;
    size -= 64;
    while (size >= 64) {
        x0 = _mm_xor_si128(Fold(x0, k.by4), LoadBlock(p));
        x1 = _mm_xor_si128(Fold(x1, k.by4), LoadBlock(p + 16));
        x2 = _mm_xor_si128(Fold(x2, k.by4), LoadBlock(p + 32));
        x3 = _mm_xor_si128(Fold(x3, k.by4), LoadBlock(p + 48));
        p += 64;
        size -= 64;
    }
    __m128i x = _mm_xor_si128(Fold(x0, k.by1), x1);
    x = _mm_xor_si128(Fold(x, k.by1), x2);
    x = _mm_xor_si128(Fold(x, k.by1), x3);
    while (size >= 16) {
        x = _mm_xor_si128(Fold(x, k.by1), LoadBlock(p));
        p += 16;
        size -= 16;
    }
    unsigned char folded[16];
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(folded), _mm_shuffle_epi8(x, reverse));
    return SegmentCrcTable(SegmentCrcTable(0, folded, sizeof folded), p, size);
}

bool DetectClmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

#endif

}  // namespace

std::uint32_t SegmentCrcBitwise(std::uint32_t crc, const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint32_t>(p[i]) << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ kPolynomial : crc << 1;
        }
    }
    return crc;
}

std::uint32_t SegmentCrcTable(std::uint32_t crc, const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size >= 16) {
        const std::uint32_t x = crc ^ LoadBigEndian32(p);
        crc = kTables[15][x >> 24] ^ kTables[14][(x >> 16) & 0xFF] ^ kTables[13][(x >> 8) & 0xFF] ^
              kTables[12][x & 0xFF] ^ kTables[11][p[4]] ^ kTables[10][p[5]] ^ kTables[9][p[6]] ^
              kTables[8][p[7]] ^ kTables[7][p[8]] ^ kTables[6][p[9]] ^ kTables[5][p[10]] ^
              kTables[4][p[11]] ^ kTables[3][p[12]] ^ kTables[2][p[13]] ^ kTables[1][p[14]] ^
              kTables[0][p[15]];
        p += 16;
        size -= 16;
    }
    while (size-- > 0) {
        crc = (crc << 8) ^ kTables[0][(crc >> 24) ^ *p++];
    }
    return crc;
}

bool SegmentCrcUsesClmul() {
#if defined(OSMEL_HAVE_X86_CLMUL)
    static const bool available = DetectClmul();
    return available;
#else
    return false;
#endif
}

std::uint32_t SegmentCrc(std::uint32_t crc, const void* data, std::size_t size) {
#if defined(OSMEL_HAVE_X86_CLMUL)
    if (size >= 256 && SegmentCrcUsesClmul()) {
        return ClmulCrc(crc, static_cast<const unsigned char*>(data), size);
    }
#endif
    return SegmentCrcTable(crc, data, size);
}
