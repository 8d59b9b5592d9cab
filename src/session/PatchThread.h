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

    std::wstring tempDirectory;

protected:
    ExitCode GuardedEntry() override;
};

// The continue callback: false once the current worker is asked to stop or the user has
// chosen to cancel.
bool ContinueQuery();

// The session body: the checks in order, then the mode's work, then the finished event.
void RunSession(PatchThread& session);

}  // namespace BexoPatch
