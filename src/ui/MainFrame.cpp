#include "ui/MainFrame.h"

#include "app/PatchSettings.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"

namespace BexoPatch {

std::atomic<MainFrame*> g_mainFrame{nullptr};

namespace {

const wchar_t kApplyText[] = L"Apply Update";
const wchar_t kCancelText[] = L"Cancel";
const wchar_t kExitText[] = L"Exit";
const wchar_t kReallyCancel[] = L"Do you really want to cancel?";
const wchar_t kCancelling[] = L"Cancelling patch process...";

int DefaultQuestion(const wxString& text, const wxString& caption, long style, wxWindow* parent) {
    wxMessageDialog dialog(parent, text, caption, style);
    return dialog.ShowModal();
}

std::atomic<QuestionHook> g_question{&DefaultQuestion};

}  // namespace

void SetQuestionHook(QuestionHook hook) {
    g_question.store(hook != nullptr ? hook : &DefaultQuestion);
}

wxBEGIN_EVENT_TABLE(MainFrame, wxFrame) EVT_BUTTON(ID_APPLY, MainFrame::OnApply)
    EVT_BUTTON(ID_CANCEL, MainFrame::OnCancelButton) EVT_BUTTON(ID_BROWSE, MainFrame::OnBrowse)
        EVT_MENU(ID_SESSION_FINISHED, MainFrame::OnSessionFinished)
            EVT_MENU(ID_LOG_LINE, MainFrame::OnLogLine)
                EVT_MENU(ID_PATCH_INSTALLED, MainFrame::OnPatchInstalled)
                    EVT_CLOSE(MainFrame::OnClose) wxEND_EVENT_TABLE()

                        MainFrame::MainFrame(const wxString& title, bool repairMode)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, wxSize(900, 800),
              wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxCLIP_CHILDREN, "frame"),
      m_refreshTimer(this, ID_REFRESH_TIMER) {
    g_mainFrame.store(this);
    SetCancelSource(this);
    m_controlParent = new wxScrolledWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                           wxHSCROLL | wxVSCROLL);
    auto* mainSizer = new wxBoxSizer(wxVERTICAL);
    // The web page's place, until the page host exists.
    m_webPage = new wxPanel(m_controlParent, ID_WEB_PAGE, wxDefaultPosition, wxSize(450, 100),
                            wxNO_BORDER | wxWANTS_CHARS);
    mainSizer->Add(m_webPage, 0, wxEXPAND | wxALL, 5);

    auto* label =
        new wxStaticText(m_controlParent, ID_PATH_LABEL, LoadMessage(repairMode ? 172 : 171),
                         wxDefaultPosition, wxSize(80, 20), 0);
    m_pathText =
        new wxTextCtrl(m_controlParent, wxID_ANY, PatchSettings::Instance().GetInstallPath(),
                       wxDefaultPosition, wxSize(215, 20), 0);
    m_browseButton =
        new wxButton(m_controlParent, ID_BROWSE, "...", wxDefaultPosition, wxSize(25, 20));
    auto* pathRow = new wxBoxSizer(wxHORIZONTAL);
    pathRow->Add(label, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    pathRow->Add(m_pathText, 1, wxEXPAND | wxALL, 5);
    pathRow->Add(m_browseButton, 0, wxALIGN_CENTER_VERTICAL | wxALL, 0);
    mainSizer->Add(pathRow, 0, wxEXPAND | wxALL, 5);
    m_refreshTimer.Start(500);

    m_logText = new wxTextCtrl(m_controlParent, wxID_ANY, "", wxDefaultPosition, wxSize(50, 250),
                               wxTE_MULTILINE | wxTE_READONLY | wxTE_RICH);
    mainSizer->Add(m_logText, 1, wxEXPAND | wxALL, 10);
    m_statusText = new wxStaticText(m_controlParent, wxID_ANY, "", wxDefaultPosition,
                                    wxSize(-1, 20), wxALIGN_CENTRE | wxST_NO_AUTORESIZE);
    mainSizer->Add(m_statusText, 0, wxEXPAND | wxLEFT | wxRIGHT, 10);
    m_progressGauge = new wxGauge(m_controlParent, wxID_ANY, 100, wxDefaultPosition, wxSize(-1, 25),
                                  wxGA_HORIZONTAL);
    mainSizer->Add(m_progressGauge, 0, wxFIXED_MINSIZE | wxEXPAND | wxALL, 10);
    m_applyButton =
        new wxButton(m_controlParent, ID_APPLY, kApplyText, wxDefaultPosition, wxSize(120, 28));
    m_cancelButton =
        new wxButton(m_controlParent, ID_CANCEL, kCancelText, wxDefaultPosition, wxSize(120, 28));
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(m_applyButton, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    buttons->Add(m_cancelButton, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    mainSizer->Add(buttons, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, 5);
    m_controlParent->SetSizer(mainSizer);
    SetClientSize(mainSizer->GetMinSize());
    SetMinSize(GetSize());
    Centre(wxBOTH);
    m_applyButton->Enable();
    if (repairMode) {
        m_applyButton->SetLabel(LoadMessage(173));
    }
    m_pathText->Disable();
    m_browseButton->Disable();
    m_webPage->Hide();
}

MainFrame::~MainFrame() {
    if (m_sessionThread) {
        m_sessionThread->Join();
    }
    SetCancelSource(nullptr);
    MainFrame* self = this;
    g_mainFrame.compare_exchange_strong(self, nullptr);
}

void MainFrame::RefreshInstallPath() {
    if (m_pathText != nullptr) {
        m_pathText->SetValue(PatchSettings::Instance().GetInstallPath());
    }
    m_refreshTimer.Stop();
}

void MainFrame::StartSession(wxCommandEvent& /*event*/) {
    if (m_sessionThread) {
        m_sessionThread->Join();
    }
    PatchSettings& settings = PatchSettings::Instance();
    SessionSettings session;
    session.installPath = settings.GetInstallPath();
    session.repairMode = settings.RepairMode();
    session.standaloneMode = settings.StandaloneMode();
    session.downloadMode = settings.DownloadMode();
    m_sessionThread = std::make_unique<PatchThread>(session, *this);
    if (m_sessionThread->Start()) {
        m_applyButton->Disable();
        m_sessionRunning = true;
    } else {
        m_sessionThread.reset();
    }
    m_browseButton->Enable(m_applyButton->IsEnabled());
    m_logText->SetFocus();
}

void MainFrame::OnApply(wxCommandEvent& event) {
    StartSession(event);
}

void MainFrame::OnCancelButton(wxCommandEvent& /*event*/) {
    Close(true);
}

void MainFrame::OnBrowse(wxCommandEvent& /*event*/) {
    ClearLog();
    RefreshInstallPath();
}

void MainFrame::OnClose(wxCloseEvent& /*event*/) {
    const bool running = m_sessionThread && m_sessionThread->IsRunning();
    if (running && !m_cancelRequested) {
        const wxString question =
            m_patchesInstalled == 0 ? wxString(kReallyCancel) : wxString(LoadMessage(243));
        if (g_question.load()(question, GetTitle(), wxYES_NO | wxNO_DEFAULT | wxICON_WARNING,
                              this) != wxID_YES) {
            return;
        }
        m_sessionRunning = false;
    }
    m_cancelButton->Disable();
    m_cancelRequested = true;
    ReportLogLine(LOG_ERROR, kCancelling);
    if (!running) {
        Destroy();
    }
}

void MainFrame::OnSessionFinished(wxCommandEvent& /*event*/) {
    m_sessionRunning = false;
    m_cancelButton->SetLabel(kExitText);
    m_cancelButton->Enable();
}

void MainFrame::OnPatchInstalled(wxCommandEvent& /*event*/) {
    ++m_patchesInstalled;
}

void MainFrame::OnLogLine(wxCommandEvent& event) {
    std::lock_guard<std::mutex> lock(m_logLock);
    m_logText->SetInsertionPointEnd();
    static const wxColour kColours[] = {wxColour(0, 0, 0), wxColour(128, 128, 128),
                                        wxColour(255, 0, 0)};
    const int level = event.GetInt();
    if (level >= 0 && level <= 2) {
        const long end = m_logText->GetLastPosition();
        m_logText->SetStyle(end, end, wxTextAttr(kColours[level]));
        m_logText->SetDefaultStyle(wxTextAttr(kColours[level]));
    }
    if (!m_firstLogLine) {
        m_logText->AppendText("\n");
    }
    m_firstLogLine = false;
    m_logText->AppendText(event.GetString());
}

void MainFrame::ClearLog() {
    if (!wxThread::IsMain()) {
        CallAfter([this] { ClearLog(); });
        return;
    }
    std::lock_guard<std::mutex> lock(m_logLock);
    m_logText->Clear();
}

void MainFrame::SetGaugeRange(int range) {
    CallAfter([this, range] { m_progressGauge->SetRange(range); });
}

void MainFrame::SetGaugeValue(int value) {
    CallAfter([this, value] { m_progressGauge->SetValue(value); });
}

void MainFrame::PostSessionFinished() {
    wxQueueEvent(this, new wxCommandEvent(wxEVT_MENU, ID_SESSION_FINISHED));
}

void MainFrame::PostPatchInstalled() {
    wxQueueEvent(this, new wxCommandEvent(wxEVT_MENU, ID_PATCH_INSTALLED));
}

void MainFrame::EnableApplyButton() {
    CallAfter([this] { m_applyButton->Enable(); });
}

void MainFrame::ShowMessage(const std::wstring& text, const std::wstring& caption) {
    CallAfter([text, caption] { g_question.load()(text, caption, wxOK, nullptr); });
}

void PostLogLine(std::int32_t level, const std::wstring& text) {
    SystemLog("[%d] %s", level, WideToUtf8(text).c_str());
    MainFrame* frame = g_mainFrame.load();
    if (frame == nullptr) {
        return;
    }
    auto* event = new wxCommandEvent(wxEVT_MENU, ID_LOG_LINE);
    event->SetString(wxString(text));
    event->SetInt(level);
    wxQueueEvent(frame, event);
}

}  // namespace BexoPatch
