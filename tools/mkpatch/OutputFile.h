// A file that appears under its name only when complete: the data goes to a temporary
// file beside it, which is synced and renamed over the name on Commit, and deleted when
// the object goes away uncommitted. A device such as /dev/null is written directly.
#pragma once

#include <string>

#include "repair/buffer/BexoDataBuffer.h"

namespace Mkpatch {

class OutputFile {
public:
    explicit OutputFile(const std::wstring& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool IsOpen() const { return m_buffer.IsOpen(); }
    BexoDataBuffer* Buffer() { return &m_buffer; }
    // Whether a write to the buffer has failed (as opposed to a failure of the source).
    bool WriteFailed() const { return m_buffer.failed; }
    bool Commit();

private:
    class Tracking : public BexoDataBufferFile {
    public:
        using BexoDataBufferFile::BexoDataBufferFile;
        BEXORESULT WriteData(const void* data, std::uint32_t count) override;
        bool failed = false;
    };

    std::wstring m_path;
    std::wstring m_temporary;
    Tracking m_buffer;
    bool m_committed = false;
};

}  // namespace Mkpatch
