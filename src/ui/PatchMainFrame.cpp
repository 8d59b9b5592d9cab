#include "ui/PatchMainFrame.h"

#include <wx/button.h>
#include <wx/dynlib.h>
#include <wx/icon.h>
#include <wx/panel.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/stdpaths.h>
#include <wx/textctrl.h>
#include <wx/time.h>
#include <wx/webview.h>

#include <algorithm>
#include <optional>
#include <string>

#include "app/Dialogs.h"
#include "app/InstallDiscovery.h"
#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "platform/Shell.h"
#include "platform/System.h"
#include "session/PatchThread.h"
#include "ui/ProgressBar.h"
#include "ui/Reporting.h"

// The icon resource, compiled in: the program reads no file for it. Windows has it among
// the program's resources (osmel-patcher.rc).
#ifndef wxHAS_IMAGES_IN_RESOURCES
#include "bexoIcon.xpm"
#endif

namespace BexoPatch {

wxString LinkForBrowser(const wxString& link) {
    // Scheme and host do not depend on case; the path and query may on the server, so
    // only the first two are lower-cased. A user name keeps its case.
    const int schemeEnd = link.Find("://");
    if (schemeEnd == wxNOT_FOUND) {
        return link;
    }
    const size_t authorityStart = static_cast<size_t>(schemeEnd) + 3;
    size_t authorityEnd = link.find_first_of("/?#", authorityStart);
    if (authorityEnd == wxString::npos) {
        authorityEnd = link.length();
    }
    const size_t at = link.rfind('@', authorityEnd);
    const size_t hostStart = at != wxString::npos && at >= authorityStart ? at + 1 : authorityStart;
    return link.Left(authorityStart).Lower() +
           link.Mid(authorityStart, hostStart - authorityStart) +
           link.Mid(hostStart, authorityEnd - hostStart).Lower() + link.Mid(authorityEnd);
}

namespace {

constexpr int kWebPageWidth = 450;
constexpr int kWebPageHeight = 100;
const char* const kBlankPage = "about:blank";

// The build's address unless OSMEL_PATCHER_PAGE names another (an empty value does not).
wxString PatcherPageAddress() {
    const std::optional<std::string> address =
        Platform::GetEnvironmentVariable("OSMEL_PATCHER_PAGE");
    if (address && !address->empty()) {
        return wxString::FromUTF8(*address);
    }
    return wxString::FromUTF8(OSMEL_PATCHER_PAGE);
}

// A wxWidgets built without its web view (the Windows build's wxMSW) shows no page.
#if wxUSE_WEBVIEW

// Keeps the page a plain panel: no scroll bars, no text selection (a dialog's look), and
// nothing dropped on it is opened. Run at the end of every document and again at each
// step of a load, since the page's own scripts may turn scrolling back on.
const char* const kPlainPanelScript =
    "document.documentElement.style.overflow = 'hidden';"
    "document.documentElement.style.webkitUserSelect = 'none';"
    "if (document.body) {"
    " document.body.style.overflow = 'hidden'; document.body.setAttribute('scroll', 'no'); }"
    "if (!window.osmelNoDrop) { window.osmelNoDrop = true;"
    " window.addEventListener('dragover', function (e) { e.preventDefault(); });"
    " window.addEventListener('drop', function (e) { e.preventDefault(); }); }";

// Only web addresses go to the desktop's browser: its handlers for other kinds (file:,
// desktop entries) could start a program the page names.
void OpenInDesktopBrowser(const wxString& link) {
    const wxString address = LinkForBrowser(link);
    if (!address.StartsWith("http://") && !address.StartsWith("https://")) {
        SystemLog("PatchMainFrame::OnBeforeNavigate2> not a web address, not opened: %s",
                  address.utf8_string().c_str());
        return;
    }
    if (!Platform::ShellExecute(L"", address.ToStdWstring(), L"", L"", Platform::kShowNormal)) {
        SystemLog("PatchMainFrame::OnBeforeNavigate2> ShellExecute returned err %u for %s",
                  static_cast<unsigned>(Platform::GetLastError()), address.utf8_string().c_str());
    }
}

// The page is read from the network every time and leaves nothing in the cache. wx 3.2
// has no setting for WebKit's cache, so WebKitGTK's own call is looked up in the
// process, where the web view has loaded it; WebKit's "document viewer" model gives the
// memory and disk caches no room.
void TurnOffWebCache(wxWebView* view) {
#ifdef __WXGTK__
    using GetContext = void* (*)(void*);
    using SetCacheModel = void (*)(void*, int);
    constexpr int kDocumentViewer = 0;
    wxDynamicLibrary program;
    program.Attach(wxDynamicLibrary::GetProgramHandle());
    auto* getContext = reinterpret_cast<GetContext>(
        wxDynamicLibrary::RawGetSymbol(program.GetLibHandle(), "webkit_web_view_get_context"));
    auto* setCacheModel = reinterpret_cast<SetCacheModel>(wxDynamicLibrary::RawGetSymbol(
        program.GetLibHandle(), "webkit_web_context_set_cache_model"));
    if (getContext == nullptr || setCacheModel == nullptr) {
        SystemLog("PatchMainFrame::CreateWebPage> WebKit's cache cannot be turned off");
        return;
    }
    setCacheModel(getContext(view->GetNativeBackend()), kDocumentViewer);
#else
    static_cast<void>(view);
#endif
}

// The web view with the page's host settings, loading the address; null when no web
// view can be made here.
wxWebView* NewWebPage(wxWindow* parent, const wxString& address) {
    if (!wxWebView::IsBackendAvailable(wxWebViewBackendDefault)) {
        return nullptr;
    }
    wxWebView* view = wxWebView::New(parent, ID_WEB_PAGE, kBlankPage, wxDefaultPosition,
                                     wxSize(kWebPageWidth, kWebPageHeight), wxWebViewBackendDefault,
                                     wxNO_BORDER | wxWANTS_CHARS);
    if (view == nullptr) {
        return nullptr;
    }
    view->SetMinSize(wxSize(kWebPageWidth, kWebPageHeight));
    TurnOffWebCache(view);
    view->EnableContextMenu(false);
    view->EnableHistory(false);
    view->AddUserScript(kPlainPanelScript, wxWEBVIEW_INJECT_AT_DOCUMENT_END);
    view->LoadURL(address);
    return view;
}
#endif  // wxUSE_WEBVIEW

}  // namespace

wxBEGIN_EVENT_TABLE(PatchMainFrame, MainFrame)
    EVT_TIMER(ID_REFRESH_TIMER, PatchMainFrame::OnRefreshTimer)
#if wxUSE_WEBVIEW
    EVT_WEBVIEW_NAVIGATING(ID_WEB_PAGE, PatchMainFrame::OnBeforeNavigate2)
    EVT_WEBVIEW_NAVIGATED(ID_WEB_PAGE, PatchMainFrame::OnProgressChange)
    EVT_WEBVIEW_LOADED(ID_WEB_PAGE, PatchMainFrame::OnProgressChange)
    EVT_WEBVIEW_ERROR(ID_WEB_PAGE, PatchMainFrame::OnWebPageError)
    EVT_WEBVIEW_NEWWINDOW(ID_WEB_PAGE, PatchMainFrame::OnNewWindow)
#endif
    EVT_BUTTON(ID_BROWSE, PatchMainFrame::OnBrowse)
wxEND_EVENT_TABLE()

PatchMainFrame::PatchMainFrame(OsmelPatcherApp* owner)
    : MainFrame(owner, "Osmel Patcher ", wxSize(900, 800),
                wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxCLIP_CHILDREN),
      refreshTimer(this, ID_REFRESH_TIMER) {
    controlParent = new wxScrolledWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                         wxHSCROLL | wxVSCROLL);
    mainSizer = new wxBoxSizer(wxVERTICAL);

    CreateWebPage();

    PatchSettings& settings = PatchSettings::Instance();
    const std::wstring label = LoadMessage(settings.RepairMode() ? 172 : 171);
    pathText = new wxTextCtrl(controlParent, wxID_ANY, DisplayPath(settings.GetInstallPath()),
                              wxDefaultPosition, wxSize(215, 20), 0);
    browseButton = new wxButton(controlParent, ID_BROWSE, "...", wxDefaultPosition, wxSize(25, 20),
                                wxBU_EXACTFIT);
    // GTK's button frame alone is wider than 25 pixels: at that size "..." is not drawn.
    browseButton->SetMinSize(browseButton->GetBestSize());
    auto* pathLabel =
        new wxStaticText(controlParent, ID_PATH_LABEL, label, wxDefaultPosition, wxSize(80, 20), 0);
    // wxADJUST_MINSIZE of old: the label's minimum is the size its text needs.
    pathLabel->SetMinSize(pathLabel->GetBestSize());
    auto* pathRow = new wxBoxSizer(wxHORIZONTAL);
    pathRow->Add(pathLabel, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    pathRow->Add(pathText, 1, wxEXPAND | wxALL, 5);
    pathRow->Add(browseButton, 0, wxALIGN_CENTER_VERTICAL | wxALL, 0);
    mainSizer->Add(pathRow, 0, wxEXPAND | wxALL, 5);
    controlParent->SetSizer(mainSizer, false);

    refreshTimer.Start(500);
    AddJobControls();
    SetIcon(wxICON(bexoIcon));

    if (settings.RepairMode()) {
        applyButton->SetLabel(LoadMessage(173));
    }
    pathText->Disable();
    browseButton->Disable();
    controlParent->FindWindow(ID_WEB_PAGE)->Hide();
    SetAppWindow(this);
}

// The page is still shown when the frame is fitted, so the frame is sized with its place
// from the start: while it is hidden that place stays empty, and when it shows nothing
// else moves. "about:blank" as the page's address means no page: no web engine starts
// and an empty panel keeps the place.
void PatchMainFrame::CreateWebPage() {
    const wxString address = PatcherPageAddress();
    if (address.Lower() != kBlankPage) {
#if wxUSE_WEBVIEW
        webPage = NewWebPage(controlParent, address);
        if (webPage != nullptr) {
            mainSizer->Add(webPage, 0, wxEXPAND | wxALL, 5);
            return;
        }
#endif
        SystemLog("PatchMainFrame::CreateWebPage> no web view is available");
    }
    auto* place = new wxPanel(controlParent, ID_WEB_PAGE, wxDefaultPosition,
                              wxSize(kWebPageWidth, kWebPageHeight), wxNO_BORDER);
    mainSizer->Add(place, 0, wxEXPAND | wxALL, 5);
}

PatchMainFrame::~PatchMainFrame() {
    if (GetAppWindow() == this) {
        SetAppWindow(nullptr);
    }
    refreshTimer.Stop();
    // The session reports to this frame until it ends: join it before the controls go.
    ReleaseSessionThread();
}

void PatchMainFrame::StartSession(wxCommandEvent& event) {
    ReleaseSessionThread();
    sessionThread = std::make_unique<PatchThread>(this);
    MainFrame::StartSession(event);
    browseButton->Enable(applyButton->IsEnabled());
    // A user waiting for a package sees it arrive: the timer follows the session's
    // downloads until the session ends.
    if (PatchSettings::Instance().DownloadMode() && SessionThreadRunning()) {
        shownDownload = sessionThread->downloadsStarted;
        downloadShown = true;
        refreshTimer.Start(500);
    }
}

void PatchMainFrame::RefreshInstallPath() {
    if (pathText != nullptr) {
        pathText->SetValue(DisplayPath(PatchSettings::Instance().GetInstallPath()));
    }
}

void PatchMainFrame::ShowInstallPath() {
    CallAfter([this] { RefreshInstallPath(); });
}

void PatchMainFrame::ShowAsTopWindow() {
    Show(true);
    wxTheApp->SetTopWindow(this);
}

void PatchMainFrame::StopRefreshTimer() {
    refreshTimer.Stop();
}

void PatchMainFrame::StartSessionNow() {
    wxCommandEvent event(wxEVT_BUTTON, ID_APPLY);
    StartSession(event);
}

void PatchMainFrame::DisableApplyButton() {
    applyButton->Disable();
}

void PatchMainFrame::ReadyToApply() {
    applyButton->Enable();
}

void PatchMainFrame::EnableBrowseButton() {
    browseButton->Enable();
}

bool PatchMainFrame::LocateProductExecutable(std::wstring* chosenPath) {
    return GetDialogs().ChooseFile(this, L"Locate Kelvor.exe...", L"Kelvor.exe|Kelvor.exe",
                                   chosenPath);
}

void PatchMainFrame::OnRefreshTimer(wxTimerEvent& /*event*/) {
    if (!SessionThreadRunning() || !sessionThread) {
        // The session's last gauge position stays.
        refreshTimer.Stop();
        return;
    }
    PatchThread& task = *sessionThread;
    const std::uint32_t downloads = task.downloadsStarted;
    if (downloads != shownDownload) {
        shownDownload = downloads;
        downloadShown = false;
        downloadStartMs = wxGetLocalTimeMillis();
    }
    if (downloadShown) {
        return;
    }
    if (!task.Downloading()) {
        // The transfer has ended; unpacking drives the gauge from here.
        statusText->SetLabel(wxEmptyString);
        downloadShown = true;
        return;
    }
    const DownloadProgress progress = task.GetDownloadProgress();
    progressGauge->SetRange(100);
    progressGauge->SetValue(std::min(progress.percent, 100));
    const double elapsed = (wxGetLocalTimeMillis() - downloadStartMs).ToDouble() / 1000.0;
    const auto doneKb = static_cast<std::uint32_t>(progress.bytesDone >> 10);
    if (progress.bytesTotal == 0) {
        statusText->SetLabel(L"Download Progress " + std::to_wstring(doneKb) + L" kB");
        return;
    }
    const auto totalKb = static_cast<std::uint32_t>(progress.bytesTotal >> 10);
    const double rate = elapsed > 0 ? doneKb / elapsed : 0;  // kB per second
    const auto minutes = static_cast<std::uint32_t>(
        rate > 0 && totalKb > doneKb ? (totalKb - doneKb) / rate / 60 : 0);
    if (minutes > 60) {
        statusText->SetLabel(FillFields(
            LoadMessage(174), {std::to_wstring(doneKb), std::to_wstring(totalKb),
                               std::to_wstring(minutes / 60), std::to_wstring(minutes % 60)}));
    } else {
        statusText->SetLabel(
            FillFields(LoadMessage(175), {std::to_wstring(doneKb), std::to_wstring(totalKb),
                                          std::to_wstring(std::max(minutes, 1u))}));
    }
    if (progress.percent >= 100) {
        statusText->SetLabel(wxEmptyString);
        downloadShown = true;
    }
}

#if wxUSE_WEBVIEW
// With openLinksOutside set every navigation but "about:blank" is cancelled and its
// address goes to the desktop's browser.
void PatchMainFrame::OnBeforeNavigate2(wxWebViewEvent& event) {
    const wxString address = event.GetURL();
    if (address.Lower() == LoadMessage(176)) {
        return;
    }
    if (openLinksOutside) {
        event.Veto();
        OpenInDesktopBrowser(address);
        return;
    }
    webPageFailed = false;
}

// Committed and completed loads are the progress steps the web view reports. The page
// shows once a load has completed, in the place kept for it, so nothing else moves.
void PatchMainFrame::OnProgressChange(wxWebViewEvent& event) {
    webPage->RunScriptAsync(kPlainPanelScript);
    if (event.GetEventType() != wxEVT_WEBVIEW_LOADED || webPageFailed || webPage->IsShown() ||
        event.GetURL().Lower() == LoadMessage(176)) {
        return;
    }
    webPage->Show();
    controlParent->Layout();
    openLinksOutside = true;
}

void PatchMainFrame::OnWebPageError(wxWebViewEvent& event) {
    SystemLog("PatchMainFrame::OnWebPageError> %s: %s", event.GetURL().utf8_string().c_str(),
              event.GetString().utf8_string().c_str());
    // A cancelled load was replaced by another, which reports its own outcome.
    if (event.GetInt() != wxWEBVIEW_NAV_ERR_USER_CANCELLED &&
        event.GetURL().Lower() != LoadMessage(176)) {
        webPageFailed = true;
    }
}

// A link that asks for a new window: the web view opens none itself.
void PatchMainFrame::OnNewWindow(wxWebViewEvent& event) {
    if (openLinksOutside) {
        OpenInDesktopBrowser(event.GetURL());
    }
}

#endif  // wxUSE_WEBVIEW

void PatchMainFrame::OnBrowse(wxCommandEvent& /*event*/) {
    ClearLog();
    // A directory the archive does not apply to must not be patched with what an earlier
    // choice had queued.
    if (!LoadStandalonePatch(wxStandardPaths::Get().GetExecutablePath().ToStdWstring(), true)) {
        applyButton->Disable();
    }
    pathText->SetValue(DisplayPath(PatchSettings::Instance().GetInstallPath()));
}

}  // namespace BexoPatch
