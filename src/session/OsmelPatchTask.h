// The state of one patch session's transfer and the patch list it works from.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "kernel/Sync.h"

class BexoDataBufferFile;

enum : std::int32_t {
    TRANSFER_IDLE = 0,
    TRANSFER_DOWNLOADING = 1,
    TRANSFER_PATCHING = 3,
};

class OsmelPatchTask {
public:
    OsmelPatchTask() = default;
    OsmelPatchTask(const OsmelPatchTask&) = delete;
    OsmelPatchTask& operator=(const OsmelPatchTask&) = delete;
    virtual ~OsmelPatchTask() = default;

    // A line for the window log; the task alone reports nowhere.
    virtual void ReportMessage(std::int32_t level, const std::string& text);
    virtual void ReportMessage(std::int32_t level, const std::wstring& text);

    OS::Mutex lock;  // guards currentFile and bytesDone
    BexoDataBufferFile* currentFile = nullptr;
    // Written by the session, read by the window: atomics.
    std::atomic<std::int32_t> transferState{TRANSFER_IDLE};
    std::uint64_t bytesDone = 0;
    std::atomic<std::uint64_t> bytesTotal{0};
    std::atomic<std::int32_t> percentDone{0};
    std::wstring selectedServer;
};
