// SHA-256, computed incrementally; a package's identity in a signed patch list is its 64
// lower-case hexadecimal digits. Packages are digested while they download, so the x86-64
// SHA instructions are used where the processor has them: libsodium's portable code runs
// at a fifth of their speed, which shows against a loopback download.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    enum class Engine {
        kFastest,   // the SHA instructions where the processor has them
        kPortable,  // plain C++ everywhere
    };

    explicit Sha256(Engine engine = Engine::kFastest);
    void Update(const void* data, std::size_t size);
    // The digest as 64 lower-case hex digits; the object then starts over.
    std::string HexDigest();

    using Blocks = void (*)(std::uint32_t* state, const unsigned char* data, std::size_t blocks);

private:
    void Reset();

    Blocks m_blocks;
    std::array<std::uint32_t, 8> m_state{};
    std::array<unsigned char, 64> m_buffer{};
    std::size_t m_buffered = 0;
    std::uint64_t m_length = 0;  // bytes digested in all
};

// Whether text is 64 hex digits (either case), as a list may carry a digest.
bool IsSha256Hex(const std::string& text);
