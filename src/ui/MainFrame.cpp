#include "ui/MainFrame.h"

#include <wx/button.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <mutex>

#include "app/Dialogs.h"
#include "kernel/MessageCatalogue.h"
#include "patch/PatchCallbacks.h"
#include "session/PatchThread.h"
#include "ui/ProgressBar.h"
#include "ui/Reporting.h"

namespace BexoPatch {

const wchar_t* const kApplyLabel = L"Apply Update";
const wchar_t* const kCancelLabel = L"Cancel";
const wchar_t* const kExitLabel = L"Exit";
const wchar_t* const kCancelQuestion = L"Do you really want to cancel?";
const wchar_t* const kCancellingText = L"Cancelling patch process...";

std::atomic<MainFrame*> g_mainFrame{nullptr};

namespace {

// Held while an event is queued to the frame and while the frame lets go of g_mainFrame,
// so that no worker queues into a frame being destroyed.
std::mutex g_mainFrameLock;

}  // namespace

bool QueueToMainFrame(const wxEvent& event) {
    std::lock_guard<std::mutex> hold(g_mainFrameLock);
    MainFrame* frame = g_mainFrame.load();
    if (frame == nullptr) {
        return false;
    }
    frame->GetEventHandler()->QueueEvent(event.Clone());
    return true;
}

bool CallOnMainFrame(std::function<void(MainFrame&)> function) {
    std::lock_guard<std::mutex> hold(g_mainFrameLock);
    MainFrame* frame = g_mainFrame.load();
    if (frame == nullptr) {
        return false;
    }
    frame->CallAfter([frame, function = std::move(function)] { function(*frame); });
    return true;
}

wxBEGIN_EVENT_TABLE(MainFrame, wxFrame)
    EVT_BUTTON(ID_APPLY, MainFrame::OnApply)
    EVT_BUTTON(ID_CANCEL, MainFrame::OnCancelButton)
    EVT_MENU(ID_SESSION_FINISHED, MainFrame::OnSessionFinished)
    EVT_MENU(ID_LOG_LINE, MainFrame::OnLogLine)
    EVT_MENU(ID_PATCH_INSTALLED, MainFrame::OnPatchInstalled)
    EVT_CLOSE(MainFrame::OnClose)
wxEND_EVENT_TABLE()

MainFrame::MainFrame(OsmelPatcherApp* owner, const wxString& title, const wxSize& size, long style)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, size, style, "frame"), app(owner) {
    std::lock_guard<std::mutex> hold(g_mainFrameLock);
    g_mainFrame.store(this);
    SetSessionWindow(this);
}

MainFrame::~MainFrame() {
    {
        std::lock_guard<std::mutex> hold(g_mainFrameLock);
        MainFrame* self = this;
        g_mainFrame.compare_exchange_strong(self, nullptr);
    }
    if (GetSessionWindow() == this) {
        SetSessionWindow(nullptr);
    }
    ReleaseSessionThread();
}

void MainFrame::AddJobControls() {
    logText = new wxTextCtrl(controlParent, wxID_ANY, wxEmptyString, wxDefaultPosition,
                             wxSize(50, 250), wxTE_MULTILINE | wxTE_READONLY | wxTE_RICH);
    mainSizer->Add(logText, 1, wxEXPAND | wxALL, 10);
    statusText = new wxStaticText(controlParent, wxID_ANY, wxEmptyString, wxDefaultPosition,
                                  wxSize(-1, 20), wxALIGN_CENTRE | wxST_NO_AUTORESIZE);
    mainSizer->Add(statusText, 0, wxEXPAND | wxLEFT | wxRIGHT, 10);
    progressGauge = new ProgressBar(controlParent, wxID_ANY, 100, wxSize(-1, 25));
    mainSizer->Add(progressGauge, 0, wxFIXED_MINSIZE | wxEXPAND | wxALL, 10);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    applyButton =
        new wxButton(controlParent, ID_APPLY, kApplyLabel, wxDefaultPosition, wxSize(120, 28));
    cancelButton =
        new wxButton(controlParent, ID_CANCEL, kCancelLabel, wxDefaultPosition, wxSize(120, 28));
    buttons->Add(applyButton, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    buttons->Add(cancelButton, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    mainSizer->Add(buttons, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, 5);

    controlParent->SetSizer(mainSizer, false);
    mainSizer->SetSizeHints(this);
    Fit();
    SetMinSize(GetSize());
    Centre(wxBOTH);
    applyButton->Enable();
}

void MainFrame::StartSession(wxCommandEvent& /*event*/) {
    if (!sessionThread) {
        return;
    }
    if (sessionThread->Create() == wxTHREAD_NO_ERROR) {
        sessionEnded = false;
        if (sessionThread->Run() == wxTHREAD_NO_ERROR) {
            applyButton->Disable();
            sessionRunning = true;
            logText->SetFocus();
            return;
        }
        sessionEnded = true;
    }
    sessionThread->Wait(wxTHREAD_WAIT_BLOCK);
    sessionThread.reset();
    logText->SetFocus();
}

void MainFrame::ReleaseSessionThread() {
    if (sessionThread) {
        // A joinable thread is joined even when it has already ended, or its resources
        // stay behind.
        sessionThread->Wait(wxTHREAD_WAIT_BLOCK);
        sessionThread.reset();
    }
}

bool MainFrame::SessionThreadRunning() const {
    return sessionThread && !sessionEnded;
}

void MainFrame::PostSessionFinished() {
    wxCommandEvent event(wxEVT_MENU, ID_SESSION_FINISHED);
    GetEventHandler()->QueueEvent(event.Clone());
}

void MainFrame::PostPatchInstalled() {
    wxCommandEvent event(wxEVT_MENU, ID_PATCH_INSTALLED);
    GetEventHandler()->QueueEvent(event.Clone());
}

void MainFrame::EnableApplyButton() {
    CallAfter([this] { applyButton->Enable(); });
}

void MainFrame::SetProgressRange(std::int32_t range) {
    CallAfter([this, range] { progressGauge->SetRange(range); });
}

void MainFrame::SetProgressValue(std::int32_t value) {
    CallAfter([this, value] { progressGauge->SetValue(value); });
}

void MainFrame::PassSessionLock() {
    wxCriticalSectionLocker pass(sessionLock);
}

void MainFrame::ClearLogNow() {
    if (logText == nullptr) {
        return;
    }
    wxMutexLocker hold(logLock);
    if (hold.IsOk()) {
        logText->Clear();
    }
}

void MainFrame::OnApply(wxCommandEvent& event) {
    StartSession(event);
}

void MainFrame::OnCancelButton(wxCommandEvent& /*event*/) {
    Close(true);
}

void MainFrame::OnClose(wxCloseEvent& /*event*/) {
    if (SessionThreadRunning() && !cancelRequested.load()) {
        const std::wstring question =
            patchesInstalled.load() == 0 ? std::wstring(kCancelQuestion) : LoadMessage(243);
        if (!GetDialogs().AskYesNo(this, question, GetTitle().ToStdWstring())) {
            return;
        }
        sessionRunning = false;
    }
    cancelButton->Disable();
    // Logged before the flag is raised: the session may see the flag and log its own end
    // at once, and the log must read in the order things happened.
    ReportLogLine(LOG_ERROR, kCancellingText);
    cancelRequested.store(true);
    if (!SessionThreadRunning()) {
        Destroy();
    }
}

void MainFrame::OnSessionFinished(wxCommandEvent& /*event*/) {
    sessionRunning = false;
    sessionEnded = true;
    cancelButton->SetLabel(kExitLabel);
    cancelButton->Enable();
}

void MainFrame::OnLogLine(wxCommandEvent& event) {
    if (g_mainFrame.load() == nullptr || logText == nullptr) {
        return;
    }
    wxMutexLocker hold(logLock);
    if (!hold.IsOk()) {
        return;
    }
    logText->SetInsertionPointEnd();
    static const wxColour kLevelColours[] = {wxColour(0, 0, 0), wxColour(128, 128, 128),
                                             wxColour(255, 0, 0)};
    const int level = event.GetInt();
    if (level >= LOG_NORMAL && level <= LOG_ERROR) {
        // Text appended from here on takes the level's colour; other levels keep the
        // colour of the line before.
        logText->SetDefaultStyle(wxTextAttr(kLevelColours[level]));
    }
    if (!TakeFirstLogLine()) {
        logText->AppendText("\n");
    }
    logText->AppendText(event.GetString());
}

void MainFrame::OnPatchInstalled(wxCommandEvent& /*event*/) {
    patchesInstalled.fetch_add(1);
}

}  // namespace BexoPatch
