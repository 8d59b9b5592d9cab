// The worker threads of a patch session: wxGuardedThread (a fatal fault in the body goes
// to the process's fatal handler), APThread (a worker that reports to the window and ends
// with the finished event) and PatchThread (one patch session).
#pragma once

#include <wx/thread.h>

#include <cstdint>
#include <string>

#include "session/OsmelPatchTask.h"

class wxGuardedThread : public wxThread {
public:
    wxGuardedThread();

    // Called when the body lets an exception escape; the application installs its fatal
    // exception handler here. It must not return.
    static void SetFatalHandler(void (*handler)());

protected:
    ExitCode Entry() override;
    virtual ExitCode GuardedEntry() = 0;
};

namespace BexoPatch {

class SessionWindow;

class APThread : public wxGuardedThread {
public:
    explicit APThread(SessionWindow* owner);
    ~APThread() override;

    SessionWindow* Owner() const { return owner; }
    // Posts the finished event to the window; every worker ends with it.
    void ReportFinished();

    // The process's current worker, or null.
    static APThread* Current();

protected:
    void OnExit() override;
    ExitCode GuardedEntry() override;

private:
    SessionWindow* owner;
};

class PatchThread : public APThread, public OsmelPatchTask {
public:
    explicit PatchThread(SessionWindow* owner);
    ~PatchThread() override;

    void ReportMessage(std::int32_t level, const std::string& text) override;
    void ReportMessage(std::int32_t level, const std::wstring& text) override;

    // Checks the room for patching on the temporary and the installation's volume and
    // chooses tempDirectory; false only when the installation's volume is too small.
    bool CheckDiskSpace(std::uint32_t megabytes);
    // Results of UnpackAndApply.
    enum : int { kApplied = 0, kNoUnpackDirectory = 2, kStepFailed = 10 };
    // Unpacks the package into a fresh directory below tempDirectory and applies it; the
    // directory is removed again whatever happens.
    int UnpackAndApply(const std::wstring& package);
    // Runs the patching engine over an unpacked package, with the "IsPatching" marker set
    // while the installation changes and left set when the step failed.
    bool ApplyPatchDirectory(const std::wstring& directory);
    // One step from the archive appended to this executable, from the current version to
    // the target version.
    bool ApplyStandalonePatch();

    // Where packages are unpacked; each step goes one level deeper.
    std::wstring tempDirectory;

protected:
    ExitCode GuardedEntry() override;
};

// The continue callback: false once the current worker is asked to stop or the user has
// chosen to cancel.
bool ContinueQuery();

// The session body: the checks in order, then the mode's work, then the finished event.
void RunSession(PatchThread& session);
// The mode loops: steps from the appended archive, or from the patch servers, until the
// chains of the queued builds end; then the asset database update.
bool RunStandaloneSession(PatchThread& session);
bool RunDownloadSession(PatchThread& session);

// Replaces the directory (the temporary directory when empty) by a new, uniquely named
// directory below it, created with its parents; false and empty when that fails.
bool MakeTempDirectory(std::wstring& directory);
// The bytes the caller may use on the directory's volume; false (and 0) when the
// platform cannot tell.
bool GetFreeSpace(const std::wstring& directory, std::uint64_t* freeBytes);

}  // namespace BexoPatch
