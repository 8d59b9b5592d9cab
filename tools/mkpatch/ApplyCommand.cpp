// apply PATCHDIR INSTALLDIR: runs the engine exactly as a session does.
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "Commands.h"
#include "TreeWalk.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchEngine.h"
#include "patch/StepJournal.h"

namespace fs = std::filesystem;

namespace Mkpatch {

namespace {

// The last file the session passes to the engine.
const wchar_t kLastFile[] = L"BexoPortico.exe";

void PrintLogLine(std::int32_t level, const std::wstring& text) {
    const char* name = level == LOG_ERROR ? "error" : level == LOG_NOTE ? "note" : "normal";
    std::printf("[%s] %s\n", name, WideToUtf8(text).c_str());
    std::fflush(stdout);
}

void PrintTotal(std::int32_t count) {
    std::printf("[total] %d file operations\n", count);
}

}  // namespace

int RunApply(const Args& args) {
    if (args.size() != 2) {
        return UsageError("apply", "expected PATCHDIR INSTALLDIR");
    }
    std::error_code ec;
    const fs::path patch =
        fs::absolute(fs::path(std::u8string(args[0].begin(), args[0].end())), ec);
    const fs::path install =
        fs::absolute(fs::path(std::u8string(args[1].begin(), args[1].end())), ec);
    if (!fs::is_directory(patch, ec) || !fs::is_directory(install, ec)) {
        Error("apply", "both PATCHDIR and INSTALLDIR must be directories");
        return kExitFailed;
    }
    SetPatchCallbacks(PrintTotal, nullptr, PrintLogLine);
    // A step interrupted earlier is finished first, as the patcher does at start-up.
    std::wstring report;
    const StepRecovery recovery = RecoverInterruptedStep(WidePath(install), &report);
    if (recovery != StepRecovery::kNone) {
        PrintLogLine(recovery == StepRecovery::kUndone || recovery == StepRecovery::kCompleted
                         ? LOG_NOTE
                         : LOG_ERROR,
                     report);
    }
    if (recovery == StepRecovery::kUnreadable || recovery == StepRecovery::kFailed) {
        SetPatchCallbacks(nullptr, nullptr, nullptr);
        Error("apply", "an interrupted step could not be finished; nothing was applied");
        return kExitFailed;
    }
    const PatchStepEnd end = ApplyPatchStep(WidePath(install), WidePath(patch), kLastFile);
    SetPatchCallbacks(nullptr, nullptr, nullptr);
    switch (end) {
        case PatchStepEnd::kNewBuild:
            return kExitOk;
        case PatchStepEnd::kOldBuild:
            Error("apply", "the patch was not applied; the installation was restored");
            break;
        case PatchStepEnd::kUnfinished:
            Error("apply",
                  "the patch was not applied, and the installation could not be "
                  "restored; run recover, or repair the installation");
            break;
    }
    return kExitFailed;
}

int RunRecover(const Args& args) {
    if (args.size() != 1) {
        return UsageError("recover", "expected INSTALLDIR");
    }
    std::error_code ec;
    const fs::path install =
        fs::absolute(fs::path(std::u8string(args[0].begin(), args[0].end())), ec);
    if (!fs::is_directory(install, ec)) {
        Error("recover", "INSTALLDIR must be a directory");
        return kExitFailed;
    }
    std::wstring report;
    switch (RecoverInterruptedStep(WidePath(install), &report)) {
        case StepRecovery::kNone:
            std::printf("no interrupted patch step\n");
            return kExitOk;
        case StepRecovery::kUndone:
        case StepRecovery::kCompleted:
            std::printf("%s\n", WideToUtf8(report).c_str());
            return kExitOk;
        case StepRecovery::kUnreadable:
        case StepRecovery::kFailed:
            break;
    }
    Error("recover", WideToUtf8(report));
    return kExitFailed;
}

}  // namespace Mkpatch
