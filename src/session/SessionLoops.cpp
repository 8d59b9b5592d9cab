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
#include "session/PackageCheck.h"
#include "session/PatchListSignature.h"
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
// archives and patch lists are outside input, so such a chain ends there. With chains that
// overlap (two queued builds on one chain) this is the normal end of the second one.
bool LeadsBack(std::set<std::string>* reached, const std::string& build) {
    if (reached->insert(build).second) {
        return false;
    }
    ReportLogLine(LOG_NORMAL, L"The patch steps lead back to build " + ToWide(build) +
                                  L", which this session has already reached.");
    return true;
}

// Deletes a package that is not what the publisher signed, before anything unpacks it,
// and says what was wrong.
void RefusePackage(PatchThread& session, PackageVerdict verdict, const std::wstring& package,
                   const std::wstring& address, std::uint64_t signedSize) {
    std::int64_t size = 0;
    if (GetFileSize(package, &size) != BEXORESULT_OK) {
        size = 0;
    }
    DeleteFile(package);
    session.verificationFailed = true;
    switch (verdict) {
        case PackageVerdict::kTooLong:
            ReportLogLine(LOG_ERROR,
                          FillFields(LoadMessage(339), {address, std::to_wstring(signedSize)}));
            return;
        case PackageVerdict::kWrongSize:
            ReportLogLine(LOG_ERROR, FillFields(LoadMessage(340), {address, std::to_wstring(size),
                                                                   std::to_wstring(signedSize)}));
            return;
        case PackageVerdict::kMatches:
        case PackageVerdict::kWrongDigest:
        case PackageVerdict::kUnreadable:
            break;
    }
    ReportLogLine(LOG_ERROR, FillFields(LoadMessage(341), {address}));
}

// False when the tool failed or was cancelled: the installation then still needs it.
bool UpdateAssetDatabase(PatchThread& session) {
    SessionGauge gauge(session.Owner());
    return RunAssetDatabaseUpdate(PatchSettings::Instance().GetInstallPath(), gauge);
}

// After the loop, the current version is the build the installation is at, not a
// candidate queued after it.
void SettleCurrentVersion(PatchThread& session, bool applied) {
    PatchSettings& settings = PatchSettings::Instance();
    if (applied) {
        settings.SetCurrentVersion(session.reachedBuild);
    }
    settings.SetTargetVersion(std::string());
}

}  // namespace

bool RunStandaloneSession(PatchThread& session) {
    PatchSettings& settings = PatchSettings::Instance();
    PatchArchive& archive = StandaloneArchive();
    std::set<std::string> reached;
    session.reachedBuild = settings.GetCurrentVersion();
    bool applied = false;
    while (settings.GetFinalVersion() != settings.GetCurrentVersion()) {
        std::string next = archive.TargetFor(settings.GetCurrentVersion());
        if (!next.empty() && LeadsBack(&reached, next)) {
            next.clear();
        }
        if (next.empty()) {
            // This build's chain has ended: go on with the next queued candidate.
            const std::string candidate = settings.PopBuild();
            next = candidate.empty() ? std::string() : archive.TargetFor(candidate);
            if (!next.empty() && LeadsBack(&reached, next)) {
                next.clear();
            }
            if (next.empty()) {
                ReportLogLine(LOG_NORMAL, LoadMessage(185));
                break;
            }
            settings.SetCurrentVersion(candidate);
        }
        settings.SetTargetVersion(next);
        ReportLogLine(LOG_NORMAL, FillFields(LoadMessage(180),
                                             {ToWide(settings.GetCurrentVersion()), ToWide(next)}));
        if (session.ApplyStandalonePatch() != PatchThread::kApplied) {
            SettleCurrentVersion(session, applied);
            return false;
        }
        applied = true;
        session.reachedBuild = next;
        settings.SetCurrentVersion(next);
    }
    SettleCurrentVersion(session, applied);
    return UpdateAssetDatabase(session);
}

bool RunDownloadSession(PatchThread& session) {
    PatchSettings& settings = PatchSettings::Instance();
    PatchDownloadCallback callback(session.Owner());
    const bool verifying = !TrustedKeys().empty();
    if (!verifying) {
        ReportLogLine(LOG_NOTE, LoadMessage(342));
    }
    ReportLogLine(LOG_NORMAL, LoadMessage(141));
    session.reachedBuild = settings.GetCurrentVersion();
    if (!session.patches.FetchPatchList(settings.Servers(), &callback)) {
        if (session.patches.RefusedBySignature()) {
            session.verificationFailed = true;
        }
        return false;
    }
    bool applied = false;
    std::set<std::string> reached;
    for (;;) {
        const std::string current = settings.GetCurrentVersion();
        if (settings.GetFinalVersion() == current) {
            ReportLogLine(LOG_NORMAL, LoadMessage(142) + ToWide(settings.GetFinalVersion()));
            break;
        }
        std::optional<PatchEntry> entry = session.patches.FindPatch(current);
        if (entry && LeadsBack(&reached, entry->targetVersion)) {
            entry.reset();
        } else if (!entry) {
            ReportLogLine(LOG_NORMAL, LoadMessage(143) + ToWide(current));
        }
        if (!entry) {
            const std::string candidate = settings.PopBuild();
            if (candidate.empty()) {
                break;
            }
            settings.SetCurrentVersion(candidate);
            settings.SetTargetVersion(std::string());
            continue;
        }
        // A signed list could still offer a step back to an older, vulnerable build.
        if (verifying && !IsBuildAbove(entry->targetVersion, current)) {
            ReportLogLine(LOG_ERROR, FillFields(LoadMessage(338),
                                                {ToWide(current), ToWide(entry->targetVersion)}));
            session.verificationFailed = true;
            SettleCurrentVersion(session, applied);
            return false;
        }
        settings.SetTargetVersion(entry->targetVersion);
        if (!session.QueryPatchSize(entry->dataUrl, &callback)) {
            if (session.CancelRequested()) {
                SettleCurrentVersion(session, applied);
                return false;
            }
            ReportLogLine(LOG_NOTE, LoadMessage(144));
        }
        if (verifying) {
            // The signed size, not what the server claims, is what the download must reach.
            session.bytesTotal = entry->dataSize.value_or(0);
        }
        std::wstring package;
        if (!session.TempPackagePath(&package)) {
            ReportLogLine(LOG_ERROR, LoadMessage(145));
            SettleCurrentVersion(session, applied);
            return false;
        }
        ReportLogLine(LOG_NORMAL, LoadMessage(147));
        SignedPackage signedPackage;
        if (verifying) {
            signedPackage = {entry->dataSize.value_or(0), entry->dataSha256};
        }
        PackageVerdict verdict = PackageVerdict::kMatches;
        BEXORESULT downloaded = session.DownloadPatch(
            entry->dataUrl, package, &callback, verifying ? &signedPackage : nullptr, &verdict);
        if (downloaded == BEXORESULT_OK && verdict != PackageVerdict::kMatches) {
            RefusePackage(session, verdict, package, entry->dataUrl, signedPackage.size);
            SettleCurrentVersion(session, applied);
            return false;
        }
        int step = PatchThread::kStepFailed;
        std::int64_t size = 0;
        if (downloaded == BEXORESULT_OK && GetFileSize(package, &size) != BEXORESULT_OK) {
            downloaded = BEXORESULT_END_OF_DATA;
        }
        if (downloaded == BEXORESULT_OK && session.bytesTotal != 0 &&
            static_cast<std::uint64_t>(size) != session.bytesTotal) {
            // Not the file the server announced, whether cut short or with bytes added.
            ReportLogLine(LOG_ERROR,
                          FillFields(LoadMessage(344), {entry->dataUrl, std::to_wstring(size),
                                                        std::to_wstring(session.bytesTotal)}));
        } else if (downloaded == BEXORESULT_OK) {
            step = session.UnpackAndApply(package);
        } else if (downloaded == BEXORESULT_DISK_FULL) {
            ReportLogLine(LOG_ERROR, FillFields(LoadMessage(259), {package}));
        } else if (downloaded != BEXORESULT_ABORTED && !session.CancelRequested()) {
            ReportLogLine(LOG_ERROR, LoadMessage(148));
        }
        // The package has served its step, or is of no further use.
        DeleteFile(package);
        if (step != PatchThread::kApplied) {
            SettleCurrentVersion(session, applied);
            return false;
        }
        applied = true;
        session.reachedBuild = entry->targetVersion;
        settings.SetCurrentVersion(settings.GetTargetVersion());
        settings.SetTargetVersion(std::string());
        if (SessionWindow* window = session.Owner()) {
            window->PostPatchInstalled();
        }
    }
    SettleCurrentVersion(session, applied);
    return !applied || UpdateAssetDatabase(session);
}

}  // namespace BexoPatch
