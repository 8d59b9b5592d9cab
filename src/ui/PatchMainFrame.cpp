#include "ui/PatchMainFrame.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/icon.h>
#include <wx/panel.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/stdpaths.h>
#include <wx/textctrl.h>
#include <wx/time.h>

#include <algorithm>

#include "app/InstallDiscovery.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "session/PatchThread.h"
#include "ui/Reporting.h"

// The icon resource, compiled in: the program reads no file for it.
#include "bexoIcon.xpm"

namespace BexoPatch {

wxBEGIN_EVENT_TABLE(PatchMainFrame, MainFrame)
    EVT_TIMER(ID_REFRESH_TIMER, PatchMainFrame::OnRefreshTimer)
        EVT_BUTTON(ID_BROWSE, PatchMainFrame::OnBrowse) wxEND_EVENT_TABLE()

            PatchMainFrame::PatchMainFrame(OsmelPatcherApp* owner)
    : MainFrame(owner, "Osmel Patcher ", wxSize(900, 800),
                wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxCLIP_CHILDREN),
      refreshTimer(this, ID_REFRESH_TIMER) {
    controlParent = new wxScrolledWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                         wxHSCROLL | wxVSCROLL);
    mainSizer = new wxBoxSizer(wxVERTICAL);

    webPage = new wxPanel(controlParent, ID_WEB_PAGE, wxDefaultPosition, wxSize(450, 100),
                          wxNO_BORDER | wxWANTS_CHARS);
    mainSizer->Add(webPage, 0, wxEXPAND | wxALL, 5);

    PatchSettings& settings = PatchSettings::Instance();
    const std::wstring label = LoadMessage(settings.RepairMode() ? 172 : 171);
    pathText = new wxTextCtrl(controlParent, wxID_ANY, settings.GetInstallPath(), wxDefaultPosition,
                              wxSize(215, 20), 0);
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
    webPage->Hide();
    SetAppWindow(this);
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
        pathText->SetValue(PatchSettings::Instance().GetInstallPath());
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
    return AskForFile(this, L"Locate Kelvor.exe...", L"Kelvor.exe|Kelvor.exe", chosenPath);
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

void PatchMainFrame::OnBrowse(wxCommandEvent& /*event*/) {
    ClearLog();
    LoadStandalonePatch(wxStandardPaths::Get().GetExecutablePath().ToStdWstring(), true);
    pathText->SetValue(PatchSettings::Instance().GetInstallPath());
}

}  // namespace BexoPatch
