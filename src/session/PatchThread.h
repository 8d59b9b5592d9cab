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
    // Creates the session's own directory below tempDirectory (sessionDirectory), where
    // its packages and unpacked steps go; false when it cannot be created.
    bool OpenSessionDirectory();
    // Removes the session's directory with everything in it; nothing else is touched.
    void CloseSessionDirectory();
    // Results of UnpackAndApply.
    enum : int { kApplied = 0, kNoUnpackDirectory = 2, kStepFailed = 10, kCancelled = 11 };
    // Unpacks the package into a fresh directory in the session's directory and applies
    // it; the unpacked directory is removed again whatever happens.
    int UnpackAndApply(const std::wstring& package);
    // Runs the patching engine over an unpacked package, with the "IsPatching" marker set
    // while the installation changes and left set when the step failed. A cancel seen
    // before the engine starts, or one that the engine undid, leaves the marker clear.
    int ApplyPatchDirectory(const std::wstring& directory);
    // One step from the archive appended to this executable, from the current version to
    // the target version; a result of UnpackAndApply.
    int ApplyStandalonePatch();
    // Whether the user has asked this session to stop.
    bool CancelRequested() const;

    // The volume's directory CheckDiskSpace chose for the session's data.
    std::wstring tempDirectory;
    // The build the installation is at as far as this session knows (empty when not
    // known); with unfinishedTarget set, a step towards that build failed half-way.
    std::string reachedBuild;
    std::string unfinishedTarget;

protected:
    ExitCode GuardedEntry() override;
};

// The continue callback: false once the current worker is asked to stop or the user has
// chosen to cancel.
bool ContinueQuery();

// The session body: the checks in order, then the mode's work, then the finished event.
// The session ends with exactly one of "completed", "cancelled" or "failed", after a
// line that says which build the installation is at.
void RunSession(PatchThread& session);
// The mode loops: steps from the appended archive, or from the patch servers, until the
// chains of the queued builds end; then the asset database update. False when a step,
// the database update or the list fetch failed or was cancelled.
bool RunStandaloneSession(PatchThread& session);
bool RunDownloadSession(PatchThread& session);

// Creates a new, uniquely named directory below the base (the temporary directory when
// empty), with the base's missing parents. An existing directory is never taken over:
// what is created here may be deleted with its content. False and empty when it fails.
bool MakeTempDirectory(const std::wstring& base, std::wstring* created);
// The bytes the caller may use on the directory's volume; false (and 0) when the
// platform cannot tell.
bool GetFreeSpace(const std::wstring& directory, std::uint64_t* freeBytes);

}  // namespace BexoPatch
