// Ed25519 keys and signatures in minisign's file formats, so that a publisher may sign
// with the minisign tool or with osmel-mkpatch and check with either.
//
// Public key file: "untrusted comment: ..." then base64 of "Ed", the 8-byte key id and
// the 32-byte public key. Secret key file: "untrusted comment: ..." then base64 of "Ed",
// the KDF algorithm ("\0\0": not encrypted, as `minisign -G -W` writes; encrypted keys
// are refused), "B2", 32 bytes of salt, two 8-byte KDF limits, the key id, the 64-byte
// secret key and a 32-byte checksum (zero when not encrypted). Signature file:
// "untrusted comment: ...", base64 of "ED" (BLAKE2b-512 of the data signed: prehashed)
// or "Ed" (the data itself: legacy), the key id and the signature, then "trusted
// comment: TEXT" and base64 of the global signature over the signature and TEXT, which
// is what makes TEXT trustworthy. Lines may end with LF or CR LF.
//
// Everything read here is outside input: every parser checks lengths and algorithms and
// says what was wrong.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/BexoResult.h"

class BexoDataBuffer;

namespace Minisign {

using KeyId = std::array<std::uint8_t, 8>;

struct PublicKey {
    KeyId id{};
    std::array<std::uint8_t, 32> key{};
};

struct SecretKey {
    SecretKey() = default;
    SecretKey(const SecretKey&) = default;
    SecretKey& operator=(const SecretKey&) = default;
    // Wipes the key from memory.
    ~SecretKey();

    KeyId id{};
    std::array<std::uint8_t, 64> key{};
};

struct Signature {
    bool prehashed = true;
    KeyId keyId{};
    std::array<std::uint8_t, 64> signature{};
    std::string untrustedComment;
    std::string trustedComment;
    std::array<std::uint8_t, 64> globalSignature{};
};

// A trusted comment longer than this is refused, as minisign does.
constexpr std::size_t kMaxTrustedComment = 8192;
// Key and signature files are a few lines; larger ones are refused unread.
constexpr std::uint64_t kMaxKeyOrSignatureFile = 64 * 1024;

// Starts libsodium; false when it cannot start (no signature can then be made or checked).
// Safe to call from several threads and more than once.
bool Initialise();

// The key id as minisign prints it: 16 upper-case hex digits of its little-endian value.
std::string KeyIdText(const KeyId& id);

// Every public key in text: each is a base64 line, optionally after its "untrusted
// comment:" line; blank lines are skipped. False, with error set, when a line is neither
// or no key is there.
bool ParsePublicKeys(const std::string& text, std::vector<PublicKey>* keys, std::string* error);
// Exactly one public key.
bool ParsePublicKey(const std::string& text, PublicKey* key, std::string* error);
bool ParseSecretKey(const std::string& text, SecretKey* key, std::string* error);
bool ParseSignature(const std::string& text, Signature* signature, std::string* error);

std::string FormatPublicKey(const PublicKey& key);
std::string FormatSecretKey(const SecretKey& key);
std::string FormatSignature(const Signature& signature);

// A new key pair with a random key id; false when libsodium cannot start.
bool GenerateKeyPair(PublicKey* publicKey, SecretKey* secretKey);

// The message a signature covers, read from the buffer's position to its end: the
// BLAKE2b-512 of the data when prehashed, else the data itself (BAD_DATA when that is
// larger than maxLegacySize). Errors of the buffer are passed on.
BEXORESULT ReadSignedMessage(BexoDataBuffer* data, bool prehashed, std::uint64_t maxLegacySize,
                             std::string* message);

// Signs a message read by ReadSignedMessage of the same kind. False when a comment holds a
// line break or the trusted comment is too long.
bool Sign(const SecretKey& key, const std::string& message, bool prehashed,
          const std::string& trustedComment, const std::string& untrustedComment,
          Signature* signature);

enum class Verdict {
    kValid,
    kUnknownKey,    // no key of the signature's key id among the keys
    kBadSignature,  // the data or the trusted comment is not what the key signed
};

// Checks the signature, and its trusted comment, with the key of its key id among keys.
// On kValid *signer (when not null) is the index of that key.
Verdict Verify(const Signature& signature, const std::vector<PublicKey>& keys,
               const std::string& message, std::size_t* signer);

}  // namespace Minisign
