#include "console/UpdateCommand.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "app/CommandLine.h"
#include "app/InstallDiscovery.h"
#include "app/Startup.h"
#include "console/ConsoleOutput.h"
#include "console/ConsoleSession.h"
#include "crash/CrashHandlers.h"
#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/ProgramVersion.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "net/CompletionPort.h"
#include "net/SocketError.h"
#include "patch/PatchArchive.h"
#include "patch/PatchCallbacks.h"
#include "platform/Console.h"
#include "platform/System.h"
#include "session/PatchThread.h"
#include "session/SessionServices.h"

namespace BexoPatch {

namespace {

// The options osmel-update adds to the window's, in the order of `options.extra`.
enum ExtraIndex : std::size_t {
    kArchive,
    kQuiet,
    kJson,
    kYes,
    kWaitForProduct,
    kVerbose,
    kVersion,
    kExtraCount,
};

ExtraOption Option(const char* name, const char* help, bool takesValue) {
    ExtraOption option;
    option.longName = name;
    option.help = help;
    option.takesValue = takesValue;
    return option;
}

std::vector<ExtraOption> ExtraOptions() {
    std::vector<ExtraOption> options(kExtraCount);
    options[kArchive] =
        Option("archive", "standalone: apply the steps the patcher FILE carries", true);
    options[kQuiet] = Option("quiet", "show nothing but errors (on standard error)", false);
    options[kJson] = Option("json", "one JSON object per line: log lines, progress, result", false);
    options[kYes] = Option("yes", "answer yes to every question (wait for the product)", false);
    options[kWaitForProduct] =
        Option("wait-for-product", "wait until the product is closed", false);
    options[kVerbose] = Option("verbose", "write the diagnostic log to standard error", false);
    options[kVersion] = Option("version", "show the version and end", false);
    return options;
}

const char kExitStatuses[] =
    "\nExit status:\n"
    "  0  updated, repaired, or already up to date\n"
    "  1  failed\n"
    "  2  usage error\n"
    "  3  cancelled (Ctrl-C, hang-up or SIGTERM); the interrupted step was rolled back\n"
    "  4  the product is running or its files are in use\n"
    "  5  the patch list or a package is not what the publisher signed\n";

std::wstring g_usage;
std::vector<std::pair<std::int32_t, std::wstring>> g_earlyLines;

void KeepUsage(const std::wstring& text) {
    g_usage += text;
}

// Lines reported before the output's mode is known.
void KeepEarlyLine(std::int32_t level, const std::wstring& text) {
    g_earlyLines.emplace_back(level, text);
}

void MessageToLog(const std::wstring& text, const std::wstring& caption) {
    ReportLogLine(LOG_ERROR, caption + L": " + text);
}

// A fault on the main thread or a session thread: the report, then the end.
void FatalFault() {
    WriteFatalDump();
    std::_Exit(kExitFailed);
}

int UsageError(const std::string& text) {
    std::fputs(("osmel-update: " + text + "\nTry 'osmel-update --help'.\n").c_str(), stderr);
    return kExitUsage;
}

int Run(std::vector<std::wstring> arguments) {
    RepairArguments(&arguments);
    SetUsageOutput(KeepUsage);
    SetPatchCallbacks(nullptr, nullptr, KeepEarlyLine);
    CommandLineOptions options;
    options.extra = ExtraOptions();
    ParseCommandLine(arguments, &options);
    SetUsageOutput(nullptr);
    if (options.syntaxError) {
        std::fputs(WideToUtf8(g_usage).c_str(), stderr);
        return kExitUsage;
    }
    if (options.helpAsked) {
        std::fputs((WideToUtf8(g_usage) + kExitStatuses).c_str(), stdout);
        return kExitUpdated;
    }
    if (options.extra[kVersion].found) {
        return PrintVersion("osmel-update");
    }
    KeepSessionLogFile();
    if (options.extra[kVerbose].found) {
        SetSystemLogConsole(SystemLogConsole::kStderr);
    }
    PatchSettings& settings = PatchSettings::Instance();
    const bool standalone = options.extra[kArchive].found;
    if (standalone && (settings.DownloadMode() || settings.RepairMode())) {
        return UsageError("--archive cannot be combined with --server, --list or --repair.");
    }
    if (options.extra[kJson].found && options.extra[kQuiet].found) {
        return UsageError("--json and --quiet cannot be combined.");
    }

    OutputMode mode = Platform::IsTerminal(Platform::StandardStream::kOutput)
                          ? OutputMode::kTerminal
                          : OutputMode::kPlain;
    if (options.extra[kJson].found) {
        mode = OutputMode::kJson;
    } else if (options.extra[kQuiet].found) {
        mode = OutputMode::kQuiet;
    }
    ConsoleOutput output(mode, stdout, stderr, Platform::TerminalColumns());
    InstallConsoleCallbacks(&output);
    for (const auto& [level, text] : g_earlyLines) {
        ReportLogLine(level, text);
    }
    g_earlyLines.clear();
    Platform::SetInterruptHandler(OnConsoleInterrupt);

    if (settings.GetInstallPath().empty()) {
        settings.SetInstallPath(FindInstallPath(L"KelvorSimulator", L"Kelvor"));
    }
    std::wstring recoveryReport;
    const StepRecovery recovery = RecoverInstallation(settings.GetInstallPath(), &recoveryReport);
    if (recovery != StepRecovery::kNone) {
        ReportLogLine(recovery == StepRecovery::kUndone || recovery == StepRecovery::kCompleted
                          ? LOG_NOTE
                          : LOG_ERROR,
                      recoveryReport);
    }
    // An unfinished step still holds the installation: a new step would replace its
    // journal, and with it the only record of how to put the files back. A repair may run.
    if ((recovery == StepRecovery::kFailed || recovery == StepRecovery::kUnreadable) &&
        !settings.RepairMode()) {
        ReportLogLine(LOG_ERROR,
                      L"The installation needs a repair before it can be patched: an earlier "
                      L"patch step could not be finished. No patch was applied.");
        output.Result("failed", kExitFailed, "osmel-update: the installation needs a repair.");
        return kExitFailed;
    }
    if (standalone) {
        const std::wstring archive = options.extra[kArchive].value;
        if (!FileExists(archive) || IsDirectory(archive)) {
            return UsageError("no such file: " + WideToUtf8(archive));
        }
        if (!LoadStandalonePatch(archive, false)) {
            if (!StandaloneArchive().GetHeader()) {
                ReportLogLine(LOG_ERROR, archive + L" carries no patch steps.");
            }
            output.Result("failed", kExitFailed, "osmel-update: nothing to apply.");
            return kExitFailed;
        }
    } else if (!settings.DownloadMode() && !settings.RepairMode()) {
        return UsageError(
            "no patch operation: give --server or --list, --repair, or --archive=FILE.");
    }

    SessionServices& services = GetSessionServices();
    services.hasPatchRights = HasPatchRights;
    services.showMessageBox = MessageToLog;
    ReportLogLine(LOG_NOTE, LoadMessage(settings.RepairMode() ? 172 : 171) + L" " +
                                settings.GetInstallPath());
    ConsoleChoices choices;
    choices.waitForProduct = options.extra[kWaitForProduct].found || options.extra[kYes].found;
    choices.mayAsk = Platform::IsTerminal(Platform::StandardStream::kInput) &&
                     (mode == OutputMode::kTerminal || mode == OutputMode::kPlain);
    const int status = RunConsoleSession(output, choices);
    if (options.runOnExit && !options.onExitCommand.empty()) {
        StartOnExitProgram(options.onExitCommand);
    }
    return status;
}

}  // namespace

int RunUpdateCommand(int argc, char** argv) {
    // Standard output is this program's display: the diagnostic log goes elsewhere.
    SetSystemLogConsole(SystemLogConsole::kNone);
    InstallCrashHandlers();
    if (SetFatalDumpName(L"patcher")) {
        EnableFatalExceptionGuard(FatalFault);
    }
    wxGuardedThread::SetFatalHandler(FatalFault);
    WinsockInit winsock;
    if (!winsock.Startup(2, 2)) {
        std::fputs("osmel-update: the socket library could not be started.\n", stderr);
        DisarmCrashHandlers();
        return kExitFailed;
    }
    AcquireSocketManager(1);
    std::vector<std::wstring> arguments;
    for (const std::string& argument : Platform::GetCommandLineArguments(argc, argv)) {
        arguments.push_back(Utf8ToWide(argument));
    }
    const int status = Run(std::move(arguments));
    InstallConsoleCallbacks(nullptr);
    ReleaseSocketManager();
    DisarmCrashHandlers();
    return status;
}

}  // namespace BexoPatch
