#include "patch/Package.h"

#include <memory>

#include "kernel/FileUtil.h"
#include "kernel/LittleEndian.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "patch/SafePath.h"
#include "platform/Files.h"
#include "repair/buffer/BexoUtil.h"

bool IsDirectoryEntryName(const std::wstring& name) {
    if (!name.empty() && (name.back() == L'\\' || name.back() == L'/')) {
        return true;
    }
    const std::size_t separator = name.find_last_of(L"\\/");
    const std::size_t start = separator == std::wstring::npos ? 0 : separator + 1;
    return name.find(L'.', start) == std::wstring::npos;
}

std::wstring PackageFileEntryName(const std::wstring& name) {
    if (IsDirectoryEntryName(name) || (!name.empty() && name.back() == L'.')) {
        return name + L".";
    }
    return name;
}

std::wstring UnpackedFileName(const std::wstring& entryName) {
    if (!Platform::WindowsFileNames() && !entryName.empty() && entryName.back() == L'.') {
        return entryName.substr(0, entryName.size() - 1);
    }
    return entryName;
}

BEXORESULT PackageReader::Open(const std::wstring& path) {
    m_file = std::make_unique<BexoDataBufferFile>(path, BexoDataBufferFile::kModeRead);
    if (!m_file->IsOpen()) {
        m_file.reset();
        return BEXORESULT_IO_ERROR;
    }
    std::uint8_t bytes[4] = {};
    std::uint32_t version = 0;
    if (m_file->ReadData(bytes, sizeof bytes) == BEXORESULT_OK) {
        version = LoadLittleEndian<std::uint32_t>(bytes);
    }
    if (version != kPackageVersion) {
        SystemLog("PackageReader::Open> version %u, expected %u", version, kPackageVersion);
        m_file.reset();
        return BEXORESULT_BAD_DATA;
    }
    return BEXORESULT_OK;
}

bool PackageReader::AtEnd() {
    return m_file == nullptr || m_file->GetPosition() >= m_file->GetSize();
}

BEXORESULT PackageReader::Next(PackageEntry* entry) {
    if (m_file == nullptr) {
        return BEXORESULT_INVALID_STATE;
    }
    const std::uint64_t at = m_file->GetPosition();
    std::uint64_t rawLength = 0;
    BEXORESULT result = BexoUtil::MeasureContainer(m_file.get(), &rawLength);
    if (result != BEXORESULT_OK) {
        return result;
    }
    if (rawLength < 4 || rawLength > 4 + 2 * std::uint64_t{kMaxPackageNameUnits}) {
        SystemLog("PackageReader::Next> name container at %llu holds %llu bytes",
                  static_cast<unsigned long long>(at), static_cast<unsigned long long>(rawLength));
        return BEXORESULT_BAD_DATA;
    }
    BexoDataBufferMemoryDynamic name;
    result = BexoUtil::DecompressData(&name, m_file.get());
    if (result != BEXORESULT_OK) {
        return result;
    }
    const std::uint8_t* bytes = name.GetData();
    const std::uint64_t units = LoadLittleEndian<std::uint32_t>(bytes);
    if (units > (name.GetSize() - 4) / 2) {
        SystemLog("PackageReader::Next> name at %llu counts %llu units in %llu bytes",
                  static_cast<unsigned long long>(at), static_cast<unsigned long long>(units),
                  static_cast<unsigned long long>(name.GetSize() - 4));
        return BEXORESULT_BAD_DATA;
    }
    std::u16string text(static_cast<std::size_t>(units), u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(bytes[4 + 2 * i] | (bytes[5 + 2 * i] << 8));
        if (text[i] == u'\0') {
            SystemLog("PackageReader::Next> name at %llu holds a NUL",
                      static_cast<unsigned long long>(at));
            return BEXORESULT_BAD_DATA;
        }
    }
    entry->name = FromUtf16(text);
    entry->directory = IsDirectoryEntryName(entry->name);
    return BEXORESULT_OK;
}

BEXORESULT PackageReader::CheckContentPresent() {
    if (m_file == nullptr) {
        return BEXORESULT_INVALID_STATE;
    }
    // Without this a missing content container would read as an empty one.
    if (m_file->GetSize() - m_file->GetPosition() < 4) {
        SystemLog("PackageReader> the package ends where a file's content should start");
        return BEXORESULT_END_OF_DATA;
    }
    return BEXORESULT_OK;
}

BEXORESULT PackageReader::ReadContent(BexoDataBuffer* destination) {
    const BEXORESULT present = CheckContentPresent();
    if (present != BEXORESULT_OK) {
        return present;
    }
    return BexoUtil::DecompressData(destination, m_file.get());
}

BEXORESULT PackageReader::SkipContent(std::uint64_t* rawLength, std::uint64_t* storedLength) {
    BEXORESULT result = CheckContentPresent();
    if (result != BEXORESULT_OK) {
        return result;
    }
    const std::uint64_t start = m_file->GetPosition();
    result = BexoUtil::MeasureContainer(m_file.get(), rawLength, storedLength);
    if (result == BEXORESULT_OK) {
        result = m_file->Seek(start + *storedLength);
    }
    return result;
}

BEXORESULT ContinueCheckedFile::WriteData(const void* data, std::uint32_t count) {
    if (!ReportContinue()) {
        return BEXORESULT_ABORTED;
    }
    return BexoDataBufferFile::WriteData(data, count);
}

BEXORESULT PackageUnpackedSize(const std::wstring& package, std::uint64_t* bytes) {
    *bytes = 0;
    PackageReader reader;
    BEXORESULT result = reader.Open(package);
    while (result == BEXORESULT_OK && !reader.AtEnd()) {
        PackageEntry entry;
        result = reader.Next(&entry);
        std::uint64_t raw = 0;
        std::uint64_t stored = 0;
        if (result == BEXORESULT_OK && !entry.directory) {
            result = reader.SkipContent(&raw, &stored);
        }
        // Lengths from outside: the sum saturates rather than wraps.
        *bytes = raw > UINT64_MAX - *bytes ? UINT64_MAX : *bytes + raw;
    }
    return result;
}

bool UnpackPackage(const std::wstring& package, const std::wstring& directory) {
    // A volume that fills up half way leaves a half-unpacked patch: it is measured first.
    std::uint64_t needed = 0;
    std::uint64_t available = 0;
    const BEXORESULT measured = PackageUnpackedSize(package, &needed);
    if (measured != BEXORESULT_OK) {
        SystemLog("UnpackPackage> %s cannot be measured: %s", WideToUtf8(package).c_str(),
                  BexoResultName(measured));
        return false;
    }
    if (Platform::GetFreeDiskSpace(directory, &available) && needed > available) {
        SystemLog("UnpackPackage> %s needs %llu bytes, %s has %llu free",
                  WideToUtf8(package).c_str(), static_cast<unsigned long long>(needed),
                  WideToUtf8(directory).c_str(), static_cast<unsigned long long>(available));
        ReportLogLine(LOG_ERROR, L"Not enough free disk space to unpack the patch: " +
                                     std::to_wstring(needed) + L" bytes are needed in " +
                                     directory + L", " + std::to_wstring(available) +
                                     L" are free.");
        return false;
    }
    PackageReader reader;
    if (reader.Open(package) != BEXORESULT_OK) {
        return false;
    }
    while (!reader.AtEnd()) {
        if (!ReportContinue()) {
            SystemLog("UnpackPackage> stopped on request");
            return false;
        }
        PackageEntry entry;
        const std::uint64_t at = reader.GetPosition();
        BEXORESULT result = reader.Next(&entry);
        if (result != BEXORESULT_OK) {
            SystemLog("UnpackPackage> entry at %llu: %s", static_cast<unsigned long long>(at),
                      BexoResultName(result));
            return false;
        }
        if (!IsContainedRelativePath(entry.name)) {
            SystemLog("UnpackPackage> entry name %s would leave the unpack directory",
                      WideToUtf8(entry.name).c_str());
            return false;
        }
        const std::wstring name = entry.directory ? entry.name : UnpackedFileName(entry.name);
        if (LeadsThroughLink(directory, name)) {
            SystemLog("UnpackPackage> entry name %s leads through a link",
                      WideToUtf8(entry.name).c_str());
            return false;
        }
        std::wstring path = JoinPath(directory, name);
        NormaliseSeparators(path, L'\\');
        if (entry.directory) {
            MakeDirectory(path);
            continue;
        }
        ContinueCheckedFile out(path, BexoDataBufferFile::kModeCreate);
        if (!out.IsOpen()) {
            SystemLog("UnpackPackage> cannot create %s", WideToUtf8(path).c_str());
            return false;
        }
        result = reader.ReadContent(&out);
        if (result != BEXORESULT_OK) {
            SystemLog("UnpackPackage> content of %s: %s", WideToUtf8(entry.name).c_str(),
                      BexoResultName(result));
            return false;
        }
    }
    return true;
}
