#include "ui/Reporting.h"

#include <wx/thread.h>

#include <atomic>

#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "ui/MainFrame.h"

namespace BexoPatch {

namespace {

std::atomic<bool> g_firstLogLine{true};

}  // namespace

void PostLogLine(std::int32_t level, const std::wstring& text) {
    SystemLog("[%d] %s", static_cast<int>(level), WideToUtf8(text).c_str());
    wxCommandEvent event(wxEVT_MENU, ID_LOG_LINE);
    event.SetString(wxString(text));
    event.SetInt(level);
    QueueToMainFrame(event);
}

void ClearLog() {
    if (wxThread::IsMain()) {
        if (MainFrame* frame = g_mainFrame.load()) {
            frame->ClearLogNow();
        }
        return;
    }
    // GTK belongs to the GUI thread: the clearing runs there, after the lines already
    // queued.
    CallOnMainFrame([](MainFrame& frame) { frame.ClearLogNow(); });
}

bool IsFirstLogLine() {
    return g_firstLogLine.load();
}

bool TakeFirstLogLine() {
    return g_firstLogLine.exchange(false);
}

}  // namespace BexoPatch
