#include "patch/Sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define OSMEL_HAVE_X86_SHA 1
#endif

namespace {

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::array<std::uint32_t, 8> kInitial = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline std::uint32_t Rotate(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void PortableBlocks(std::uint32_t* state, const unsigned char* data, std::size_t blocks) {
    for (; blocks > 0; --blocks, data += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const unsigned char* p = data + 4 * i;
            w[i] = (static_cast<std::uint32_t>(p[0]) << 24) |
                   (static_cast<std::uint32_t>(p[1]) << 16) |
                   (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 =
                Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) +
                                     ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const std::uint32_t t2 =
                (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if defined(OSMEL_HAVE_X86_SHA)

// The SHA instructions keep the working variables as {A,B,E,F} and {C,D,G,H}, and take
// four message words a time, each register's first lane the earliest word.
__attribute__((target("sha,sse4.1,ssse3"))) void ShaBlocks(std::uint32_t* state,
                                                           const unsigned char* data,
                                                           std::size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i w[4];
#pragma GCC unroll 16
        for (int group = 0; group < 16; ++group) {
            __m128i& words = w[group % 4];
            if (group < 4) {
                words = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
            } else {
                // w[t] = w[t-16] + s0(w[t-15]) + w[t-7] + s1(w[t-2]), four words at once.
                const __m128i& last = w[(group + 3) % 4];
                const __m128i& before = w[(group + 2) % 4];
                words = _mm_sha256msg1_epu32(words, w[(group + 1) % 4]);
                words = _mm_add_epi32(words, _mm_alignr_epi8(last, before, 4));
                words = _mm_sha256msg2_epu32(words, last);
            }
            __m128i round = _mm_add_epi32(
                words, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, round);
            round = _mm_shuffle_epi32(round, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, round);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

bool HasShaInstructions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    return sse41 && ssse3 && (ebx & bit_SHA) != 0;
}

#endif

Sha256::Blocks FastestBlocks() {
#if defined(OSMEL_HAVE_X86_SHA)
    static const bool sha = HasShaInstructions();
    if (sha) {
        return ShaBlocks;
    }
#endif
    return PortableBlocks;
}

}  // namespace

Sha256::Sha256(Engine engine)
    : m_blocks(engine == Engine::kFastest ? FastestBlocks() : PortableBlocks) {
    Reset();
}

void Sha256::Reset() {
    m_state = kInitial;
    m_buffered = 0;
    m_length = 0;
}

void Sha256::Update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    m_length += size;
    if (m_buffered > 0) {
        const std::size_t take = std::min(size, m_buffer.size() - m_buffered);
        std::memcpy(m_buffer.data() + m_buffered, bytes, take);
        m_buffered += take;
        bytes += take;
        size -= take;
        if (m_buffered < m_buffer.size()) {
            return;
        }
        m_blocks(m_state.data(), m_buffer.data(), 1);
        m_buffered = 0;
    }
    const std::size_t whole = size / 64;
    if (whole > 0) {
        m_blocks(m_state.data(), bytes, whole);
        bytes += whole * 64;
        size -= whole * 64;
    }
    std::memcpy(m_buffer.data(), bytes, size);
    m_buffered = size;
}

std::string Sha256::HexDigest() {
    const std::uint64_t bits = m_length * 8;
    // A one bit, zeros up to 8 bytes short of a block, then the length in bits.
    unsigned char tail[128] = {0x80};
    const std::size_t padding = (m_buffered < 56 ? 56 : 120) - m_buffered;
    for (int i = 0; i < 8; ++i) {
        tail[padding + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    }
    Update(tail, padding + 8);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (const std::uint32_t word : m_state) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            hex += kHex[(word >> shift) & 0xF];
        }
    }
    Reset();
    return hex;
}

bool IsSha256Hex(const std::string& text) {
    if (text.size() != 64) {
        return false;
    }
    for (const char c : text) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) {
            return false;
        }
    }
    return true;
}
