// A package download checked against the size and SHA-256 that the signed patch list
// gives for it, while it is written: the bytes are digested as they arrive (no second
// pass over the file), and a write past the signed size is refused, so a server that
// sends endless data fills neither the disk nor the time.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "net/BexoInet.h"
#include "patch/Sha256.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace BexoPatch {

struct SignedPackage {
    std::uint64_t size = 0;
    std::string sha256;  // lower-case hex
};

enum class PackageVerdict {
    kMatches,
    kTooLong,      // the server sent more than the signed size
    kWrongSize,    // the download ended at another size
    kWrongDigest,  // the right size, other bytes
    kUnreadable,   // the file could not be read back to digest it
};

// Writes through to the package file and digests what is written. Writes that continue
// where the digest stands are digested on the way; a transfer that goes back (a restart)
// or resumes a file an earlier attempt left makes the digest be taken from the file once
// at the end instead. Used by the session thread; TooLong may be asked from any thread.
class CheckedPackageBuffer : public BexoDataBuffer {
public:
    CheckedPackageBuffer(BexoDataBufferFile* file, std::wstring path, SignedPackage expected);

    std::uint64_t GetSize() override { return m_file->GetSize(); }
    BEXORESULT SetSize(std::uint64_t size) override;
    std::uint64_t GetPosition() override { return m_file->GetPosition(); }
    BEXORESULT Seek(std::uint64_t position) override { return m_file->Seek(position); }
    // BAD_DATA, writing nothing, when the data would pass the signed size.
    BEXORESULT WriteData(const void* data, std::uint32_t count) override;
    BEXORESULT ReadData(void* data, std::uint32_t count) override;
    void Flush() override { m_file->Flush(); }

    bool TooLong() const { return m_tooLong.load(); }
    // After the download, with the file flushed: whether it is what the publisher signed.
    PackageVerdict Verdict();

private:
    BexoDataBufferFile* m_file;
    std::wstring m_path;
    SignedPackage m_expected;
    Sha256 m_digest;
    std::uint64_t m_digested = 0;  // bytes from the start that m_digest has seen
    bool m_digestFromFile = false;
    std::atomic<bool> m_tooLong{false};
};

// Passes the user's cancel on, and stops the transfer at once when the package has run
// past its signed size, rather than letting the transfer retry.
class CheckedDownloadCallback : public DownloadURLCallback {
public:
    CheckedDownloadCallback(DownloadURLCallback* user, const CheckedPackageBuffer* package)
        : m_user(user), m_package(package) {}
    bool IsCancelled() override {
        return (m_package != nullptr && m_package->TooLong()) ||
               (m_user != nullptr && m_user->IsCancelled());
    }

private:
    DownloadURLCallback* m_user;
    const CheckedPackageBuffer* m_package;
};

}  // namespace BexoPatch
