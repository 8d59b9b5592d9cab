// osmel-patcher as it starts (the real application object, window and OnInit with its
// crash handlers), with one fault planted in one of its threads once the event loop
// runs: OSMEL_CRASH_THREAD names it ("window", "session" or "socket"; "session-stack"
// overflows the session thread's stack). Only this test program has the switch; the
// shipped program has none.
#include <unistd.h>
#include <wx/app.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/Dialogs.h"
#include "app/OsmelPatcherApp.h"
#include "kernel/Text.h"
#include "net/CompletionPort.h"
#include "net/IOOperation.h"
#include "net/TCPSocket.h"
#include "session/SessionServices.h"
#include "ui/MainFrame.h"
#include "ui/PatchMainFrame.h"
#include "ui/PatcherGuiApp.h"

using namespace BexoPatch;

namespace {

// Reached through a pointer the compiler cannot see through, so the write stays.
int* volatile g_null = nullptr;

// The sanitizers would report the null store themselves; the fault is what is tested.
__attribute__((noinline, no_sanitize("undefined"))) void CrashInWindowThread() {
    *g_null = 1;
}

__attribute__((noinline, no_sanitize("undefined"))) bool CrashInSessionThread(
    const std::wstring& /*installPath*/) {
    *g_null = 2;
    return false;
}

// Runs off the thread's stack (the limit is far beyond it); the volatile buffer keeps
// every frame.
volatile int g_depthLimit = 1 << 30;

__attribute__((noinline, no_sanitize("address"))) int OverflowInSessionThread(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth >= g_depthLimit) {
        return frame[0];
    }
    return OverflowInSessionThread(depth + 1) + frame[0];
}

bool OverflowTheSessionStack(const std::wstring& /*installPath*/) {
    return OverflowInSessionThread(0) != 0;
}

__attribute__((noinline, no_sanitize("undefined"))) void CrashInSocketThread() {
    *g_null = 3;
}

// A socket whose completion faults on the completion-port thread.
class FaultingSocket : public TCPSocket {
public:
    bool HandleCompletion(IOOperation& /*operation*/, std::uint32_t /*error*/) override {
        CrashInSocketThread();
        return true;
    }
};

// The fatal-error box runs in signal context: the answer is a plain write.
class RecordingDialogs : public Dialogs {
public:
    void ShowMessage(const std::wstring& text, const std::wstring& caption) override {
        const std::string line = "message box: " + ToNarrow(caption) + ": " + ToNarrow(text) + "\n";
        if (::write(STDOUT_FILENO, line.data(), line.size()) < 0) {
            std::_Exit(2);
        }
    }
    bool AskYesNo(wxWindow* /*parent*/, const std::wstring& /*text*/,
                  const std::wstring& /*caption*/) override {
        return false;
    }
    bool ChooseFile(wxWindow* /*parent*/, const std::wstring& /*title*/,
                    const std::wstring& /*filter*/, std::wstring* /*chosenPath*/) override {
        return false;
    }
};
RecordingDialogs g_dialogs;

void PlantFault(const std::string& thread) {
    if (thread == "window") {
        CrashInWindowThread();
    } else if (thread == "session" || thread == "session-stack") {
        // The session's first check is the rights probe.
        GetSessionServices().hasPatchRights =
            thread == "session" ? CrashInSessionThread : OverflowTheSessionStack;
        dynamic_cast<PatchMainFrame&>(*g_mainFrame.load()).StartSessionNow();
    } else if (thread == "socket") {
        static FaultingSocket socket;
        static IOOperation operation;
        operation.m_handler = &socket;
        operation.SetState(IOOperation::STATE_POSTED);
        AcquireSocketManager(1)->Post(1, 0, &operation);
    }
}

}  // namespace

class CrashProbeApp : public PatcherGuiApp {
public:
    bool OnInit() override {
        SetDialogs(&g_dialogs);
        if (!PatcherGuiApp::OnInit()) {
            return false;
        }
        const char* thread = std::getenv("OSMEL_CRASH_THREAD");
        CallAfter([fault = std::string(thread != nullptr ? thread : "")] { PlantFault(fault); });
        return true;
    }
};

wxIMPLEMENT_APP(CrashProbeApp);
