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
    // Without a directory there is nothing to lock or patch; waiting for the lock of
    // nothing would end in a wrong "files in use".
    if (installPath.empty()) {
        ReportLogLine(LOG_ERROR, LoadMessage(261));
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

bool RunPatchLoop(PatchThread& session) {
    const SessionServices& services = GetSessionServices();
    PatchSettings& settings = PatchSettings::Instance();
    if (!session.CheckDiskSpace(kRequiredDiskMegabytes)) {
        ReportLogLine(LOG_ERROR,
                      FillFields(LoadMessage(240), {std::to_wstring(kRequiredDiskMegabytes)}));
        return false;
    }
    bool (*loop)(PatchThread&) = nullptr;
    if (settings.StandaloneMode()) {
        loop = services.runStandaloneSession;
    } else if (settings.DownloadMode()) {
        loop = services.runDownloadSession;
    }
    if (loop == nullptr) {
        return false;
    }
    if (!session.OpenSessionDirectory()) {
        ReportLogLine(LOG_ERROR, LoadMessage(146));
        return false;
    }
    const bool completed = loop(session);
    session.CloseSessionDirectory();
    return completed;
}

bool RunMode(PatchThread& session) {
    const SessionServices& services = GetSessionServices();
    if (PatchSettings::Instance().RepairMode()) {
        return services.runRepairSession != nullptr && services.runRepairSession(session);
    }
    return RunPatchLoop(session);
}

// The build the installation is at, as the session leaves it.
void ReportReachedBuild(const PatchThread& session) {
    if (PatchSettings::Instance().RepairMode()) {
        return;
    }
    if (!session.unfinishedTarget.empty()) {
        ReportLogLine(LOG_ERROR, FillFields(LoadMessage(258), {ToWide(session.reachedBuild),
                                                               ToWide(session.unfinishedTarget)}));
    } else if (!session.reachedBuild.empty()) {
        ReportLogLine(LOG_NORMAL, FillFields(LoadMessage(257), {ToWide(session.reachedBuild)}));
    }
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
    ReportReachedBuild(session);
    // A stage stopped by the user ends the session as cancelled, never as failed.
    std::uint32_t outcome = 162;
    if (!completed) {
        outcome = session.CancelRequested() ? 256 : 163;
    }
    ReportLogLine(LOG_NORMAL, LoadMessage(outcome));
    session.ReportFinished();
}

}  // namespace BexoPatch
