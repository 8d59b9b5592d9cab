#include "patch/UninstallLog.h"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <optional>

#include "kernel/FileUtil.h"
#include "kernel/LittleEndian.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchList.h"
#include "platform/Files.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace {

constexpr std::uint16_t kDeleteFileRecord = 0x0082;
constexpr std::size_t kRecordCountOffset = 324;
constexpr std::size_t kEndOffsetOffset = 328;
constexpr std::size_t kHeaderCrcOffset = 444;

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
    return static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0), data, static_cast<uInt>(size)));
}

void BlockHeader(std::uint8_t out[kUninstallBlockHeaderSize], const std::uint8_t* data,
                 std::uint32_t size) {
    StoreLittleEndian<std::uint32_t>(out, size);
    StoreLittleEndian<std::uint32_t>(out + 4, ~size);
    StoreLittleEndian<std::uint32_t>(out + 8, Crc32(data, size));
}

bool BlockHeaderMatches(const std::uint8_t header[kUninstallBlockHeaderSize],
                        const std::uint8_t* data, std::uint32_t size) {
    return LoadLittleEndian<std::uint32_t>(header) == size &&
           LoadLittleEndian<std::uint32_t>(header + 4) == ~size &&
           LoadLittleEndian<std::uint32_t>(header + 8) == Crc32(data, size);
}

// Why the log is left as it is, as a note in the window log.
bool LeaveUntouched(const std::wstring& logPath, const std::string& reason) {
    SystemLog("UpdateUninstallLog> %s left unchanged: %s", WideToUtf8(logPath).c_str(),
              reason.c_str());
    ReportLogLine(LOG_NOTE, L"The uninstaller log " + logPath + L" was left unchanged: " +
                                Utf8ToWide(reason));
    return true;
}

bool Failed(const std::wstring& logPath, const std::wstring& tempPath, const char* what) {
    SystemLog("UpdateUninstallLog> %s failed for %s", what, WideToUtf8(logPath).c_str());
    ReportLogLine(LOG_ERROR, L"Could not update the uninstaller log " + logPath);
    Platform::DeleteFile(tempPath);
    return false;
}

}  // namespace

namespace {

bool ReadAddedFileNames(const std::wstring& patchDirectory, std::vector<std::wstring>* names) {
    const std::wstring listPath = JoinPath(patchDirectory, L"addedFiles.txt");
    std::vector<PatchListEntry> entries;
    std::string error;
    if (ReadPatchList(listPath, &entries, &error) != BEXORESULT_OK) {
        ReportLogLine(LOG_ERROR, L"Could not open: " + listPath +
                                     L" for reading. The file might not be present");
        return false;
    }
    names->clear();
    names->reserve(entries.size());
    for (PatchListEntry& entry : entries) {
        names->push_back(std::move(entry.path));
    }
    return true;
}

}  // namespace

std::vector<std::wstring> ReadAddedFileNames(const std::wstring& patchDirectory) {
    std::vector<std::wstring> names;
    ReadAddedFileNames(patchDirectory, &names);
    return names;
}

std::string MakeUninstallDeleteRecord(const std::string& path) {
    std::string data;
    const auto length = static_cast<std::uint32_t>(path.size());
    if (length <= 252) {
        data += static_cast<char>(length);
    } else if (length <= 65535) {
        data += '\xFD';
        data += static_cast<char>(length & 0xFF);
        data += static_cast<char>(length >> 8);
    } else {
        data += '\xFE';
        AppendLittleEndian<std::uint32_t>(data, length);
    }
    data += path;
    data += '\xFF';
    std::string record;
    record += static_cast<char>(kDeleteFileRecord & 0xFF);
    record += static_cast<char>(kDeleteFileRecord >> 8);
    AppendLittleEndian<std::uint32_t>(record, 0);
    AppendLittleEndian<std::uint32_t>(record, static_cast<std::uint32_t>(data.size()));
    return record + data;
}

bool UpdateUninstallLog(const std::wstring& installDirectory, const std::wstring& patchDirectory) {
    const std::wstring logPath = JoinPath(installDirectory, L"unins000.dat");
    const std::wstring tempPath = JoinPath(installDirectory, L"unins000_temp.dat");
    std::vector<std::wstring> names;
    if (!ReadAddedFileNames(patchDirectory, &names)) {
        return Failed(logPath, tempPath, "reading the added files");
    }
    if (names.empty()) {
        return true;
    }
    auto logFile =
        std::make_unique<BexoDataBufferFile>(logPath, BexoDataBufferFile::kModeReadWrite);
    if (!logFile->IsOpen()) {
        // No log, or one that may not be written, is left as it is; one that exists and
        // does not open otherwise is an error, not a log without records.
        const std::optional<Platform::FileAttributes> attributes =
            Platform::GetFileAttributes(logPath);
        if (!attributes || attributes->readOnly || attributes->directory) {
            return true;
        }
        return Failed(logPath, tempPath, "opening the log");
    }
    BexoDataBufferFile& log = *logFile;
    const std::uint64_t logSize = log.GetSize();
    std::uint8_t header[kUninstallHeaderSize];
    if (logSize < kUninstallHeaderSize) {
        return LeaveUntouched(logPath, "it is shorter than its header");
    }
    if (log.ReadData(header, sizeof header) != BEXORESULT_OK) {
        return Failed(logPath, tempPath, "reading the header");
    }

    // Check the blocks before anything is written: a new CRC must never bless old damage.
    const std::uint64_t body = logSize - kUninstallHeaderSize;
    const std::uint64_t stride = kUninstallBlockHeaderSize + kUninstallBlockDataSize;
    std::uint64_t fullBlocks = body / stride;
    std::uint64_t rest = body % stride;
    // Only the last block is ever shorter than 4096 bytes; a full one may be the last.
    if (rest == 0 && fullBlocks > 0) {
        --fullBlocks;
        rest = stride;
    }
    if (rest < kUninstallBlockHeaderSize) {
        return LeaveUntouched(logPath,
                              rest == 0 ? "it has no block" : "its last block is cut short");
    }
    const auto finalSize = static_cast<std::uint32_t>(rest - kUninstallBlockHeaderSize);
    // The 28 bytes that stay last may begin in the block before a short last block; that
    // block is then read and written again with the last one.
    const bool spans = finalSize < kUninstallMovedBytes && fullBlocks > 0;
    if (finalSize < kUninstallMovedBytes && !spans) {
        return LeaveUntouched(logPath, "its last block holds fewer than 28 bytes");
    }
    const std::uint64_t keptBlocks = spans ? fullBlocks - 1 : fullBlocks;

    auto tempFile = std::make_unique<BexoDataBufferFile>(tempPath, BexoDataBufferFile::kModeCreate);
    if (!tempFile->IsOpen()) {
        return Failed(logPath, tempPath, "creating the temporary file");
    }
    BexoDataBufferFile& temp = *tempFile;
    // Windows deletes no file that is still open: the temporary file is closed first.
    const auto failed = [&](const char* what) {
        tempFile.reset();
        return Failed(logPath, tempPath, what);
    };
    const auto damaged = [&](const std::string& reason) {
        tempFile.reset();
        Platform::DeleteFile(tempPath);
        return LeaveUntouched(logPath, reason);
    };
    if (temp.WriteData(header, sizeof header) != BEXORESULT_OK) {
        return failed("writing the header");
    }
    std::uint8_t block[kUninstallBlockHeaderSize + kUninstallBlockDataSize];
    for (std::uint64_t i = 0; i < keptBlocks; ++i) {
        if (log.ReadData(block, sizeof block) != BEXORESULT_OK) {
            return failed("reading a block");
        }
        if (!BlockHeaderMatches(block, block + kUninstallBlockHeaderSize,
                                kUninstallBlockDataSize)) {
            return damaged("block " + std::to_string(i) + " is damaged");
        }
        if (temp.WriteData(block, sizeof block) != BEXORESULT_OK) {
            return failed("writing a block");
        }
    }
    std::string data;
    if (spans) {
        if (log.ReadData(block, sizeof block) != BEXORESULT_OK) {
            return failed("reading a block");
        }
        if (!BlockHeaderMatches(block, block + kUninstallBlockHeaderSize,
                                kUninstallBlockDataSize)) {
            return damaged("block " + std::to_string(keptBlocks) + " is damaged");
        }
        data.assign(reinterpret_cast<const char*>(block) + kUninstallBlockHeaderSize,
                    kUninstallBlockDataSize);
    }
    std::uint8_t finalHeader[kUninstallBlockHeaderSize];
    std::string last(finalSize, '\0');
    if (log.ReadData(finalHeader, sizeof finalHeader) != BEXORESULT_OK ||
        (finalSize > 0 && log.ReadData(last.data(), finalSize) != BEXORESULT_OK)) {
        return failed("reading the last block");
    }
    if (!BlockHeaderMatches(finalHeader, reinterpret_cast<const std::uint8_t*>(last.data()),
                            finalSize)) {
        return damaged("its last block is damaged");
    }
    data += last;

    const std::string moved = data.substr(data.size() - kUninstallMovedBytes);
    data.resize(data.size() - kUninstallMovedBytes);
    std::uint64_t addedBytes = 0;
    std::uint32_t addedRecords = 0;
    const auto writeBlock = [&](const std::string& bytes) {
        std::uint8_t blockHeader[kUninstallBlockHeaderSize];
        BlockHeader(blockHeader, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                    static_cast<std::uint32_t>(bytes.size()));
        addedBytes += kUninstallBlockHeaderSize;
        return temp.WriteData(blockHeader, sizeof blockHeader) == BEXORESULT_OK &&
               temp.WriteData(bytes.data(), static_cast<std::uint32_t>(bytes.size())) ==
                   BEXORESULT_OK;
    };
    for (const std::wstring& name : names) {
        const std::string record =
            MakeUninstallDeleteRecord(ToNarrow(JoinPath(installDirectory, name)));
        std::size_t at = 0;
        while (at < record.size()) {
            const std::size_t n =
                std::min(record.size() - at, kUninstallBlockDataSize - data.size());
            data.append(record, at, n);
            at += n;
            if (data.size() == kUninstallBlockDataSize) {
                if (!writeBlock(data)) {
                    return failed("writing a block");
                }
                data.clear();
            }
        }
        addedBytes += record.size();
        ++addedRecords;
    }
    // The moved bytes can overfill the block: a full block, then a short last one.
    data += moved;
    if (data.size() > kUninstallBlockDataSize) {
        if (!writeBlock(data.substr(0, kUninstallBlockDataSize))) {
            return failed("writing a block");
        }
        data.erase(0, kUninstallBlockDataSize);
    }
    if (!writeBlock(data)) {
        return failed("writing the last block");
    }

    StoreLittleEndian<std::uint32_t>(
        header + kRecordCountOffset,
        LoadLittleEndian<std::uint32_t>(header + kRecordCountOffset) + addedRecords);
    StoreLittleEndian<std::uint32_t>(
        header + kEndOffsetOffset,
        static_cast<std::uint32_t>(LoadLittleEndian<std::uint32_t>(header + kEndOffsetOffset) +
                                   addedBytes));
    StoreLittleEndian<std::uint32_t>(header + kHeaderCrcOffset, Crc32(header, kHeaderCrcOffset));
    if (temp.Seek(0) != BEXORESULT_OK || temp.WriteData(header, sizeof header) != BEXORESULT_OK ||
        !temp.Commit()) {
        return failed("writing the new log");
    }
    tempFile.reset();
    logFile.reset();
    if (!Platform::ReplaceFile(tempPath, logPath)) {
        return Failed(logPath, tempPath, "replacing the log");
    }
    Platform::SyncDirectory(installDirectory);
    return true;
}
