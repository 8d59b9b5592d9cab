// The one window: web page area, installation path row, coloured log, status line,
// progress gauge and the two buttons. Worker threads reach it only through PostLogLine,
// the posted events and the SessionWindow calls, all applied on the GUI thread.
#pragma once

#include <wx/wx.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "session/PatchSession.h"

namespace BexoPatch {

enum : int {
    ID_APPLY = 0,
    ID_CANCEL = 1,
    ID_SESSION_FINISHED = 2,
    ID_LOG_LINE = 3,
    ID_BROWSE = 15,
    ID_PATCH_INSTALLED = 16,
    ID_REFRESH_TIMER = 1,
    ID_WEB_PAGE = 501,
    ID_PATH_LABEL = 5105,
};

// Shows a modal question or message; tests replace it to answer without a person.
using QuestionHook = int (*)(const wxString& text, const wxString& caption, long style,
                             wxWindow* parent);
void SetQuestionHook(QuestionHook hook);

class MainFrame : public wxFrame, public SessionWindow {
public:
    MainFrame(const wxString& title, bool repairMode);
    ~MainFrame() override;

    // Starts a session thread; called by "Apply Update" and by start-up in download and
    // repair modes.
    virtual void StartSession(wxCommandEvent& event);
    void RefreshInstallPath();
    void DisableApply() { m_applyButton->Disable(); }

    // SessionWindow, callable from any thread.
    void SetGaugeRange(int range) override;
    void SetGaugeValue(int value) override;
    bool CancelRequested() const override { return m_cancelRequested; }
    void PostSessionFinished() override;
    void PostPatchInstalled() override;
    void EnableApplyButton() override;
    void ShowMessage(const std::wstring& text, const std::wstring& caption) override;

    // For tests and the log path.
    wxTextCtrl* LogText() const { return m_logText; }
    wxButton* ApplyButton() const { return m_applyButton; }
    wxButton* CancelButton() const { return m_cancelButton; }
    wxGauge* Gauge() const { return m_progressGauge; }
    int PatchesInstalled() const { return m_patchesInstalled; }
    bool SessionRunning() const { return m_sessionRunning; }
    // Empties the log; any thread.
    void ClearLog();

private:
    void OnApply(wxCommandEvent& event);
    void OnCancelButton(wxCommandEvent& event);
    void OnBrowse(wxCommandEvent& event);
    void OnSessionFinished(wxCommandEvent& event);
    void OnLogLine(wxCommandEvent& event);
    void OnPatchInstalled(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);

    bool m_sessionRunning = false;
    int m_patchesInstalled = 0;
    std::atomic<bool> m_cancelRequested{false};
    std::unique_ptr<PatchThread> m_sessionThread;
    std::mutex m_logLock;
    bool m_firstLogLine = true;

    wxScrolledWindow* m_controlParent = nullptr;
    wxPanel* m_webPage = nullptr;
    wxTextCtrl* m_pathText = nullptr;
    wxButton* m_browseButton = nullptr;
    wxTextCtrl* m_logText = nullptr;
    wxStaticText* m_statusText = nullptr;
    wxGauge* m_progressGauge = nullptr;
    wxButton* m_applyButton = nullptr;
    wxButton* m_cancelButton = nullptr;
    wxTimer m_refreshTimer;

    wxDECLARE_EVENT_TABLE();
};

// The one main window, or null.
extern std::atomic<MainFrame*> g_mainFrame;

// The log callback: posts the line to the window, any thread. Every line also goes to
// the system log with its level.
void PostLogLine(std::int32_t level, const std::wstring& text);

}  // namespace BexoPatch
