#include "app/Startup.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/PatchingMarker.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace BexoPatch {

namespace {

constexpr Platform::DWORD kOnExitWaitMs = 1000;
// The log file and its one older generation take 4 MiB at most.
constexpr std::uint64_t kLogFileBytes = 2 * 1024 * 1024;

}  // namespace

bool HasPatchRights(const std::wstring& directory) {
    const std::wstring productKey = L"Software\\Osmel";
    Platform::HKEY key = nullptr;
    if (Platform::RegCreateKeyEx(Platform::LocalMachineKey(), productKey, 0, &key) ==
        static_cast<Platform::LONG>(Platform::Error::Success)) {
        Platform::RegCloseKey(key);
    }
    if (Platform::RegOpenKeyEx(Platform::LocalMachineKey(), productKey, Platform::KEY_WRITE,
                               &key) != static_cast<Platform::LONG>(Platform::Error::Success)) {
        return false;
    }
    Platform::RegCloseKey(key);

    const std::optional<std::string> temp = Platform::GetEnvironmentVariable("TEMP");
    if (!MakeDirectory(temp ? ToWide(*temp) : Platform::GetTempDirectory())) {
        return false;
    }
    const std::wstring product = JoinPath(directory, L"bin/Kelvor.exe");
    if (!FileExists(product)) {
        return true;
    }
    BexoDataBufferFile file(product, BexoDataBufferFile::kModeUpdate);
    return file.IsOpen();
}

StepRecovery RecoverInstallation(const std::wstring& installPath, std::wstring* report) {
    if (installPath.empty()) {
        return StepRecovery::kNone;
    }
    const StepRecovery recovery = RecoverInterruptedStep(installPath, report);
    if (recovery == StepRecovery::kUndone || recovery == StepRecovery::kCompleted) {
        ClearPatchingMarker();
    }
    return recovery;
}

void KeepSessionLogFile() {
    const std::wstring state = Platform::GetStateDirectory();
    if (state.empty()) {
        return;
    }
    const std::wstring path = state + L"/patcher.log";
    if (!SystemLogKeepFile(path, kLogFileBytes)) {
        SystemLog("The session log cannot be kept in %s.", WideToUtf8(path).c_str());
    }
}

void StartOnExitProgram(const std::wstring& commandLine) {
    Platform::ProcessInformation information;
    if (!Platform::CreateProcess(commandLine, Platform::ProcessStartup{}, &information)) {
        std::fprintf(stderr, "%s%u\n", ToNarrow(LoadMessage(138)).c_str(),
                     Platform::GetLastError());
        std::fflush(stderr);
        return;
    }
    Platform::WaitForSingleObject(information.process, kOnExitWaitMs);
    Platform::CloseHandle(information.process);
}

}  // namespace BexoPatch
