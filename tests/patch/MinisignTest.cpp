#include "patch/Minisign.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include <sodium.h>

#include "patch/Sha256.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace {

std::string Message(const std::string& data, bool prehashed) {
    BexoDataBufferMemoryDynamic buffer;
    buffer.WriteData(data.data(), static_cast<std::uint32_t>(data.size()));
    buffer.Seek(0);
    std::string message;
    EXPECT_EQ(Minisign::ReadSignedMessage(&buffer, prehashed, 1 << 20, &message), BEXORESULT_OK);
    return message;
}

struct KeyPair {
    Minisign::PublicKey publicKey;
    Minisign::SecretKey secretKey;
};

KeyPair NewKeys() {
    KeyPair pair;
    EXPECT_TRUE(Minisign::GenerateKeyPair(&pair.publicKey, &pair.secretKey));
    return pair;
}

// A signature file made by minisign 0.11 (`minisign -G -W`, then `minisign -S -t
// list-version:3` of a file holding "hi\n"), with its public key.
const char kMinisignPublicKey[] =
    "untrusted comment: minisign public key F8BC3BA92EB11AF6\n"
    "RWT2GrEuqTu8+IqIM2JljzFsZkT1fyz39x0rX8n9wDj1iD2rgLJq9tor\n";
const char kMinisignSignature[] =
    "untrusted comment: signature from minisign secret key\n"
    "RUT2GrEuqTu8+H8/U/3MV8HbasK+ipnwyLjhOxvxIC2R+l2632kQKUWpIFpFu41HXIA785WJSGGFpBTLAQtFZ2zZD8M5"
    "XL9vKwM=\n"
    "trusted comment: list-version:3\n"
    "P5CL2EvLm0XxOPYUmcDUJbOZR0foQeTtWBPPkKWSD2PpmIGNtwHH1HvaqITrzAIRnhgT0ecr9bQCowrkMMuWCA==\n";

TEST(MinisignTest, VerifiesWhatMinisignSigned) {
    Minisign::PublicKey key;
    Minisign::Signature signature;
    std::string error;
    ASSERT_TRUE(Minisign::ParsePublicKey(kMinisignPublicKey, &key, &error)) << error;
    ASSERT_TRUE(Minisign::ParseSignature(kMinisignSignature, &signature, &error)) << error;
    EXPECT_EQ(Minisign::KeyIdText(key.id), "F8BC3BA92EB11AF6");
    EXPECT_TRUE(signature.prehashed);
    EXPECT_EQ(signature.trustedComment, "list-version:3");
    EXPECT_EQ(Minisign::Verify(signature, {key}, Message("hi\n", true), nullptr),
              Minisign::Verdict::kValid);
    EXPECT_EQ(Minisign::Verify(signature, {key}, Message("hi!\n", true), nullptr),
              Minisign::Verdict::kBadSignature);
    signature.trustedComment = "list-version:4";
    EXPECT_EQ(Minisign::Verify(signature, {key}, Message("hi\n", true), nullptr),
              Minisign::Verdict::kBadSignature);
}

TEST(MinisignTest, SignsAndVerifiesBothKindsThroughTheFileFormats) {
    const KeyPair pair = NewKeys();
    const KeyPair other = NewKeys();
    std::string error;
    Minisign::PublicKey publicKey;
    Minisign::SecretKey secretKey;
    ASSERT_TRUE(
        Minisign::ParsePublicKey(Minisign::FormatPublicKey(pair.publicKey), &publicKey, &error))
        << error;
    ASSERT_TRUE(
        Minisign::ParseSecretKey(Minisign::FormatSecretKey(pair.secretKey), &secretKey, &error))
        << error;
    EXPECT_EQ(publicKey.id, pair.publicKey.id);
    EXPECT_EQ(publicKey.key, pair.publicKey.key);
    EXPECT_EQ(secretKey.key, pair.secretKey.key);
    for (const bool prehashed : {true, false}) {
        Minisign::Signature made;
        ASSERT_TRUE(Minisign::Sign(secretKey, Message("data", prehashed), prehashed,
                                   "list-version:7", "from a test", &made));
        Minisign::Signature signature;
        ASSERT_TRUE(Minisign::ParseSignature(Minisign::FormatSignature(made), &signature, &error))
            << error;
        EXPECT_EQ(signature.prehashed, prehashed);
        std::size_t signer = 9;
        // A second key built in beside the first: either may sign (key rotation).
        EXPECT_EQ(Minisign::Verify(signature, {other.publicKey, publicKey},
                                   Message("data", prehashed), &signer),
                  Minisign::Verdict::kValid);
        EXPECT_EQ(signer, 1u);
        EXPECT_EQ(
            Minisign::Verify(signature, {other.publicKey}, Message("data", prehashed), nullptr),
            Minisign::Verdict::kUnknownKey);
        EXPECT_EQ(Minisign::Verify(signature, {publicKey}, Message("date", prehashed), nullptr),
                  Minisign::Verdict::kBadSignature);
    }
    Minisign::Signature refused;
    EXPECT_FALSE(Minisign::Sign(secretKey, "m", true, "two\nlines", "", &refused));
    EXPECT_FALSE(Minisign::Sign(secretKey, "m", true,
                                std::string(Minisign::kMaxTrustedComment + 1, 'x'), "", &refused));
}

TEST(MinisignTest, RefusesMalformedSignatures) {
    const std::string good = kMinisignSignature;
    const std::size_t line2 = good.find('\n') + 1;
    const std::size_t line3 = good.find('\n', line2) + 1;
    const std::size_t line4 = good.find('\n', line3) + 1;
    struct Case {
        const char* what;
        std::string text;
    };
    const Case cases[] = {
        {"empty", ""},
        {"cut after the signature", good.substr(0, line3)},
        {"no untrusted comment", "comment: x\n" + good.substr(line2)},
        {"no trusted comment", good.substr(0, line3) + "comment: x\n" + good.substr(line4)},
        {"signature not base64", good.substr(0, line2) + "!!!!\n" + good.substr(line3)},
        {"signature one byte short",
         good.substr(0, line2) +
             "RUT2GrEuqTu8+H8/U/3MV8HbasK+ipnwyLjhOxvxIC2R+l2632kQKUWpIFpFu41HXIA7"
             "85WJSGGFpBTLAQtFZ2zZD8M5XL9vKw==\n" +
             good.substr(line3)},
        {"unknown algorithm",
         good.substr(0, line2) +
             "RXT2GrEuqTu8+H8/U/3MV8HbasK+ipnwyLjhOxvxIC2R+l2632kQKUWpIFpFu41HXIA7"
             "85WJSGGFpBTLAQtFZ2zZD8M5XL9vKwM=\n" +
             good.substr(line3)},
        {"global signature garbled", good.substr(0, line4) + "P5CL2EvLm0Xx\n"},
        {"trusted comment too long", good.substr(0, line3) + "trusted comment: " +
                                         std::string(Minisign::kMaxTrustedComment + 1, 'x') + "\n" +
                                         good.substr(line4)},
        {"a fifth line", good + "more\n"},
    };
    for (const Case& c : cases) {
        Minisign::Signature signature;
        std::string error;
        EXPECT_FALSE(Minisign::ParseSignature(c.text, &signature, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
    Minisign::Signature signature;
    std::string error;
    std::string crlf;
    for (const char c : good) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    EXPECT_TRUE(Minisign::ParseSignature(crlf, &signature, &error)) << error;
}

TEST(MinisignTest, RefusesKeysThatAreNotUsable) {
    const KeyPair pair = NewKeys();
    std::string secret = Minisign::FormatSecretKey(pair.secretKey);
    std::string error;
    std::vector<Minisign::PublicKey> keys;
    EXPECT_FALSE(Minisign::ParsePublicKeys("", &keys, &error));
    EXPECT_FALSE(Minisign::ParsePublicKeys("untrusted comment: x\nnot a key\n", &keys, &error));
    EXPECT_FALSE(Minisign::ParsePublicKeys(secret, &keys, &error));
    ASSERT_TRUE(Minisign::ParsePublicKeys(
        std::string(kMinisignPublicKey) + "\n" + Minisign::FormatPublicKey(pair.publicKey), &keys,
        &error))
        << error;
    EXPECT_EQ(keys.size(), 2u);
    Minisign::PublicKey one;
    EXPECT_FALSE(Minisign::ParsePublicKey(
        std::string(kMinisignPublicKey) + Minisign::FormatPublicKey(pair.publicKey), &one, &error));

    Minisign::SecretKey key;
    // The first 8 base64 characters are "Ed", the KDF and "B2"; "RWRTY0Iy" encodes
    // "EdScB2", a key with a password.
    const std::size_t line = secret.find('\n') + 1;
    std::string withPassword = secret;
    withPassword.replace(line, 8, "RWRTY0Iy");
    EXPECT_FALSE(Minisign::ParseSecretKey(withPassword, &key, &error));
    EXPECT_NE(error.find("password"), std::string::npos) << error;
    std::string damaged = secret;
    damaged[line + 100] = damaged[line + 100] == 'A' ? 'B' : 'A';
    EXPECT_FALSE(Minisign::ParseSecretKey(damaged, &key, &error));
    EXPECT_FALSE(Minisign::ParseSecretKey(kMinisignPublicKey, &key, &error));
    EXPECT_TRUE(Minisign::ParseSecretKey(secret, &key, &error)) << error;
}

TEST(Sha256Test, KnownDigestsInPieces) {
    for (const Sha256::Engine engine : {Sha256::Engine::kFastest, Sha256::Engine::kPortable}) {
        Sha256 empty(engine);
        EXPECT_EQ(empty.HexDigest(),
                  "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        Sha256 pieces(engine);
        pieces.Update("a", 1);
        pieces.Update("bc", 2);
        EXPECT_EQ(pieces.HexDigest(),
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        // The object starts over after a digest.
        pieces.Update("abc", 3);
        EXPECT_EQ(pieces.HexDigest(),
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }
    EXPECT_TRUE(IsSha256Hex("BA7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    EXPECT_FALSE(IsSha256Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015a"));
    EXPECT_FALSE(IsSha256Hex("ga7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

// Both engines agree with libsodium at the lengths where the padding changes shape, fed
// whole and in uneven pieces that straddle the 64-byte blocks.
TEST(Sha256Test, EnginesAgreeWithLibsodium) {
    std::string data(70000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    }
    const std::size_t lengths[] = {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000, 70000};
    for (const std::size_t length : lengths) {
        std::array<unsigned char, crypto_hash_sha256_BYTES> expected{};
        crypto_hash_sha256(expected.data(), reinterpret_cast<const unsigned char*>(data.data()),
                           length);
        std::string hex(expected.size() * 2 + 1, '\0');
        sodium_bin2hex(hex.data(), hex.size(), expected.data(), expected.size());
        hex.pop_back();
        for (const Sha256::Engine engine : {Sha256::Engine::kFastest, Sha256::Engine::kPortable}) {
            const std::size_t pieces[] = {length + 1, 1, 37, 64, 4099};
            for (const std::size_t piece : pieces) {
                Sha256 sha(engine);
                for (std::size_t at = 0; at < length; at += piece) {
                    sha.Update(data.data() + at, std::min(piece, length - at));
                }
                EXPECT_EQ(sha.HexDigest(), hex) << length << " bytes in pieces of " << piece;
            }
        }
    }
}

}  // namespace
