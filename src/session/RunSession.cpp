#include <cstdint>
#include <string>

#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "session/PatchThread.h"
#include "session/SessionServices.h"
#include "session/SessionWindow.h"

namespace BexoPatch {

namespace {

constexpr std::uint32_t kRequiredDiskMegabytes = 4096;

void ShowBox(std::uint32_t textId, std::uint32_t captionId) {
    const SessionServices& services = GetSessionServices();
    if (services.showMessageBox != nullptr) {
        services.showMessageBox(LoadMessage(textId), LoadMessage(captionId));
    }
}

// The checks that must pass before any file is touched; false has logged why.
bool PrerequisitesMet(PatchThread& session) {
    const SessionServices& services = GetSessionServices();
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t servicePack = 0;
    services.getPlatformVersion(&major, &minor, &servicePack);
    const bool directX = services.probeDirectX();

    const std::wstring installPath = PatchSettings::Instance().GetInstallPath();
    if (services.hasPatchRights != nullptr && !services.hasPatchRights(installPath)) {
        ReportLogLine(LOG_ERROR, LoadMessage(154));
        ShowBox(132, 134);
        return false;
    }
    if (major == 5 && minor == 1 && servicePack < 3) {
        ReportLogLine(LOG_ERROR, LoadMessage(244));
        return false;
    }
    if (!directX) {
        ReportLogLine(LOG_ERROR, LoadMessage(255));
        return false;
    }
    if (!services.acquireAssetDatabase(installPath)) {
        ReportLogLine(LOG_ERROR, LoadMessage(157));
        ShowBox(158, 159);
        if (SessionWindow* window = session.Owner()) {
            window->EnableApplyButton();
        }
        return false;
    }
    return true;
}

bool RunMode(PatchThread& session) {
    const SessionServices& services = GetSessionServices();
    PatchSettings& settings = PatchSettings::Instance();
    if (settings.RepairMode()) {
        return services.runRepairSession != nullptr && services.runRepairSession(session);
    }
    if (!session.CheckDiskSpace(kRequiredDiskMegabytes)) {
        ReportLogLine(LOG_ERROR,
                      FillFields(LoadMessage(240), {std::to_wstring(kRequiredDiskMegabytes)}));
        return false;
    }
    if (settings.StandaloneMode()) {
        return services.runStandaloneSession != nullptr && services.runStandaloneSession(session);
    }
    if (settings.DownloadMode()) {
        return services.runDownloadSession != nullptr && services.runDownloadSession(session);
    }
    return false;
}

}  // namespace

void RunSession(PatchThread& session) {
    SetMessageLanguage(9);
    bool completed = false;
    if (PrerequisitesMet(session)) {
        completed = RunMode(session);
        // The product must be able to start again once the session is over.
        GetSessionServices().releaseAssetDatabase();
    }
    ReportLogLine(LOG_NORMAL, LoadMessage(completed ? 162 : 163));
    session.ReportFinished();
}

}  // namespace BexoPatch
