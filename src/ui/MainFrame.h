// The window of a background job: a log, a status line, a gauge and two buttons; it
// starts the job's thread and confirms before a running job is cancelled.
#pragma once

#include <wx/frame.h>
#include <wx/thread.h>

#include <atomic>
#include <functional>
#include <memory>

#include "session/SessionWindow.h"

class wxBoxSizer;
class wxButton;
class wxScrolledWindow;
class wxStaticText;
class wxTextCtrl;

namespace BexoPatch {

class OsmelPatcherApp;
class PatchThread;
class ProgressBar;

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

extern const wchar_t* const kApplyLabel;
extern const wchar_t* const kCancelLabel;
extern const wchar_t* const kExitLabel;
extern const wchar_t* const kCancelQuestion;
extern const wchar_t* const kCancellingText;

class MainFrame : public wxFrame, public SessionWindow {
public:
    MainFrame(OsmelPatcherApp* owner, const wxString& title, const wxSize& size, long style);
    ~MainFrame() override;

    virtual void StartSession(wxCommandEvent& event);

    bool CancelRequested() const override { return cancelRequested.load(); }
    void PostSessionFinished() override;
    void PostPatchInstalled() override;
    void EnableApplyButton() override;
    void SetProgressRange(std::int32_t range) override;
    void SetProgressValue(std::int32_t value) override;
    void PassSessionLock() override;

    // Whether a session thread was started and has not yet reported its end.
    bool SessionThreadRunning() const;
    // Empties the log; GUI thread.
    void ClearLogNow();

    wxCriticalSection sessionLock;
    bool sessionRunning = false;
    std::atomic<std::int32_t> patchesInstalled{0};
    wxTextCtrl* logText = nullptr;
    ProgressBar* progressGauge = nullptr;
    wxStaticText* statusText = nullptr;
    wxButton* applyButton = nullptr;
    wxButton* cancelButton = nullptr;
    std::unique_ptr<PatchThread> sessionThread;
    wxScrolledWindow* controlParent = nullptr;
    wxBoxSizer* mainSizer = nullptr;
    OsmelPatcherApp* app;
    wxMutex logLock;
    std::atomic<bool> cancelRequested{false};

protected:
    // Appends the log, status line, gauge and buttons below what the subclass added.
    void AddJobControls();
    // Joins and frees the last session's thread, which has ended or is ending.
    void ReleaseSessionThread();

private:
    void OnApply(wxCommandEvent& event);
    void OnCancelButton(wxCommandEvent& event);
    void OnSessionFinished(wxCommandEvent& event);
    void OnLogLine(wxCommandEvent& event);
    void OnPatchInstalled(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);

    bool sessionEnded = true;

    wxDECLARE_EVENT_TABLE();
};

// The one main frame, or null. Set by the frame's constructor, cleared by its destructor.
extern std::atomic<MainFrame*> g_mainFrame;

// Queues a copy of the event for the main frame; any thread. False when there is none.
bool QueueToMainFrame(const wxEvent& event);
// Runs the function on the GUI thread, in the main frame's event order; any thread.
bool CallOnMainFrame(std::function<void(MainFrame&)> function);

}  // namespace BexoPatch
