#include <atomic>
#include <memory>
#include <optional>
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
#include "platform/Files.h"
#include "platform/System.h"
#include "repair/buffer/BexoDataBuffer.h"
#include "session/PatchThread.h"
#include "session/SessionGauge.h"
#include "session/SessionWindow.h"

namespace {

// The package being downloaded, which tells its position to the window's progress after
// every write and move.
class PublishingFile : public BexoDataBufferFile {
public:
    PublishingFile(const std::wstring& path, std::atomic<std::uint64_t>* position)
        : BexoDataBufferFile(path, kModeUpdate), m_position(position) {}

    BEXORESULT WriteData(const void* data, std::uint32_t count) override {
        const BEXORESULT result = BexoDataBufferFile::WriteData(data, count);
        m_position->store(GetPosition());
        return result;
    }
    BEXORESULT Seek(std::uint64_t position) override {
        const BEXORESULT result = BexoDataBufferFile::Seek(position);
        m_position->store(GetPosition());
        return result;
    }

private:
    std::atomic<std::uint64_t>* m_position;
};

}  // namespace

bool OsmelPatchTask::QueryPatchSize(const std::wstring& address, DownloadURLCallback* callback) {
    bytesDone = 0;
    std::uint64_t size = 0;
    const bool known = GetURLSize(ToNarrow(address), &size, callback) == BEXORESULT_OK;
    bytesTotal = known ? size : 0;
    return known;
}

bool OsmelPatchTask::TempPackagePath(std::wstring* path) const {
    path->clear();
    // The build numbers in the name come from the archive or the server: a name that
    // could lead out of the session's directory is refused.
    const std::string name = BexoPatch::PatchSettings::Instance().GetPatchName();
    if (name.find_first_of("/\\:") != std::string::npos || name.find("..") != std::string::npos) {
        SystemLog("TempPackagePath> refused the package name \"%s\"", name.c_str());
        return false;
    }
    if (sessionDirectory.empty()) {
        return false;
    }
    *path = JoinPath(sessionDirectory, ToWide(name + ".zip"));
    return true;
}

BEXORESULT OsmelPatchTask::DownloadPatch(const std::wstring& address, const std::wstring& path,
                                         DownloadURLCallback* callback,
                                         const BexoPatch::SignedPackage* signedPackage,
                                         BexoPatch::PackageVerdict* verdict) {
    transferState = TRANSFER_DOWNLOADING;
    bytesDone = 0;
    PublishingFile file(path, &bytesDone);
    if (!file.IsOpen()) {
        ReportMessage(LOG_ERROR, L"Unable to open the patch file for writing: " + path);
        return BEXORESULT_IO_ERROR;
    }
    downloading = true;
    ++downloadsStarted;
    std::optional<BexoPatch::CheckedPackageBuffer> checked;
    if (signedPackage != nullptr) {
        checked.emplace(&file, path, *signedPackage);
    }
    BexoPatch::CheckedDownloadCallback checkedCallback(callback, checked ? &*checked : nullptr);
    BexoDataBuffer* sink = checked ? static_cast<BexoDataBuffer*>(&*checked) : &file;
    std::wstring problem;
    BEXORESULT result = DownloadURL(ToNarrow(address), sink, 0, &checkedCallback, &problem);
    if (result == BEXORESULT_OK || (checked && checked->TooLong())) {
        // The last bytes reach the disk here: a full disk shows now at the latest.
        if (!file.Commit()) {
            result = Platform::GetLastError() == Platform::Error::DiskFull ? BEXORESULT_DISK_FULL
                                                                           : BEXORESULT_IO_ERROR;
        } else if (checked) {
            *verdict = checked->Verdict();
            result = BEXORESULT_OK;
        }
    }
    downloading = false;
    if (result != BEXORESULT_OK && result != BEXORESULT_ABORTED && result != BEXORESULT_DISK_FULL) {
        if (!problem.empty()) {
            ReportMessage(LOG_ERROR, problem);
        }
        ReportMessage(LOG_ERROR, L"Unable to download patch file: " + address);
    }
    return result;
}

DownloadProgress OsmelPatchTask::GetDownloadProgress() {
    DownloadProgress progress;
    progress.bytesDone = bytesDone;
    progress.bytesTotal = bytesTotal;
    progress.percent =
        progress.bytesTotal == 0
            ? 0
            : static_cast<std::int32_t>(progress.bytesDone * 100 / progress.bytesTotal);
    percentDone = progress.percent;
    return progress;
}

bool OsmelPatchTask::Downloading() {
    return downloading;
}

namespace BexoPatch {

bool MakeTempDirectory(const std::wstring& base, std::wstring* created) {
    created->clear();
    const std::wstring parent = base.empty() ? Platform::GetTempDirectory() : base;
    if (!MakeDirectory(parent)) {
        return false;
    }
    // A name that is taken (by a file, or a directory someone else owns) is passed over:
    // the directory made here is deleted with its content later.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::wstring candidate = MakeTempFileName(parent);
        if (Platform::CreateDirectory(candidate)) {
            *created = candidate;
            return true;
        }
    }
    return false;
}

bool PatchThread::OpenSessionDirectory() {
    return MakeTempDirectory(tempDirectory, &sessionDirectory);
}

void PatchThread::CloseSessionDirectory() {
    if (!sessionDirectory.empty()) {
        DeleteDirectoryTree(sessionDirectory);
        sessionDirectory.clear();
    }
}

bool PatchThread::CancelRequested() const {
    return Owner() != nullptr && Owner()->CancelRequested();
}

int PatchThread::UnpackAndApply(const std::wstring& package) {
    SessionGauge gauge(Owner());
    std::unique_ptr<KADHackProgressThread> progress;
    int result = kStepFailed;
    std::wstring unpacked;
    if (!MakeTempDirectory(sessionDirectory, &unpacked)) {
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
        if (CancelRequested()) {
            result = kCancelled;
        } else {
            ReportLogLine(LOG_NORMAL, LoadMessage(149));
            if (!UnpackPackage(package, unpacked)) {
                if (CancelRequested()) {
                    result = kCancelled;
                } else {
                    ReportLogLine(LOG_ERROR, LoadMessage(150));
                }
            } else if (CancelRequested()) {
                result = kCancelled;
            } else {
                ReportLogLine(LOG_NORMAL, LoadMessage(151));
                result = ApplyPatchDirectory(unpacked);
                if (result == kStepFailed) {
                    ReportLogLine(LOG_ERROR, LoadMessage(152) +
                                                 ToWide(PatchSettings::Instance().GetPatchName()));
                }
            }
        }
        DeleteDirectoryTree(unpacked);
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

int PatchThread::ApplyPatchDirectory(const std::wstring& directory) {
    // Nothing has changed yet: a cancel here leaves the installation and the marker as
    // they are.
    if (CancelRequested()) {
        return kCancelled;
    }
    SetPatchingMarker();
    transferState = TRANSFER_PATCHING;
    if (SessionWindow* window = Owner()) {
        window->ShowInstallPath();
    }
    PatchSettings& settings = PatchSettings::Instance();
    const PatchStepEnd end =
        ApplyPatchStep(settings.GetInstallPath(), directory, L"BexoPortico.exe");
    if (end == PatchStepEnd::kNewBuild) {
        ClearPatchingMarker();
        return kApplied;
    }
    SessionGauge gauge(Owner());
    gauge.SetGaugeRange(1);
    gauge.SetGaugeValue(1);
    const bool cancelled = CancelRequested();
    if (end == PatchStepEnd::kOldBuild && cancelled) {
        // Undone on the user's word: the installation is the build it was, unharmed.
        ClearPatchingMarker();
        return kCancelled;
    }
    // A failed step stays marked even when it was undone: the installation did not take
    // it, and the product's tools point to a repair. Only a step that could not be undone
    // leaves the installation between two builds.
    SetPatchingMarker();
    if (end == PatchStepEnd::kUnfinished) {
        unfinishedTarget = settings.GetTargetVersion();
    }
    return cancelled ? kCancelled : kStepFailed;
}

int PatchThread::ApplyStandalonePatch() {
    std::wstring package;
    if (!TempPackagePath(&package)) {
        ReportLogLine(LOG_ERROR, LoadMessage(145));
        return kStepFailed;
    }
    if (StandaloneArchive().Extract(PatchSettings::Instance().GetCurrentVersion(), package) !=
        BEXORESULT_OK) {
        DeleteFile(package);
        if (CancelRequested()) {
            return kCancelled;
        }
        ReportLogLine(LOG_ERROR, LoadMessage(178));
        return kStepFailed;
    }
    const int result = UnpackAndApply(package);
    DeleteFile(package);
    if (result == kApplied) {
        if (SessionWindow* window = Owner()) {
            window->PostPatchInstalled();
        }
    }
    return result;
}

}  // namespace BexoPatch
