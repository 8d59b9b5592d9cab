// The patcher's window: the web page area, the installation path row with its browse
// button, and the job controls of MainFrame; it creates the patch session.
#pragma once

#include <wx/timer.h>

#include <cstdint>

#include "app/OsmelPatcherApp.h"
#include "ui/MainFrame.h"

class wxWindow;

namespace BexoPatch {

class PatchMainFrame : public MainFrame, public AppWindow {
public:
    explicit PatchMainFrame(OsmelPatcherApp* owner);
    ~PatchMainFrame() override;

    void StartSession(wxCommandEvent& event) override;
    void RefreshInstallPath() override;
    void ShowInstallPath() override;

    void ShowAsTopWindow() override;
    void StopRefreshTimer() override;
    void StartSessionNow() override;
    void DisableApplyButton() override;
    void ReadyToApply() override;
    void EnableBrowseButton() override;
    bool LocateProductExecutable(std::wstring* chosenPath) override;

    bool downloadShown = false;
    wxTextCtrl* pathText = nullptr;
    // Holds the web page's place until the page host exists.
    wxWindow* webPage = nullptr;
    wxTimer refreshTimer;
    // The download the refresh timer shows and when it was first seen.
    std::uint32_t shownDownload = 0;
    wxLongLong downloadStartMs = 0;
    wxButton* browseButton = nullptr;
    bool openLinksOutside = false;

private:
    void OnRefreshTimer(wxTimerEvent& event);
    void OnBrowse(wxCommandEvent& event);

    wxDECLARE_EVENT_TABLE();
};

}  // namespace BexoPatch
