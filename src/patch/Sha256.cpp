#include "patch/Sha256.h"

#include <array>

Sha256::Sha256() {
    // libsodium asks for its start-up before any use; SHA-256 needs none of what a failed
    // start-up lacks (a source of random bytes), so its result does not matter here.
    [[maybe_unused]] const int started = sodium_init();
    crypto_hash_sha256_init(&m_state);
}

void Sha256::Update(const void* data, std::size_t size) {
    crypto_hash_sha256_update(&m_state, static_cast<const unsigned char*>(data), size);
}

std::string Sha256::HexDigest() {
    std::array<unsigned char, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256_final(&m_state, digest.data());
    crypto_hash_sha256_init(&m_state);
    std::string hex(digest.size() * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
    hex.pop_back();
    return hex;
}

bool IsSha256Hex(const std::string& text) {
    if (text.size() != crypto_hash_sha256_BYTES * 2) {
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
