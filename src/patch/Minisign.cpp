#include "patch/Minisign.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "kernel/Text.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace Minisign {

namespace {

constexpr char kCommentPrefix[] = "untrusted comment: ";
constexpr char kTrustedPrefix[] = "trusted comment: ";
constexpr std::size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr std::size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;
constexpr std::size_t kSignatureBytes = 2 + 8 + 64;
// Where the fields of a secret key start in its decoded bytes.
constexpr std::size_t kSecretKdf = 2;
constexpr std::size_t kSecretChecksumAlgorithm = 4;
constexpr std::size_t kSecretKeyId = 54;
constexpr std::size_t kSecretKey = 62;
constexpr std::size_t kSecretChecksum = 126;
constexpr std::size_t kChunk = 64 * 1024;

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Standard base64 with padding, nothing else on the line; the decoded size must be exact.
bool DecodeBase64(const std::string& line, std::size_t size, std::vector<std::uint8_t>* bytes) {
    bytes->assign(size + 3, 0);
    std::size_t decoded = 0;
    const char* end = nullptr;
    if (sodium_base642bin(bytes->data(), bytes->size(), line.data(), line.size(), nullptr, &decoded,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != line.data() + line.size() || decoded != size) {
        return false;
    }
    bytes->resize(size);
    return true;
}

std::string EncodeBase64(const std::uint8_t* bytes, std::size_t size) {
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);
    return text;
}

std::string SizeText(std::size_t size) {
    return std::to_string(size) + " bytes";
}

bool IsOneLine(const std::string& text) {
    return text.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

SecretKey::~SecretKey() {
    sodium_memzero(key.data(), key.size());
}

bool Initialise() {
    return sodium_init() >= 0;
}

std::string KeyIdText(const KeyId& id) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (auto it = id.rbegin(); it != id.rend(); ++it) {
        text += kDigits[*it >> 4];
        text += kDigits[*it & 0x0F];
    }
    return text;
}

bool ParsePublicKeys(const std::string& text, std::vector<PublicKey>* keys, std::string* error) {
    keys->clear();
    if (!Initialise()) {
        *error = "the signature library cannot start";
        return false;
    }
    const std::vector<std::string> lines = SplitLines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty() || StartsWith(line, kCommentPrefix)) {
            continue;
        }
        std::vector<std::uint8_t> bytes;
        if (!DecodeBase64(line, kPublicKeyBytes, &bytes)) {
            *error = "line " + std::to_string(i + 1) + " is not a minisign public key (base64 of " +
                     SizeText(kPublicKeyBytes) + ")";
            keys->clear();
            return false;
        }
        if (bytes[0] != 'E' || bytes[1] != 'd') {
            *error = "line " + std::to_string(i + 1) + " is a key of an unknown algorithm";
            keys->clear();
            return false;
        }
        PublicKey key;
        std::copy_n(bytes.begin() + 2, key.id.size(), key.id.begin());
        std::copy_n(bytes.begin() + 10, key.key.size(), key.key.begin());
        keys->push_back(key);
    }
    if (keys->empty()) {
        *error = "no public key in it";
        return false;
    }
    return true;
}

bool ParsePublicKey(const std::string& text, PublicKey* key, std::string* error) {
    std::vector<PublicKey> keys;
    if (!ParsePublicKeys(text, &keys, error)) {
        return false;
    }
    if (keys.size() != 1) {
        *error = "it holds " + std::to_string(keys.size()) + " public keys, not one";
        return false;
    }
    *key = keys.front();
    return true;
}

bool ParseSecretKey(const std::string& text, SecretKey* key, std::string* error) {
    if (!Initialise()) {
        *error = "the signature library cannot start";
        return false;
    }
    const std::vector<std::string> lines = SplitLines(text);
    std::size_t first = 0;
    if (!lines.empty() && StartsWith(lines[0], kCommentPrefix)) {
        first = 1;
    }
    std::vector<std::uint8_t> bytes;
    if (lines.size() <= first || !DecodeBase64(lines[first], kSecretKeyBytes, &bytes)) {
        *error = "not a minisign secret key (base64 of " + SizeText(kSecretKeyBytes) + ")";
        return false;
    }
    for (std::size_t i = first + 1; i < lines.size(); ++i) {
        if (!lines[i].empty()) {
            *error = "line " + std::to_string(i + 1) + ": more than one secret key";
            sodium_memzero(bytes.data(), bytes.size());
            return false;
        }
    }
    bool ok = false;
    if (bytes[0] != 'E' || bytes[1] != 'd' || bytes[kSecretChecksumAlgorithm] != 'B' ||
        bytes[kSecretChecksumAlgorithm + 1] != '2') {
        *error = "a secret key of an unknown algorithm";
    } else if (bytes[kSecretKdf] == 'S' && bytes[kSecretKdf + 1] == 'c') {
        *error =
            "the secret key is protected by a password, which osmel-mkpatch does not read; "
            "remove it with 'minisign -C -W' or make the key with 'minisign -G -W'";
    } else if (bytes[kSecretKdf] != 0 || bytes[kSecretKdf + 1] != 0) {
        *error = "a secret key protected in an unknown way";
    } else {
        std::copy_n(bytes.begin() + kSecretKeyId, key->id.size(), key->id.begin());
        std::copy_n(bytes.begin() + kSecretKey, key->key.size(), key->key.begin());
        // An unprotected key may carry a zero checksum (minisign -G -W writes one);
        // any other must match, or the key is damaged.
        std::array<std::uint8_t, 32> checksum{};
        const bool zero = std::all_of(bytes.begin() + kSecretChecksum, bytes.end(),
                                      [](std::uint8_t b) { return b == 0; });
        crypto_generichash_state state;
        crypto_generichash_init(&state, nullptr, 0, checksum.size());
        crypto_generichash_update(&state, bytes.data(), 2);
        crypto_generichash_update(&state, key->id.data(), key->id.size());
        crypto_generichash_update(&state, key->key.data(), key->key.size());
        crypto_generichash_final(&state, checksum.data(), checksum.size());
        // The second half of an Ed25519 secret key is the public key of its first half.
        std::array<std::uint8_t, 32> derived{};
        crypto_sign_ed25519_sk_to_pk(derived.data(), key->key.data());
        std::array<std::uint8_t, 64> expanded{};
        std::array<std::uint8_t, 32> publicKey{};
        crypto_sign_seed_keypair(publicKey.data(), expanded.data(), key->key.data());
        if (!zero &&
            !std::equal(checksum.begin(), checksum.end(), bytes.begin() + kSecretChecksum)) {
            *error = "the secret key's checksum does not match: the file is damaged";
        } else if (publicKey != derived) {
            *error = "the secret key's two halves do not belong together: the file is damaged";
        } else {
            ok = true;
        }
        sodium_memzero(expanded.data(), expanded.size());
    }
    sodium_memzero(bytes.data(), bytes.size());
    if (!ok) {
        sodium_memzero(key->key.data(), key->key.size());
    }
    return ok;
}

bool ParseSignature(const std::string& text, Signature* signature, std::string* error) {
    if (!Initialise()) {
        *error = "the signature library cannot start";
        return false;
    }
    std::vector<std::string> lines = SplitLines(text);
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    if (lines.size() != 4) {
        *error = std::to_string(lines.size()) + " lines, not the 4 of a minisign signature";
        return false;
    }
    if (!StartsWith(lines[0], kCommentPrefix)) {
        *error = "line 1 is not an untrusted comment";
        return false;
    }
    std::vector<std::uint8_t> bytes;
    if (!DecodeBase64(lines[1], kSignatureBytes, &bytes)) {
        *error = "line 2 is not a signature (base64 of " + SizeText(kSignatureBytes) + ")";
        return false;
    }
    if (bytes[0] == 'E' && bytes[1] == 'D') {
        signature->prehashed = true;
    } else if (bytes[0] == 'E' && bytes[1] == 'd') {
        signature->prehashed = false;
    } else {
        *error = "a signature of an unknown algorithm";
        return false;
    }
    std::copy_n(bytes.begin() + 2, signature->keyId.size(), signature->keyId.begin());
    std::copy_n(bytes.begin() + 10, signature->signature.size(), signature->signature.begin());
    if (!StartsWith(lines[2], kTrustedPrefix)) {
        *error = "line 3 is not a trusted comment";
        return false;
    }
    signature->untrustedComment = lines[0].substr(std::strlen(kCommentPrefix));
    signature->trustedComment = lines[2].substr(std::strlen(kTrustedPrefix));
    if (signature->trustedComment.size() > kMaxTrustedComment) {
        *error = "the trusted comment is longer than " + SizeText(kMaxTrustedComment);
        return false;
    }
    if (!DecodeBase64(lines[3], signature->globalSignature.size(), &bytes)) {
        *error = "line 4 is not a signature of the trusted comment (base64 of " +
                 SizeText(signature->globalSignature.size()) + ")";
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), signature->globalSignature.begin());
    return true;
}

std::string FormatPublicKey(const PublicKey& key) {
    std::array<std::uint8_t, kPublicKeyBytes> bytes{'E', 'd'};
    std::copy(key.id.begin(), key.id.end(), bytes.begin() + 2);
    std::copy(key.key.begin(), key.key.end(), bytes.begin() + 10);
    return std::string(kCommentPrefix) + "minisign public key " + KeyIdText(key.id) + "\n" +
           EncodeBase64(bytes.data(), bytes.size()) + "\n";
}

std::string FormatSecretKey(const SecretKey& key) {
    std::array<std::uint8_t, kSecretKeyBytes> bytes{'E', 'd', 0, 0, 'B', '2'};
    std::copy(key.id.begin(), key.id.end(), bytes.begin() + kSecretKeyId);
    std::copy(key.key.begin(), key.key.end(), bytes.begin() + kSecretKey);
    std::string text = std::string(kCommentPrefix) + "minisign encrypted secret key\n" +
                       EncodeBase64(bytes.data(), bytes.size()) + "\n";
    sodium_memzero(bytes.data(), bytes.size());
    return text;
}

std::string FormatSignature(const Signature& signature) {
    std::array<std::uint8_t, kSignatureBytes> bytes{
        'E', static_cast<std::uint8_t>(signature.prehashed ? 'D' : 'd')};
    std::copy(signature.keyId.begin(), signature.keyId.end(), bytes.begin() + 2);
    std::copy(signature.signature.begin(), signature.signature.end(), bytes.begin() + 10);
    return std::string(kCommentPrefix) + signature.untrustedComment + "\n" +
           EncodeBase64(bytes.data(), bytes.size()) + "\n" + kTrustedPrefix +
           signature.trustedComment + "\n" +
           EncodeBase64(signature.globalSignature.data(), signature.globalSignature.size()) + "\n";
}

bool GenerateKeyPair(PublicKey* publicKey, SecretKey* secretKey) {
    if (!Initialise()) {
        return false;
    }
    randombytes_buf(publicKey->id.data(), publicKey->id.size());
    crypto_sign_keypair(publicKey->key.data(), secretKey->key.data());
    secretKey->id = publicKey->id;
    return true;
}

BEXORESULT ReadSignedMessage(BexoDataBuffer* data, bool prehashed, std::uint64_t maxLegacySize,
                             std::string* message) {
    message->clear();
    if (!Initialise()) {
        return BEXORESULT_NOT_SUPPORTED;
    }
    const std::uint64_t size = data->GetSize();
    const std::uint64_t position = data->GetPosition();
    std::uint64_t remaining = size > position ? size - position : 0;
    if (!prehashed && remaining > maxLegacySize) {
        return BEXORESULT_BAD_DATA;
    }
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    std::vector<std::uint8_t> chunk(kChunk);
    while (remaining > 0) {
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, kChunk));
        const BEXORESULT read = data->ReadData(chunk.data(), count);
        if (read != BEXORESULT_OK) {
            message->clear();
            return read;
        }
        if (prehashed) {
            crypto_generichash_update(&state, chunk.data(), count);
        } else {
            message->append(reinterpret_cast<const char*>(chunk.data()), count);
        }
        remaining -= count;
    }
    if (prehashed) {
        message->assign(crypto_generichash_BYTES_MAX, '\0');
        crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(message->data()),
                                 message->size());
    }
    return BEXORESULT_OK;
}

bool Sign(const SecretKey& key, const std::string& message, bool prehashed,
          const std::string& trustedComment, const std::string& untrustedComment,
          Signature* signature) {
    if (!IsOneLine(trustedComment) || !IsOneLine(untrustedComment) ||
        trustedComment.size() > kMaxTrustedComment || !Initialise()) {
        return false;
    }
    signature->prehashed = prehashed;
    signature->keyId = key.id;
    signature->trustedComment = trustedComment;
    signature->untrustedComment = untrustedComment;
    crypto_sign_detached(signature->signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         key.key.data());
    std::string global(signature->signature.begin(), signature->signature.end());
    global += trustedComment;
    crypto_sign_detached(signature->globalSignature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(global.data()), global.size(),
                         key.key.data());
    return true;
}

Verdict Verify(const Signature& signature, const std::vector<PublicKey>& keys,
               const std::string& message, std::size_t* signer) {
    if (!Initialise()) {
        return Verdict::kBadSignature;
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].id != signature.keyId) {
            continue;
        }
        const PublicKey& key = keys[i];
        if (crypto_sign_verify_detached(signature.signature.data(),
                                        reinterpret_cast<const unsigned char*>(message.data()),
                                        message.size(), key.key.data()) != 0) {
            return Verdict::kBadSignature;
        }
        std::string global(signature.signature.begin(), signature.signature.end());
        global += signature.trustedComment;
        if (crypto_sign_verify_detached(signature.globalSignature.data(),
                                        reinterpret_cast<const unsigned char*>(global.data()),
                                        global.size(), key.key.data()) != 0) {
            return Verdict::kBadSignature;
        }
        if (signer != nullptr) {
            *signer = i;
        }
        return Verdict::kValid;
    }
    return Verdict::kUnknownKey;
}

}  // namespace Minisign
