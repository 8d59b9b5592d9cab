#include <memory>
#include <string>

#include "assetdb/AssetDbUpdate.h"
#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "net/BexoInet.h"
#include "patch/Package.h"
#include "patch/PatchArchive.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchEngine.h"
#include "patch/PatchingMarker.h"
#include "platform/System.h"
#include "repair/buffer/BexoDataBuffer.h"
#include "session/PatchThread.h"
#include "session/SessionGauge.h"
#include "session/SessionWindow.h"

bool OsmelPatchTask::QueryPatchSize(const std::wstring& address) {
    {
        OS::MutexLock hold(lock);
        bytesDone = 0;
    }
    std::uint64_t size = 0;
    const bool known = GetURLSize(ToNarrow(address), &size) == BEXORESULT_OK;
    bytesTotal = known ? size : 0;
    return known;
}

bool OsmelPatchTask::TempPackagePath(std::wstring* path) {
    path->clear();
    // The build numbers in the name come from the archive or the server: a name that
    // could lead out of the temporary directory is refused.
    const std::string name = BexoPatch::PatchSettings::Instance().GetPatchName();
    if (name.find_first_of("/\\:") != std::string::npos || name.find("..") != std::string::npos) {
        SystemLog("TempPackagePath> refused the package name \"%s\"", name.c_str());
        return false;
    }
    const std::wstring directory = Platform::GetTempDirectory();
    if (!MakeDirectory(directory)) {
        return false;
    }
    *path = JoinPath(directory, ToWide(name + ".zip"));
    return true;
}

bool OsmelPatchTask::DownloadPatch(const std::wstring& address, const std::wstring& path,
                                   DownloadURLCallback* callback) {
    transferState = TRANSFER_DOWNLOADING;
    {
        OS::MutexLock hold(lock);
        bytesDone = 0;
    }
    BexoDataBufferFile file(path, BexoDataBufferFile::kModeUpdate);
    if (!file.IsOpen()) {
        ReportMessage(LOG_ERROR, L"Unable to open the patch file for writing: " + path);
        return false;
    }
    {
        OS::MutexLock hold(lock);
        currentFile = &file;
    }
    ++downloadsStarted;
    const bool downloaded = DownloadURL(ToNarrow(address), &file, 0, callback) == BEXORESULT_OK;
    if (downloaded) {
        file.Flush();
    }
    {
        OS::MutexLock hold(lock);
        currentFile = nullptr;
    }
    if (!downloaded) {
        ReportMessage(LOG_ERROR, L"Unable to download patch file: " + address);
        return false;
    }
    return true;
}

DownloadProgress OsmelPatchTask::GetDownloadProgress() {
    DownloadProgress progress;
    {
        OS::MutexLock hold(lock);
        if (transferState == TRANSFER_DOWNLOADING && currentFile != nullptr) {
            bytesDone = currentFile->GetPosition();
        }
        progress.bytesDone = bytesDone;
    }
    progress.bytesTotal = bytesTotal;
    progress.percent =
        progress.bytesTotal == 0
            ? 0
            : static_cast<std::int32_t>(progress.bytesDone * 100 / progress.bytesTotal);
    percentDone = progress.percent;
    return progress;
}

bool OsmelPatchTask::Downloading() {
    OS::MutexLock hold(lock);
    return currentFile != nullptr;
}

namespace BexoPatch {

bool MakeTempDirectory(std::wstring& directory) {
    if (directory.empty()) {
        directory = Platform::GetTempDirectory();
    }
    directory = MakeTempFileName(directory);
    if (MakeDirectory(directory)) {
        return true;
    }
    directory.clear();
    return false;
}

int PatchThread::UnpackAndApply(const std::wstring& package) {
    SessionGauge gauge(Owner());
    std::unique_ptr<KADHackProgressThread> progress;
    int result = kStepFailed;
    if (!MakeTempDirectory(tempDirectory)) {
        ReportLogLine(LOG_ERROR, LoadMessage(146));
        result = kNoUnpackDirectory;
    } else {
        // Two minutes of gauge per MiB of package, a rough match of the unpacking and
        // patching time of the original installations.
        std::int64_t size = 0;
        if (GetFileSize(package, &size) != BEXORESULT_OK) {
            size = 0;
        }
        progress = std::make_unique<KADHackProgressThread>(gauge);
        progress->minutes =
            static_cast<std::int32_t>(static_cast<float>(size) / 1024.0f / 1024.0f * 2.0f);
        if (!progress->StartThread()) {
            progress.reset();
        }
        if (!gauge.CancelRequested()) {
            ReportLogLine(LOG_NORMAL, LoadMessage(149));
            if (!UnpackPackage(package, tempDirectory)) {
                ReportLogLine(LOG_ERROR, LoadMessage(150));
            } else if (!gauge.CancelRequested()) {
                ReportLogLine(LOG_NORMAL, LoadMessage(151));
                if (ApplyPatchDirectory(tempDirectory)) {
                    result = kApplied;
                } else {
                    ReportLogLine(LOG_ERROR, LoadMessage(152) +
                                                 ToWide(PatchSettings::Instance().GetPatchName()));
                }
            }
        }
        DeleteDirectoryTree(tempDirectory);
    }
    if (progress) {
        progress->Stop();
        progress->Join();
    }
    if (result != kApplied) {
        gauge.SetGaugeRange(1);
        gauge.SetGaugeValue(1);
    }
    return result;
}

bool PatchThread::ApplyPatchDirectory(const std::wstring& directory) {
    SetPatchingMarker();
    transferState = TRANSFER_PATCHING;
    if (SessionWindow* window = Owner()) {
        window->ShowInstallPath();
    }
    if (PatchInstallation(PatchSettings::Instance().GetInstallPath(), directory,
                          L"BexoPortico.exe")) {
        ClearPatchingMarker();
        return true;
    }
    SessionGauge gauge(Owner());
    gauge.SetGaugeRange(1);
    gauge.SetGaugeValue(1);
    SetPatchingMarker();
    return false;
}

bool PatchThread::ApplyStandalonePatch() {
    std::wstring package;
    if (!TempPackagePath(&package)) {
        ReportLogLine(LOG_ERROR, LoadMessage(145));
        return false;
    }
    if (StandaloneArchive().Extract(PatchSettings::Instance().GetCurrentVersion(), package) !=
        BEXORESULT_OK) {
        ReportLogLine(LOG_ERROR, LoadMessage(178));
        return false;
    }
    if (UnpackAndApply(package) != kApplied) {
        return false;
    }
    if (SessionWindow* window = Owner()) {
        window->PostPatchInstalled();
    }
    return true;
}

}  // namespace BexoPatch
