// One patch session: the prerequisite checks in their order, then the mode's work, then
// the finished event. Runs on its own thread (PatchThread); reports through the log
// callback and the SessionWindow.
#pragma once

#include <atomic>
#include <string>

#include "kernel/Sync.h"
#include "session/SessionWindow.h"

namespace BexoPatch {

struct SessionSettings {
    std::wstring installPath;
    bool repairMode = false;
    bool standaloneMode = false;
    bool downloadMode = false;
};

// Whether this process may patch the installation: the temporary directory can be made
// and the product's executable, when present, can be opened for writing (it cannot
// while the product runs).
bool HasPatchRights(const std::wstring& installDirectory);

// The checks of a session and its outcome line; true when patching completed.
bool RunSession(const SessionSettings& settings, SessionWindow& window);

// The session thread. The window creates one per session and joins it before making the
// next or closing.
class PatchThread {
public:
    PatchThread(SessionSettings settings, SessionWindow& window);
    // Joins the thread.
    ~PatchThread();
    PatchThread(const PatchThread&) = delete;
    PatchThread& operator=(const PatchThread&) = delete;

    bool Start();
    bool IsRunning() const { return m_running; }
    void Join();

private:
    static std::uint32_t Main(void* self);

    SessionSettings m_settings;
    SessionWindow& m_window;
    OS::Thread m_thread;
    std::atomic<bool> m_running{false};
};

// The continue callback: false once the window's cancel flag is set.
bool ContinueQuery();
// The window whose cancel flag ContinueQuery reads; set by the window.
void SetCancelSource(SessionWindow* window);

}  // namespace BexoPatch
