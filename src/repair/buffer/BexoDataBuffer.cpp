#include "repair/buffer/BexoDataBuffer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "kernel/FileUtil.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "platform/Files.h"

namespace {

constexpr std::uint64_t kMaxMemorySize = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::uint64_t BexoDataBufferMemoryDynamic::GetSize() {
    return m_bytes.size();
}

BEXORESULT BexoDataBufferMemoryDynamic::SetSize(std::uint64_t size) {
    if (size > kMaxMemorySize) {
        return BEXORESULT_OUT_OF_MEMORY;
    }
    try {
        m_bytes.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return BEXORESULT_OUT_OF_MEMORY;
    }
    m_position = std::min<std::uint32_t>(m_position, static_cast<std::uint32_t>(size));
    return BEXORESULT_OK;
}

std::uint64_t BexoDataBufferMemoryDynamic::GetPosition() {
    return m_position;
}

BEXORESULT BexoDataBufferMemoryDynamic::Seek(std::uint64_t position) {
    if (position > m_bytes.size()) {
        m_position = static_cast<std::uint32_t>(m_bytes.size());
        return BEXORESULT_END_OF_DATA;
    }
    m_position = static_cast<std::uint32_t>(position);
    return BEXORESULT_OK;
}

BEXORESULT BexoDataBufferMemoryDynamic::WriteData(const void* data, std::uint32_t count) {
    if (count == 0) {
        return BEXORESULT_OK;
    }
    const std::uint64_t end = std::uint64_t{m_position} + count;
    if (end > m_bytes.size()) {
        const BEXORESULT grown = SetSize(end);
        if (grown != BEXORESULT_OK) {
            return grown;
        }
    }
    std::memcpy(m_bytes.data() + m_position, data, count);
    m_position = static_cast<std::uint32_t>(end);
    return BEXORESULT_OK;
}

BEXORESULT BexoDataBufferMemoryDynamic::ReadData(void* data, std::uint32_t count) {
    if (count == 0) {
        return BEXORESULT_OK;
    }
    const std::uint32_t available = static_cast<std::uint32_t>(m_bytes.size()) - m_position;
    const std::uint32_t n = std::min(count, available);
    if (n > 0) {
        std::memcpy(data, m_bytes.data() + m_position, n);
        m_position += n;
    }
    return n < count ? BEXORESULT_END_OF_DATA : BEXORESULT_OK;
}

void BexoDataBufferMemoryDynamic::Flush() {}

BexoDataBufferFile::BexoDataBufferFile(const std::wstring& path, std::int32_t mode)
    : m_mode(mode), m_path(path) {
    // A path the file system would be given in another form names another file, so
    // it never opens.
    std::wstring normalised = path;
    NormaliseSeparators(normalised, L'\\');
    const std::wstring systemPath = FileSystemPath(normalised);
    if (systemPath != normalised && mode >= kModeRead && mode <= kModeReadWrite) {
        return;
    }
    switch (mode) {
        case kModeRead:
            m_stream = Platform::OpenFileStream(systemPath, "rb");
            break;
        case kModeCreate:
            m_stream = Platform::OpenFileStream(systemPath, "wb");
            break;
        case kModeUpdate:
            m_stream = Platform::OpenFileStream(systemPath, "r+b");
            if (m_stream == nullptr) {
                m_stream = Platform::OpenFileStream(systemPath, "wb");
            }
            break;
        case kModeReadWrite:
            m_stream = Platform::OpenFileStream(systemPath, "r+b");
            break;
        default:
            SystemLogWrite(LOG_STDOUT, FormatString("BexoDataBufferFile> unknown access mode %d",
                                                    static_cast<int>(mode)));
            return;
    }
    if (m_stream == nullptr || mode == kModeCreate) {
        return;
    }
    std::int64_t end = -1;
    if (Platform::SeekFileStream(m_stream, 0, SEEK_END)) {
        end = Platform::TellFileStream(m_stream);
    }
    if (end < 0 || !Platform::SeekFileStream(m_stream, 0, SEEK_SET)) {
        std::fclose(m_stream);
        m_stream = nullptr;
        return;
    }
    m_size = static_cast<std::uint64_t>(end);
}

BexoDataBufferFile::~BexoDataBufferFile() {
    if (m_stream != nullptr) {
        std::fclose(m_stream);
    }
}

std::uint64_t BexoDataBufferFile::GetSize() {
    return m_size;
}

BEXORESULT BexoDataBufferFile::SetSize(std::uint64_t size) {
    if (m_stream == nullptr) {
        return BEXORESULT_INVALID_STATE;
    }
    if (size > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        !Platform::TruncateFileStream(m_stream, static_cast<std::int64_t>(size))) {
        return BEXORESULT_IO_ERROR;
    }
    m_size = size;
    const std::uint64_t position = std::min(m_position, size);
    if (!Platform::SeekFileStream(m_stream, static_cast<std::int64_t>(position), SEEK_SET)) {
        return BEXORESULT_IO_ERROR;
    }
    m_position = position;
    return BEXORESULT_OK;
}

std::uint64_t BexoDataBufferFile::GetPosition() {
    return m_position;
}

BEXORESULT BexoDataBufferFile::Seek(std::uint64_t position) {
    if (m_stream == nullptr) {
        return BEXORESULT_INVALID_STATE;
    }
    if (position > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        !Platform::SeekFileStream(m_stream, static_cast<std::int64_t>(position), SEEK_SET)) {
        return BEXORESULT_IO_ERROR;
    }
    m_position = position;
    return BEXORESULT_OK;
}

BEXORESULT BexoDataBufferFile::Reposition() {
    // A C stream must be repositioned between a write and a read in either order.
    return Platform::SeekFileStream(m_stream, static_cast<std::int64_t>(m_position), SEEK_SET)
               ? BEXORESULT_OK
               : BEXORESULT_IO_ERROR;
}

BEXORESULT BexoDataBufferFile::WriteData(const void* data, std::uint32_t count) {
    if (m_stream == nullptr) {
        return BEXORESULT_INVALID_STATE;
    }
    if (m_mode == kModeRead) {
        return BEXORESULT_WRONG_MODE;
    }
    if (count == 0) {
        return BEXORESULT_OK;
    }
    if (m_lastWasRead && m_mode == kModeReadWrite) {
        const BEXORESULT repositioned = Reposition();
        if (repositioned != BEXORESULT_OK) {
            return repositioned;
        }
    }
    m_lastWasRead = false;
    const std::size_t written = Platform::WriteFileStream(m_stream, data, count);
    m_position += written;
    m_size = std::max(m_size, m_position);
    if (written == count) {
        return BEXORESULT_OK;
    }
    // A full volume is worth telling apart: trying again will not help.
    return errno == ENOSPC ? BEXORESULT_DISK_FULL : BEXORESULT_IO_ERROR;
}

BEXORESULT BexoDataBufferFile::ReadData(void* data, std::uint32_t count) {
    if (m_stream == nullptr) {
        return BEXORESULT_INVALID_STATE;
    }
    if (m_mode == kModeCreate || m_mode == kModeUpdate) {
        return BEXORESULT_WRONG_MODE;
    }
    if (count == 0) {
        return BEXORESULT_OK;
    }
    if (!m_lastWasRead && m_mode == kModeReadWrite) {
        const BEXORESULT repositioned = Reposition();
        if (repositioned != BEXORESULT_OK) {
            return repositioned;
        }
    }
    m_lastWasRead = true;
    const std::size_t read = Platform::ReadFileStream(m_stream, data, count);
    m_position += read;
    return read < count ? BEXORESULT_IO_ERROR : BEXORESULT_OK;
}

void BexoDataBufferFile::Flush() {
    Commit();
}

bool BexoDataBufferFile::FlushStream() {
    return m_stream != nullptr && std::fflush(m_stream) == 0;
}

bool BexoDataBufferFile::Close() {
    if (m_stream == nullptr) {
        return false;
    }
    const bool closed = std::fclose(m_stream) == 0;
    m_stream = nullptr;
    return closed;
}

bool BexoDataBufferFile::Commit() {
    return m_stream != nullptr && Platform::SyncFileStream(m_stream);
}

BEXORESULT CopyData(BexoDataBuffer* destination, BexoDataBuffer* source, std::uint64_t count) {
    constexpr std::uint64_t kStackLimit = 8192;
    constexpr std::uint64_t kHeapArea = 131072;
    if (count == 0) {
        return BEXORESULT_OK;
    }
    std::array<std::uint8_t, 4096> stackArea;
    std::unique_ptr<std::uint8_t[]> heapArea;
    std::uint8_t* staging = stackArea.data();
    std::uint64_t stagingSize = stackArea.size();
    if (count > kStackLimit) {
        stagingSize = std::min(count, kHeapArea);
        heapArea.reset(new (std::nothrow) std::uint8_t[stagingSize]);
        if (heapArea == nullptr) {
            return BEXORESULT_OUT_OF_MEMORY;
        }
        staging = heapArea.get();
    }
    std::uint64_t remaining = count;
    while (remaining > 0) {
        const auto round = static_cast<std::uint32_t>(std::min(remaining, stagingSize));
        BEXORESULT result = source->ReadData(staging, round);
        if (result != BEXORESULT_OK) {
            return result;
        }
        result = destination->WriteData(staging, round);
        if (result != BEXORESULT_OK) {
            return result;
        }
        remaining -= round;
    }
    return BEXORESULT_OK;
}

BEXORESULT CopyRemainingData(BexoDataBuffer* destination, BexoDataBuffer* source) {
    const std::uint64_t size = source->GetSize();
    const std::uint64_t position = source->GetPosition();
    return CopyData(destination, source, size > position ? size - position : 0);
}
