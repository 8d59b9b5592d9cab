#include "patch/UninstallLog.h"

#include <zlib.h>

#include <cstring>
#include <memory>

#include "kernel/FileUtil.h"
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

std::uint32_t Get32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

void Append32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        s += static_cast<char>(v >> (8 * i));
    }
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
    return static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0), data, static_cast<uInt>(size)));
}

void BlockHeader(std::uint8_t out[kUninstallBlockHeaderSize], const std::uint8_t* data,
                 std::uint32_t size) {
    Put32(out, size);
    Put32(out + 4, ~size);
    Put32(out + 8, Crc32(data, size));
}

bool BlockHeaderMatches(const std::uint8_t header[kUninstallBlockHeaderSize],
                        const std::uint8_t* data, std::uint32_t size) {
    return Get32(header) == size && Get32(header + 4) == ~size &&
           Get32(header + 8) == Crc32(data, size);
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

std::vector<std::wstring> ReadAddedFileNames(const std::wstring& patchDirectory) {
    const std::wstring listPath = JoinPath(patchDirectory, L"addedFiles.txt");
    std::vector<PatchListEntry> entries;
    std::string error;
    if (ReadPatchList(listPath, &entries, &error) != BEXORESULT_OK) {
        ReportLogLine(LOG_ERROR, L"Could not open: " + listPath +
                                     L" for reading. The file might not be present");
        return {};
    }
    std::vector<std::wstring> names;
    names.reserve(entries.size());
    for (PatchListEntry& entry : entries) {
        names.push_back(std::move(entry.path));
    }
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
        Append32(data, length);
    }
    data += path;
    data += '\xFF';
    std::string record;
    record += static_cast<char>(kDeleteFileRecord & 0xFF);
    record += static_cast<char>(kDeleteFileRecord >> 8);
    Append32(record, 0);
    Append32(record, static_cast<std::uint32_t>(data.size()));
    return record + data;
}

bool UpdateUninstallLog(const std::wstring& installDirectory, const std::wstring& patchDirectory) {
    const std::vector<std::wstring> names = ReadAddedFileNames(patchDirectory);
    if (names.empty()) {
        return true;
    }
    const std::wstring logPath = JoinPath(installDirectory, L"unins000.dat");
    const std::wstring tempPath = JoinPath(installDirectory, L"unins000_temp.dat");
    auto logFile =
        std::make_unique<BexoDataBufferFile>(logPath, BexoDataBufferFile::kModeReadWrite);
    if (!logFile->IsOpen()) {
        return true;
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
    const std::uint64_t fullBlocks = body / stride;
    const std::uint64_t rest = body % stride;
    if (rest < kUninstallBlockHeaderSize) {
        return LeaveUntouched(logPath, rest == 0 ? "its last block is full or it has no block"
                                                 : "its last block is cut short");
    }
    const auto finalSize = static_cast<std::uint32_t>(rest - kUninstallBlockHeaderSize);
    if (finalSize < kUninstallMovedBytes) {
        return LeaveUntouched(logPath, "its last block holds fewer than 28 bytes");
    }

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
    if (temp.WriteData(header, sizeof header) != BEXORESULT_OK) {
        return failed("writing the header");
    }
    std::uint8_t block[kUninstallBlockHeaderSize + kUninstallBlockDataSize];
    for (std::uint64_t i = 0; i < fullBlocks; ++i) {
        if (log.ReadData(block, sizeof block) != BEXORESULT_OK) {
            return failed("reading a block");
        }
        if (!BlockHeaderMatches(block, block + kUninstallBlockHeaderSize,
                                kUninstallBlockDataSize)) {
            tempFile.reset();
            Platform::DeleteFile(tempPath);
            return LeaveUntouched(logPath, "block " + std::to_string(i) + " is damaged");
        }
        if (temp.WriteData(block, sizeof block) != BEXORESULT_OK) {
            return failed("writing a block");
        }
    }
    std::uint8_t finalHeader[kUninstallBlockHeaderSize];
    std::string data(finalSize, '\0');
    if (log.ReadData(finalHeader, sizeof finalHeader) != BEXORESULT_OK ||
        log.ReadData(data.data(), finalSize) != BEXORESULT_OK) {
        return failed("reading the last block");
    }
    if (!BlockHeaderMatches(finalHeader, reinterpret_cast<const std::uint8_t*>(data.data()),
                            finalSize)) {
        tempFile.reset();
        Platform::DeleteFile(tempPath);
        return LeaveUntouched(logPath, "its last block is damaged");
    }

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
    data += moved;
    if (!writeBlock(data)) {
        return failed("writing the last block");
    }

    Put32(header + kRecordCountOffset, Get32(header + kRecordCountOffset) + addedRecords);
    Put32(header + kEndOffsetOffset,
          static_cast<std::uint32_t>(Get32(header + kEndOffsetOffset) + addedBytes));
    Put32(header + kHeaderCrcOffset, Crc32(header, kHeaderCrcOffset));
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
