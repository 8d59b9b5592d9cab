#include "session/PatchThread.h"

#include <atomic>

#include "crash/CrashHandlers.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "session/SessionWindow.h"

namespace {

std::atomic<void (*)()> g_fatalHandler{nullptr};
std::atomic<BexoPatch::APThread*> g_currentWorker{nullptr};

}  // namespace

wxGuardedThread::wxGuardedThread() : wxThread(wxTHREAD_JOINABLE) {}

void wxGuardedThread::SetFatalHandler(void (*handler)()) {
    g_fatalHandler.store(handler);
}

wxThread::ExitCode wxGuardedThread::Entry() {
    // A fault goes to the application's fatal-exception handler, from this thread's own
    // alternate stack; an escaping exception is the other way a worker can die, and it
    // must not pass silently either.
    EnterGuardedThread();
    try {
        GuardedEntry();
    } catch (...) {
        if (auto* handler = g_fatalHandler.load()) {
            handler();
        }
        std::terminate();
    }
    return nullptr;
}

namespace BexoPatch {

APThread::APThread(SessionWindow* window) : owner(window) {
    g_currentWorker.store(this);
}

APThread::~APThread() {
    APThread* self = this;
    g_currentWorker.compare_exchange_strong(self, nullptr);
}

APThread* APThread::Current() {
    return g_currentWorker.load();
}

void APThread::OnExit() {
    if (owner != nullptr) {
        owner->PassSessionLock();
    }
}

void APThread::ReportFinished() {
    if (owner != nullptr) {
        owner->PostSessionFinished();
    }
}

wxThread::ExitCode APThread::GuardedEntry() {
    ReportFinished();
    return nullptr;
}

PatchThread::PatchThread(SessionWindow* window) : APThread(window) {}

PatchThread::~PatchThread() = default;

void PatchThread::ReportMessage(std::int32_t level, const std::string& text) {
    ReportLogLine(level, ToWide(text));
}

void PatchThread::ReportMessage(std::int32_t level, const std::wstring& text) {
    ReportLogLine(level, text);
}

wxThread::ExitCode PatchThread::GuardedEntry() {
    RunSession(*this);
    return nullptr;
}

bool ContinueQuery() {
    APThread* worker = APThread::Current();
    if (worker != nullptr && wxThread::This() == worker) {
        if (worker->TestDestroy()) {
            return false;
        }
        // The session's own window first: it is the one whose Cancel counts.
        if (worker->Owner() != nullptr) {
            return !worker->Owner()->CancelRequested();
        }
    }
    SessionWindow* window = GetSessionWindow();
    return window == nullptr || !window->CancelRequested();
}

}  // namespace BexoPatch

void OsmelPatchTask::ReportMessage(std::int32_t /*level*/, const std::string& /*text*/) {}

void OsmelPatchTask::ReportMessage(std::int32_t /*level*/, const std::wstring& /*text*/) {}
