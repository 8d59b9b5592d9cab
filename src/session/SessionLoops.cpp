#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "assetdb/AssetDbUpdate.h"
#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "net/BexoInet.h"
#include "patch/PatchArchive.h"
#include "patch/PatchCallbacks.h"
#include "session/PatchThread.h"
#include "session/SessionGauge.h"
#include "session/SessionWindow.h"

namespace BexoPatch {

namespace {

// A download stops as soon as the user has confirmed a cancel.
class PatchDownloadCallback : public DownloadURLCallback {
public:
    explicit PatchDownloadCallback(SessionWindow* window) : m_window(window) {}
    bool IsCancelled() override { return m_window != nullptr && m_window->CancelRequested(); }

private:
    SessionWindow* m_window;
};

// A chain of steps that leads back to a build it has already reached would patch forever;
// archives and patch lists are outside input, so such a step is refused.
bool ReachedBefore(std::set<std::string>* reached, const std::string& build) {
    if (reached->insert(build).second) {
        return false;
    }
    ReportLogLine(LOG_ERROR, L"The patch steps lead back to build " + ToWide(build) +
                                 L", which this session has already reached.");
    return true;
}

void UpdateAssetDatabase(PatchThread& session) {
    SessionGauge gauge(session.Owner());
    RunAssetDatabaseUpdate(PatchSettings::Instance().GetInstallPath(), gauge);
}

}  // namespace

bool RunStandaloneSession(PatchThread& session) {
    PatchSettings& settings = PatchSettings::Instance();
    PatchArchive& archive = StandaloneArchive();
    std::set<std::string> reached;
    while (settings.GetFinalVersion() != settings.GetCurrentVersion()) {
        std::string next = archive.TargetFor(settings.GetCurrentVersion());
        if (next.empty()) {
            // This build's chain has ended: go on with the next queued candidate.
            settings.SetCurrentVersion(std::string());
            settings.SetTargetVersion(std::string());
            next = archive.TargetFor(settings.GetCurrentVersion());
            if (next.empty()) {
                ReportLogLine(LOG_NORMAL, LoadMessage(185));
                break;
            }
        }
        if (ReachedBefore(&reached, next)) {
            return false;
        }
        settings.SetTargetVersion(next);
        ReportLogLine(LOG_NORMAL, FillFields(LoadMessage(180),
                                             {ToWide(settings.GetCurrentVersion()), ToWide(next)}));
        if (!session.ApplyStandalonePatch()) {
            return false;
        }
        settings.SetCurrentVersion(next);
    }
    settings.SetTargetVersion(std::string());
    UpdateAssetDatabase(session);
    return true;
}

bool RunDownloadSession(PatchThread& session) {
    PatchSettings& settings = PatchSettings::Instance();
    ReportLogLine(LOG_NORMAL, LoadMessage(141));
    if (!session.patches.FetchPatchList(settings.Servers())) {
        return false;
    }
    int appliedCount = 0;
    std::set<std::string> reached;
    for (;;) {
        const std::string current = settings.GetCurrentVersion();
        if (settings.GetFinalVersion() == current) {
            ReportLogLine(LOG_NORMAL, LoadMessage(142) + ToWide(settings.GetFinalVersion()));
            break;
        }
        const std::optional<PatchEntry> entry = session.patches.FindPatch(current);
        if (!entry) {
            ReportLogLine(LOG_NORMAL, LoadMessage(143) + ToWide(current));
            const std::string candidate = settings.PopBuild();
            if (candidate.empty()) {
                break;
            }
            settings.SetCurrentVersion(candidate);
            settings.SetTargetVersion(std::string());
            continue;
        }
        if (ReachedBefore(&reached, entry->targetVersion)) {
            return false;
        }
        settings.SetTargetVersion(entry->targetVersion);
        if (!session.QueryPatchSize(entry->dataUrl)) {
            ReportLogLine(LOG_NOTE, LoadMessage(144));
        }
        std::wstring package;
        if (!OsmelPatchTask::TempPackagePath(&package)) {
            ReportLogLine(LOG_ERROR, LoadMessage(145));
            return false;
        }
        ReportLogLine(LOG_NORMAL, LoadMessage(147));
        PatchDownloadCallback callback(session.Owner());
        if (!session.DownloadPatch(entry->dataUrl, package, &callback)) {
            ReportLogLine(LOG_ERROR, LoadMessage(148));
            return false;
        }
        std::int64_t size = 0;
        if (GetFileSize(package, &size) != BEXORESULT_OK ||
            static_cast<std::uint64_t>(size) < session.bytesTotal) {
            ReportLogLine(LOG_ERROR, LoadMessage(148));
            return false;
        }
        if (session.UnpackAndApply(package) != PatchThread::kApplied) {
            DeleteFile(package);
            return false;
        }
        ++appliedCount;
        settings.SetCurrentVersion(settings.GetTargetVersion());
        settings.SetTargetVersion(std::string());
        if (SessionWindow* window = session.Owner()) {
            window->PostPatchInstalled();
        }
    }
    if (appliedCount > 0) {
        UpdateAssetDatabase(session);
    }
    return true;
}

}  // namespace BexoPatch
