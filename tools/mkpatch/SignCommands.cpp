// keygen, sign and verify: Ed25519 keys and signatures in minisign's formats, so that a
// publisher can sign with this tool or with minisign and check with either.
#include <chrono>
#include <cstdio>
#include <string>

#include "Commands.h"
#include "OutputFile.h"
#include "kernel/FileUtil.h"
#include "kernel/Text.h"
#include "patch/Minisign.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace Mkpatch {

namespace {

// The legacy kind signs the data itself, so it is read into memory: the same limit as
// minisign's.
constexpr std::uint64_t kMaxLegacyFile = 1ull << 30;

bool WriteText(const std::string& path, const std::string& text) {
    OutputFile file(Utf8ToWide(path));
    return file.IsOpen() &&
           file.Buffer()->WriteData(text.data(), static_cast<std::uint32_t>(text.size())) ==
               BEXORESULT_OK &&
           file.Commit();
}

}  // namespace

bool ReadKeyOrSignatureFile(const std::string& path, std::string* text, std::string* error) {
    BexoDataBufferFile file(Utf8ToWide(path), BexoDataBufferFile::kModeRead);
    if (!file.IsOpen()) {
        *error = "cannot open " + Quoted(path);
        return false;
    }
    const std::uint64_t size = file.GetSize();
    if (size > Minisign::kMaxKeyOrSignatureFile) {
        *error = Quoted(path) + " is larger than a key or signature file can be";
        return false;
    }
    text->assign(static_cast<std::size_t>(size), '\0');
    if (file.ReadData(text->data(), static_cast<std::uint32_t>(size)) != BEXORESULT_OK) {
        *error = "cannot read " + Quoted(path);
        return false;
    }
    return true;
}

int RunKeygen(const Args& arguments) {
    constexpr const char* kCommand = "keygen";
    Args args = arguments;
    std::string name;
    if (!TakeOption(kCommand, args, "-o", &name)) {
        return kExitUsage;
    }
    if (name.empty() || !args.empty()) {
        return UsageError(kCommand, "-o NAME is needed, and nothing else");
    }
    const std::string publicPath = name + ".pub";
    const std::string secretPath = name + ".key";
    for (const std::string& path : {publicPath, secretPath}) {
        if (FileExists(Utf8ToWide(path))) {
            Error(kCommand, Quoted(path) + " exists; a key is never overwritten");
            return kExitFailed;
        }
    }
    Minisign::PublicKey publicKey;
    Minisign::SecretKey secretKey;
    if (!Minisign::GenerateKeyPair(&publicKey, &secretKey)) {
        Error(kCommand, "the signature library cannot start");
        return kExitFailed;
    }
    if (!WriteText(secretPath, Minisign::FormatSecretKey(secretKey))) {
        Error(kCommand, "cannot write " + Quoted(secretPath));
        return kExitFailed;
    }
    if (!WriteText(publicPath, Minisign::FormatPublicKey(publicKey))) {
        Error(kCommand, "cannot write " + Quoted(publicPath));
        DeleteFile(Utf8ToWide(secretPath));
        return kExitFailed;
    }
    std::printf(
        "key id %s: public key %s, secret key %s (not protected by a password: keep "
        "it off the patch servers)\n",
        Minisign::KeyIdText(publicKey.id).c_str(), publicPath.c_str(), secretPath.c_str());
    return kExitOk;
}

bool SignFile(const std::string& command, const Minisign::SecretKey& key, const std::string& path,
              const std::string& trustedComment, bool prehashed) {
    BexoDataBufferFile file(Utf8ToWide(path), BexoDataBufferFile::kModeRead);
    if (!file.IsOpen()) {
        Error(command, "cannot open " + Quoted(path));
        return false;
    }
    std::string message;
    const BEXORESULT read = Minisign::ReadSignedMessage(&file, prehashed, kMaxLegacyFile, &message);
    if (read != BEXORESULT_OK) {
        Error(command, read == BEXORESULT_BAD_DATA
                           ? Quoted(path) + " is too large for a legacy signature"
                           : "cannot read " + Quoted(path));
        return false;
    }
    std::string trusted = trustedComment;
    if (trusted.empty()) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
        trusted = "timestamp:" + std::to_string(seconds) +
                  "\tfile:" + FileNamePart(Utf8ToWide(path)) + (prehashed ? "\thashed" : "");
    }
    Minisign::Signature signature;
    if (!Minisign::Sign(key, message, prehashed, trusted,
                        "signature from osmel-mkpatch secret key " + Minisign::KeyIdText(key.id),
                        &signature)) {
        Error(command, "the trusted comment must be one line of at most " +
                           std::to_string(Minisign::kMaxTrustedComment) + " bytes");
        return false;
    }
    const std::string output = path + ".minisig";
    if (!WriteText(output, Minisign::FormatSignature(signature))) {
        Error(command, "cannot write " + Quoted(output));
        return false;
    }
    return true;
}

bool ReadSecretKey(const std::string& command, const std::string& path, Minisign::SecretKey* key) {
    std::string text;
    std::string error;
    if (!ReadKeyOrSignatureFile(path, &text, &error) ||
        !Minisign::ParseSecretKey(text, key, &error)) {
        Error(command, Quoted(path) + ": " + error);
        return false;
    }
    return true;
}

int RunSign(const Args& arguments) {
    constexpr const char* kCommand = "sign";
    Args args = arguments;
    std::string keyPath;
    std::string trusted;
    if (!TakeOption(kCommand, args, "-s", &keyPath) ||
        !TakeOption(kCommand, args, "-t", &trusted)) {
        return kExitUsage;
    }
    bool prehashed = true;
    for (auto it = args.begin(); it != args.end();) {
        if (*it == "-l") {
            prehashed = false;
            it = args.erase(it);
        } else {
            ++it;
        }
    }
    if (keyPath.empty() || args.empty()) {
        return UsageError(kCommand, "-s KEY and at least one FILE are needed");
    }
    for (const std::string& file : args) {
        if (!file.empty() && file.front() == '-') {
            return UsageError(kCommand, "unknown option " + Quoted(file));
        }
    }
    Minisign::SecretKey key;
    if (!ReadSecretKey(kCommand, keyPath, &key)) {
        return kExitFailed;
    }
    int status = kExitOk;
    for (const std::string& file : args) {
        if (!SignFile(kCommand, key, file, trusted, prehashed)) {
            status = kExitFailed;
        }
    }
    return status;
}

int RunVerify(const Args& arguments) {
    constexpr const char* kCommand = "verify";
    Args args = arguments;
    std::string keyPath;
    std::string signaturePath;
    if (!TakeOption(kCommand, args, "-p", &keyPath) ||
        !TakeOption(kCommand, args, "-x", &signaturePath)) {
        return kExitUsage;
    }
    if (keyPath.empty() || args.size() != 1 || (!args[0].empty() && args[0].front() == '-')) {
        return UsageError(kCommand, "-p KEY and one FILE are needed");
    }
    const std::string& path = args[0];
    if (signaturePath.empty()) {
        signaturePath = path + ".minisig";
    }
    std::string text;
    std::string error;
    std::vector<Minisign::PublicKey> keys;
    if (!ReadKeyOrSignatureFile(keyPath, &text, &error) ||
        !Minisign::ParsePublicKeys(text, &keys, &error)) {
        Error(kCommand, Quoted(keyPath) + ": " + error);
        return kExitFailed;
    }
    Minisign::Signature signature;
    if (!ReadKeyOrSignatureFile(signaturePath, &text, &error) ||
        !Minisign::ParseSignature(text, &signature, &error)) {
        Error(kCommand, Quoted(signaturePath) + ": " + error);
        return kExitFailed;
    }
    BexoDataBufferFile file(Utf8ToWide(path), BexoDataBufferFile::kModeRead);
    std::string message;
    if (!file.IsOpen() || Minisign::ReadSignedMessage(&file, signature.prehashed, kMaxLegacyFile,
                                                      &message) != BEXORESULT_OK) {
        Error(kCommand, "cannot read " + Quoted(path));
        return kExitFailed;
    }
    switch (Minisign::Verify(signature, keys, message, nullptr)) {
        case Minisign::Verdict::kValid:
            std::printf("Signature and comment signature verified\nTrusted comment: %s\n",
                        signature.trustedComment.c_str());
            return kExitOk;
        case Minisign::Verdict::kUnknownKey:
            Error(kCommand, Quoted(signaturePath) + " was made with key " +
                                Minisign::KeyIdText(signature.keyId) + ", not with a key of " +
                                Quoted(keyPath));
            return kExitFailed;
        case Minisign::Verdict::kBadSignature:
            break;
    }
    Error(kCommand, "the signature " + Quoted(signaturePath) + " does not match " + Quoted(path) +
                        " and its trusted comment");
    return kExitFailed;
}

}  // namespace Mkpatch
