// The state of one patch session's transfer and the patch list it works from, with the
// task's own steps: the package path, the download and its progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "kernel/BexoResult.h"
#include "session/PackageCheck.h"
#include "session/PatchDiscovery.h"

class DownloadURLCallback;

enum : std::int32_t {
    TRANSFER_IDLE = 0,
    TRANSFER_DOWNLOADING = 1,
    TRANSFER_PATCHING = 3,
};

struct DownloadProgress {
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
    std::int32_t percent = 0;
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

    // Asks the server for the package's size: bytesTotal, 0 when it cannot tell. The
    // callback may stop the query.
    bool QueryPatchSize(const std::wstring& address, DownloadURLCallback* callback);
    // The package file of the current step in the session's directory; false (and an
    // empty path) when there is none or the step's name could leave it.
    bool TempPackagePath(std::wstring* path) const;
    // Fetches the package into the file, keeping what an earlier attempt of this session
    // left there (an FTP transfer resumes after it). Reports why it failed; the
    // transfer's result (ABORTED when cancelled, DISK_FULL when the disk is full). With
    // signedPackage, the data is checked against it while it arrives and *verdict says
    // whether it matches; a transfer that runs past the signed size is stopped (OK is
    // returned, with kTooLong).
    BEXORESULT DownloadPatch(const std::wstring& address, const std::wstring& path,
                             DownloadURLCallback* callback,
                             const BexoPatch::SignedPackage* signedPackage = nullptr,
                             BexoPatch::PackageVerdict* verdict = nullptr);
    // For the window's refresh timer (another thread): the bytes so far and the percentage.
    DownloadProgress GetDownloadProgress();
    // Whether a package is being written right now; any thread.
    bool Downloading();

    // Written by the session, read by the window: atomics. The package's writer
    // publishes its position after every write, so the window never reads the file.
    std::atomic<std::int32_t> transferState{TRANSFER_IDLE};
    std::atomic<bool> downloading{false};
    std::atomic<std::uint64_t> bytesDone{0};
    std::atomic<std::uint64_t> bytesTotal{0};
    std::atomic<std::int32_t> percentDone{0};
    // Counts the downloads begun, so that a watcher can tell one step's from the next.
    std::atomic<std::uint32_t> downloadsStarted{0};
    // The patch list of the server that answered, with that server.
    BexoPatch::PatchDirectory patches;
    // The session's own directory for packages and unpacked steps; empty until created.
    std::wstring sessionDirectory;
    // Set when the session refused a patch list or a package because it is not what the
    // publisher signed; read by whoever reports the session's outcome.
    std::atomic<bool> verificationFailed{false};
};
