#include "session/PackageCheck.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "kernel/SystemLog.h"

namespace BexoPatch {

CheckedPackageBuffer::CheckedPackageBuffer(BexoDataBufferFile* file, std::wstring path,
                                           SignedPackage expected)
    : m_file(file), m_path(std::move(path)), m_expected(std::move(expected)) {}

BEXORESULT CheckedPackageBuffer::SetSize(std::uint64_t size) {
    if (size == 0) {
        m_digest = Sha256();
        m_digested = 0;
        m_digestFromFile = false;
    } else if (size < m_digested) {
        m_digestFromFile = true;
    }
    return m_file->SetSize(size);
}

BEXORESULT CheckedPackageBuffer::WriteData(const void* data, std::uint32_t count) {
    const std::uint64_t position = m_file->GetPosition();
    if (position > m_expected.size || count > m_expected.size - position) {
        if (!m_tooLong.exchange(true)) {
            SystemLog("CheckedPackageBuffer> data beyond the signed %llu bytes refused",
                      static_cast<unsigned long long>(m_expected.size));
        }
        return BEXORESULT_BAD_DATA;
    }
    const BEXORESULT result = m_file->WriteData(data, count);
    if (result != BEXORESULT_OK) {
        return result;
    }
    if (position == m_digested && !m_digestFromFile) {
        m_digest.Update(data, count);
        m_digested += count;
    } else {
        m_digestFromFile = true;
    }
    return BEXORESULT_OK;
}

BEXORESULT CheckedPackageBuffer::ReadData(void* data, std::uint32_t count) {
    return m_file->ReadData(data, count);
}

PackageVerdict CheckedPackageBuffer::Verdict() {
    if (m_tooLong.load()) {
        return PackageVerdict::kTooLong;
    }
    const std::uint64_t size = m_file->GetSize();
    if (size != m_expected.size) {
        return PackageVerdict::kWrongSize;
    }
    if (m_digestFromFile || m_digested != size) {
        SystemLog(
            "CheckedPackageBuffer> the transfer did not write the package in one pass; "
            "digesting the file");
        if (!m_file->FlushStream()) {
            return PackageVerdict::kUnreadable;
        }
        BexoDataBufferFile reader(m_path, BexoDataBufferFile::kModeRead);
        if (!reader.IsOpen() || reader.GetSize() != size) {
            return PackageVerdict::kUnreadable;
        }
        m_digest = Sha256();
        std::vector<char> chunk(1 << 20);
        for (std::uint64_t left = size; left > 0;) {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, chunk.size()));
            if (reader.ReadData(chunk.data(), n) != BEXORESULT_OK) {
                return PackageVerdict::kUnreadable;
            }
            m_digest.Update(chunk.data(), n);
            left -= n;
        }
        m_digested = size;
        m_digestFromFile = false;
    }
    return m_digest.HexDigest() == m_expected.sha256 ? PackageVerdict::kMatches
                                                     : PackageVerdict::kWrongDigest;
}

}  // namespace BexoPatch
