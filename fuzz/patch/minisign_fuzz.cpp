// The minisign parsers on the input: a signature, public keys and a secret key. What is
// accepted formats back to text that parses to the same thing.
#include <cstdlib>
#include <string>
#include <vector>

#include "patch/Minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    Minisign::Signature signature;
    if (Minisign::ParseSignature(text, &signature, &error)) {
        Minisign::Signature again;
        if (!Minisign::ParseSignature(Minisign::FormatSignature(signature), &again, &error) ||
            again.signature != signature.signature ||
            again.trustedComment != signature.trustedComment) {
            std::abort();
        }
        // No key is known: the verdict must say so, whatever the signature holds.
        if (Minisign::Verify(signature, {}, text, nullptr) != Minisign::Verdict::kUnknownKey) {
            std::abort();
        }
    }
    std::vector<Minisign::PublicKey> keys;
    if (Minisign::ParsePublicKeys(text, &keys, &error) && keys.empty()) {
        std::abort();
    }
    Minisign::SecretKey key;
    Minisign::ParseSecretKey(text, &key, &error);
    return 0;
}
