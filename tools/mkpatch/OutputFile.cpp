#include "OutputFile.h"

#include <optional>

#include "kernel/FileUtil.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace Mkpatch {

namespace {

// A device (/dev/null, a pipe) is written directly: it cannot be replaced by a rename.
bool IsDevice(const std::wstring& path) {
    const std::optional<Platform::FileAttributes> attributes = Platform::GetFileAttributes(path);
    return attributes && attributes->device;
}

std::wstring TemporaryName(const std::wstring& path) {
    if (IsDevice(path)) {
        return path;
    }
    return path + L".part" + std::to_wstring(Platform::GetCurrentProcessId());
}

}  // namespace

BEXORESULT OutputFile::Tracking::WriteData(const void* data, std::uint32_t count) {
    const BEXORESULT result = BexoDataBufferFile::WriteData(data, count);
    failed = failed || result != BEXORESULT_OK;
    return result;
}

OutputFile::OutputFile(const std::wstring& path)
    : m_path(path),
      m_temporary(TemporaryName(path)),
      m_buffer(m_temporary, BexoDataBufferFile::kModeCreate) {}

OutputFile::~OutputFile() {
    if (!m_committed && m_temporary != m_path) {
        m_buffer.Close();
        Platform::DeleteFile(m_temporary);
    }
}

bool OutputFile::Commit() {
    if (m_temporary == m_path) {
        m_buffer.Flush();
        m_committed = true;
        return true;
    }
    if (!m_buffer.Commit() || !m_buffer.Close() || !Platform::ReplaceFile(m_temporary, m_path)) {
        return false;
    }
    m_committed = true;
    return true;
}

}  // namespace Mkpatch
