// A patch session driven from a terminal: the session window that osmel-update is, the
// loop that shows the session's progress until it ends, and the outcome as an exit
// status. The session itself is the window's: the same thread, checks and modes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "console/ConsoleOutput.h"
#include "session/SessionWindow.h"

namespace BexoPatch {

// osmel-update's exit statuses.
enum ExitStatus : int {
    kExitUpdated = 0,  // updated, repaired, or already current
    kExitFailed = 1,
    kExitUsage = 2,
    kExitCancelled = 3,
    kExitInUse = 4,  // the product runs or its files are in use
    // A patch list or package that is not what the publisher signed.
    kExitVerificationFailed = 5,
};

class ConsoleWindow : public SessionWindow {
public:
    bool CancelRequested() const override { return cancel.load(); }
    void PostSessionFinished() override;
    // Notes the build the step reached: the target while a standalone step reports, the
    // current build once a downloaded step has moved it on.
    void PostPatchInstalled() override;
    // The session lets the user try again only after the product's files were in use.
    void EnableApplyButton() override { filesInUse = true; }
    void SetProgressRange(std::int32_t range) override;
    void SetProgressValue(std::int32_t value) override;
    // The terminal showed the installation's path before the session began.
    void ShowInstallPath() override {}
    // A terminal holds no session lock.
    void PassSessionLock() override {}

    // The build the last installed step reached; empty before one was installed.
    std::string ReachedBuild();

    // Waits up to the time for the finished event; true once it came.
    bool WaitFinished(std::uint32_t milliseconds);
    // Back to the state before a session, for the next attempt.
    void Reset();

    std::atomic<bool> cancel{false};
    std::atomic<bool> filesInUse{false};
    std::atomic<int> installed{0};
    // The gauge: fresh once set since the last stage line.
    std::atomic<std::int32_t> gaugeRange{0};
    std::atomic<std::int32_t> gaugeValue{0};
    std::atomic<bool> gaugeFresh{false};

private:
    std::mutex m_lock;
    std::condition_variable m_finishedChanged;
    bool m_finished = false;
    std::string m_reachedBuild;
};

struct ConsoleChoices {
    // Waits for the product to close instead of ending with kExitInUse.
    bool waitForProduct = false;
    // Asks on the terminal whether to wait, when standard input is one.
    bool mayAsk = false;
};

// Runs sessions until one ends other than with the product's files in use (or the user
// does not want to wait) and returns the exit status. The log and continue callbacks
// must be the console's (InstallConsoleCallbacks) and the interrupt handler installed.
int RunConsoleSession(ConsoleOutput& output, const ConsoleChoices& choices);

// Registers the log, continue and total callbacks that report to `output`.
void InstallConsoleCallbacks(ConsoleOutput* output);
// The interrupt handler: Ctrl-C, a hang-up or a request to end asks the session to stop.
void OnConsoleInterrupt();

}  // namespace BexoPatch
