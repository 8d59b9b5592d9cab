// The patcher's window: the web page area, the installation path row with its browse
// button, and the job controls of MainFrame; it creates the patch session.
#pragma once

#include <wx/timer.h>

#include <cstdint>

#include "app/OsmelPatcherApp.h"
#include "ui/MainFrame.h"

class wxWebView;
class wxWebViewEvent;

namespace BexoPatch {

// The address a link of the page is opened at: scheme and host lower-cased, the rest as
// the page has it.
wxString LinkForBrowser(const wxString& link);

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
    // The patcher web page: hidden until a page other than "about:blank" has loaded.
    // Null when the page's address is "about:blank" or no web view can be made here; a
    // hidden panel then keeps its place.
    wxWebView* webPage = nullptr;
    wxTimer refreshTimer;
    // The download the refresh timer shows and when it was first seen.
    std::uint32_t shownDownload = 0;
    wxLongLong downloadStartMs = 0;
    wxButton* browseButton = nullptr;
    // Set once the patcher page has loaded: from then on every navigation away from it (a
    // link, a form, a script) opens in the desktop's browser instead and the page stays,
    // so the small panel never turns into a browser without a way back.
    bool openLinksOutside = false;
    // The current page's load failed; WebKit still reports its error page as loaded.
    bool webPageFailed = false;

private:
    void OnRefreshTimer(wxTimerEvent& event);
#if wxUSE_WEBVIEW
    void OnBeforeNavigate2(wxWebViewEvent& event);
    void OnProgressChange(wxWebViewEvent& event);
    void OnWebPageError(wxWebViewEvent& event);
    void OnNewWindow(wxWebViewEvent& event);
#endif
    void OnBrowse(wxCommandEvent& event);
    void CreateWebPage();

    wxDECLARE_EVENT_TABLE();
};

}  // namespace BexoPatch
