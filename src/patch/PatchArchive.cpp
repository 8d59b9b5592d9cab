#include "patch/PatchArchive.h"

#include <cstring>

#include "kernel/FileUtil.h"
#include "kernel/LittleEndian.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/MD5.h"
#include "patch/Package.h"
#include "patch/SafePath.h"
#include "platform/Files.h"

namespace {

// The magic XOR 0x5A. Volatile, so that the compiler cannot fold the unmasked bytes into
// one constant of the program's image.
const volatile std::uint8_t kMaskedMagic[8] = {0x18, 0x6A, 0x3F, 0x6B, 0x22, 0x68, 0x35, 0x69};

template <std::size_t N>
void ParseText(char (&field)[N], const std::uint8_t* in) {
    std::memcpy(field, in, N);
    field[N - 1] = '\0';
}

}  // namespace

void ArchiveMagic(std::uint8_t out[8]) {
    for (int i = 0; i < 8; ++i) {
        out[i] = kMaskedMagic[i] ^ 0x5A;
    }
}

void ArchiveHeader::Serialize(std::uint8_t out[kSize]) const {
    ArchiveMagic(out);
    StoreLittleEndian<std::uint32_t>(out + 8, fileSize);
    StoreLittleEndian<std::uint32_t>(out + 12, entryCount);
    StoreLittleEndian<std::uint64_t>(out + 16, directoryOffset);
    StoreLittleEndian<std::uint32_t>(out + 24, 0);
}

bool ArchiveHeader::Parse(const std::uint8_t in[kSize]) {
    std::uint8_t magic[8];
    ArchiveMagic(magic);
    if (std::memcmp(in, magic, sizeof magic) != 0) {
        return false;
    }
    fileSize = LoadLittleEndian<std::uint32_t>(in + 8);
    entryCount = LoadLittleEndian<std::uint32_t>(in + 12);
    directoryOffset = LoadLittleEndian<std::uint64_t>(in + 16);
    return true;
}

void ArchiveEntry::Serialize(std::uint8_t out[kSize]) const {
    std::memcpy(out, probePath, sizeof probePath);
    std::memcpy(out + 256, probeMD5, sizeof probeMD5);
    std::memcpy(out + 388, fromBuild, sizeof fromBuild);
    std::memcpy(out + 420, toBuild, sizeof toBuild);
    StoreLittleEndian<std::uint64_t>(out + 452, dataOffset);
    StoreLittleEndian<std::uint64_t>(out + 460, dataSize);
}

void ArchiveEntry::Parse(const std::uint8_t in[kSize]) {
    ParseText(probePath, in);
    ParseText(probeMD5, in + 256);
    ParseText(fromBuild, in + 388);
    ParseText(toBuild, in + 420);
    dataOffset = LoadLittleEndian<std::uint64_t>(in + 452);
    dataSize = LoadLittleEndian<std::uint64_t>(in + 460);
}

void PatchArchive::CloseLocked() {
    file.reset();
    header.reset();
    headerOffset = kNoHeader;
}

void PatchArchive::Close() {
    const std::lock_guard<std::mutex> guard(m_lock);
    CloseLocked();
}

BEXORESULT PatchArchive::Open(const std::wstring& path) {
    const std::lock_guard<std::mutex> guard(m_lock);
    CloseLocked();
    auto candidate = std::make_unique<BexoDataBufferFile>(path, BexoDataBufferFile::kModeRead);
    if (!candidate->IsOpen()) {
        return BEXORESULT_IO_ERROR;
    }
    const std::uint64_t size = candidate->GetSize();
    std::uint8_t bytes[ArchiveHeader::kSize] = {};
    for (std::uint64_t offset = 0;; offset += ArchiveHeader::kAlignment) {
        if (candidate->Seek(offset) != BEXORESULT_OK ||
            candidate->ReadData(bytes, sizeof bytes) != BEXORESULT_OK) {
            return BEXORESULT_NOT_SUPPORTED;
        }
        ArchiveHeader found;
        if (!found.Parse(bytes)) {
            continue;
        }
        if (size >= (std::uint64_t{1} << 32) || found.fileSize != size) {
            SystemLog("PatchArchive::Open> header at %llu records %u bytes, the file has %llu",
                      static_cast<unsigned long long>(offset), found.fileSize,
                      static_cast<unsigned long long>(size));
            return BEXORESULT_IO_ERROR;
        }
        const std::uint64_t directoryEnd =
            found.directoryOffset + std::uint64_t{found.entryCount} * ArchiveEntry::kSize;
        if (found.directoryOffset < offset + ArchiveHeader::kSize || found.directoryOffset > size ||
            directoryEnd > size) {
            SystemLog("PatchArchive::Open> directory of %u entries at %llu lies outside the file",
                      found.entryCount, static_cast<unsigned long long>(found.directoryOffset));
            return BEXORESULT_BAD_DATA;
        }
        file = std::move(candidate);
        header = found;
        headerOffset = offset;
        return BEXORESULT_OK;
    }
}

std::uint64_t PatchArchive::GetHeaderOffset() {
    const std::lock_guard<std::mutex> guard(m_lock);
    return headerOffset;
}

std::optional<ArchiveHeader> PatchArchive::GetHeader() {
    const std::lock_guard<std::mutex> guard(m_lock);
    return header;
}

BEXORESULT PatchArchive::ReadEntry(std::uint32_t index, ArchiveEntry* entry) {
    const std::lock_guard<std::mutex> guard(m_lock);
    return ReadEntryLocked(index, entry);
}

BEXORESULT PatchArchive::ReadEntryLocked(std::uint32_t index, ArchiveEntry* entry) {
    if (file == nullptr || !header) {
        return BEXORESULT_INVALID_STATE;
    }
    if (index >= header->entryCount) {
        return BEXORESULT_NOT_FOUND;
    }
    BEXORESULT result =
        file->Seek(header->directoryOffset + std::uint64_t{index} * ArchiveEntry::kSize);
    std::uint8_t bytes[ArchiveEntry::kSize];
    if (result == BEXORESULT_OK) {
        result = file->ReadData(bytes, sizeof bytes);
    }
    if (result == BEXORESULT_OK) {
        entry->Parse(bytes);
    }
    return result;
}

std::vector<std::string> PatchArchive::MatchingSourceBuilds(const std::wstring& installDirectory) {
    const std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> builds;
    if (!header) {
        return builds;
    }
    for (std::uint32_t i = 0; i < header->entryCount; ++i) {
        ArchiveEntry entry;
        if (ReadEntryLocked(i, &entry) != BEXORESULT_OK) {
            break;
        }
        const std::wstring probePath = ToWide(entry.probePath);
        if (!IsContainedRelativePath(probePath)) {
            SystemLog("PatchArchive::MatchingSourceBuilds> probe path %s leaves the installation",
                      entry.probePath);
            continue;
        }
        std::wstring digest;
        if (FileMD5Hex(JoinPath(installDirectory, probePath), &digest) &&
            ToNarrow(digest) == entry.probeMD5) {
            builds.emplace_back(entry.fromBuild);
        }
    }
    return builds;
}

std::string PatchArchive::TargetFor(const std::string& build) {
    const std::lock_guard<std::mutex> guard(m_lock);
    if (!header) {
        return {};
    }
    for (std::uint32_t i = 0; i < header->entryCount; ++i) {
        ArchiveEntry entry;
        if (ReadEntryLocked(i, &entry) != BEXORESULT_OK) {
            return {};
        }
        if (build == entry.fromBuild) {
            return entry.toBuild;
        }
    }
    return {};
}

BEXORESULT PatchArchive::Extract(const std::string& build, const std::wstring& output) {
    const std::lock_guard<std::mutex> guard(m_lock);
    if (file == nullptr || !header) {
        return BEXORESULT_INVALID_STATE;
    }
    for (std::uint32_t i = 0; i < header->entryCount; ++i) {
        ArchiveEntry entry;
        const BEXORESULT read = ReadEntryLocked(i, &entry);
        if (read != BEXORESULT_OK) {
            return read;
        }
        if (build != entry.fromBuild) {
            continue;
        }
        const std::uint64_t packagesStart = headerOffset + ArchiveHeader::kSize;
        if (entry.dataOffset < packagesStart || entry.dataOffset > header->directoryOffset ||
            entry.dataSize > header->directoryOffset - entry.dataOffset) {
            SystemLog(
                "PatchArchive::Extract> package of %s at %llu, %llu bytes, lies outside the "
                "archive",
                entry.fromBuild, static_cast<unsigned long long>(entry.dataOffset),
                static_cast<unsigned long long>(entry.dataSize));
            return BEXORESULT_BAD_DATA;
        }
        BEXORESULT result = BEXORESULT_OK;
        {
            ContinueCheckedFile out(output, BexoDataBufferFile::kModeCreate);
            if (!out.IsOpen()) {
                return BEXORESULT_WRONG_MODE;
            }
            result = file->Seek(entry.dataOffset);
            if (result == BEXORESULT_OK) {
                result = CopyData(&out, file.get(), entry.dataSize);
            }
        }
        if (result != BEXORESULT_OK) {
            DeleteFile(output);
        }
        return result;
    }
    return BEXORESULT_NOT_FOUND;
}

PatchArchive& StandaloneArchive() {
    static PatchArchive archive;
    return archive;
}
