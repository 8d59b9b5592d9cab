// SHA-256, computed incrementally (libsodium's); a package's identity in a signed patch
// list is its 64 lower-case hexadecimal digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sodium.h>

class Sha256 {
public:
    Sha256();
    void Update(const void* data, std::size_t size);
    // The digest as 64 lower-case hex digits; the object then starts over.
    std::string HexDigest();

private:
    crypto_hash_sha256_state m_state{};
};

// Whether text is 64 hex digits (either case), as a list may carry a digest.
bool IsSha256Hex(const std::string& text);
