#include "app/OsmelPatcherApp.h"

#include <wx/msgout.h>
#include <wx/stdpaths.h>
#include <wx/thread.h>
#include <wx/utils.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/Dialogs.h"
#include "app/InstallDiscovery.h"
#include "app/Startup.h"
#include "crash/CrashHandlers.h"
#include "kernel/FileUtil.h"
#include "kernel/PatchSettings.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "net/CompletionPort.h"
#include "net/SocketError.h"
#include "patch/PatchCallbacks.h"
#include "patch/StepJournal.h"
#include "platform/Shell.h"
#include "platform/System.h"
#include "session/PatchThread.h"
#include "session/SessionServices.h"

namespace BexoPatch {

namespace {

constexpr int ID_CLEAR_RUN_ON_EXIT = 1;
#ifdef _WIN32
constexpr unsigned kElevationFailedText = 132;
#else
// Elsewhere elevation fails for reasons of its own (no pkexec, no polkit agent, the
// request refused or cancelled), which the box names.
constexpr unsigned kElevationFailedText = 248;
#endif

// The fatal exception handler of the GUI thread and the session threads: the
// application's, whichever object it is.
void FatalFromThread() {
    if (wxApp* app = wxTheApp) {
        app->OnFatalException();
    }
    std::abort();
}

}  // namespace

wxBEGIN_EVENT_TABLE(OsmelPatcherApp, wxApp)
    EVT_MENU(ID_CLEAR_RUN_ON_EXIT, OsmelPatcherApp::OnClearRunOnExit)
wxEND_EVENT_TABLE()

bool OsmelPatcherApp::OnInit() {
    // The socket library is started only for the length of OnInit; the sockets made
    // later keep it usable on their own.
    WinsockInit winsock;
    if (!winsock.Startup(2, 2)) {
        return false;
    }
    InstallProcessGuards();
    KeepSessionLogFile();
    std::vector<std::wstring> arguments = ReadCommandLine();
    const RecoveryResult recovery = FinishInterruptedStep();
    MoveToProgramDirectory(&arguments);
    if (!MayPatch()) {
        RefuseStart();
        return false;
    }
    OpenWindow(recovery);
    ChooseRunMode(arguments.empty() ? std::wstring() : arguments[0], recovery.recovery);
    return true;
}

void OsmelPatcherApp::InstallProcessGuards() {
    // Usage and parser errors go to the terminal too, not to a dialog. wxWidgets owns
    // the object from here and deletes it at clean-up.
    auto* output = new wxMessageOutputStderr();
    delete wxMessageOutput::Set(output);  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)
    InstallCrashHandlers();
    AcquireSocketManager(1);
    messageText.fill(0);
    messageCaption.fill(0);
    if (SetFatalDumpName(L"patcher")) {
        EnableFatalExceptionGuard(FatalFromThread);
    }
    wxGuardedThread::SetFatalHandler(FatalFromThread);
}

std::vector<std::wstring> OsmelPatcherApp::ReadCommandLine() {
    std::vector<std::wstring> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(argv[i].ToStdWstring());
    }
    RepairArguments(&arguments);
    // Start-up changes the working directory: a relative directory on the command line
    // means the one the program was started in.
    ParseCommandLine(arguments, &options, wxGetCwd().ToStdWstring());
    PatchSettings& settings = PatchSettings::Instance();
    if (settings.GetInstallPath().empty()) {
        settings.SetInstallPath(FindInstallPath(L"KelvorSimulator", L"Kelvor"));
    }
    return arguments;
}

OsmelPatcherApp::RecoveryResult OsmelPatcherApp::FinishInterruptedStep() {
    // A patch step cut off by a kill, a crash or a power cut is finished before anything
    // else looks at the installation; the window shows what was done.
    RecoveryResult result;
    result.recovery =
        RecoverInstallation(PatchSettings::Instance().GetInstallPath(), &result.report);
    return result;
}

void OsmelPatcherApp::MoveToProgramDirectory(std::vector<std::wstring>* arguments) {
    if (arguments->empty()) {
        return;
    }
    // The module's own file name, as the original platform gives it: the archive is read
    // from it after the current directory has changed.
    (*arguments)[0] = wxStandardPaths::Get().GetExecutablePath().ToStdWstring();
    std::wstring executable = (*arguments)[0];
    NormaliseSeparators(executable, L'\\');
    const std::size_t slash = executable.rfind(L'\\');
    if (slash != std::wstring::npos) {
        Platform::SetCurrentDirectory(executable.substr(0, slash + 1));
    }
}

bool OsmelPatcherApp::MayPatch() {
    GetSessionServices().hasPatchRights = HasPatchRights;
    GetSessionServices().showMessageBox = ShowMessageBox;
    if (!options.adminSwitch) {
        return !ElevateIfNeeded();
    }
    if (HasPatchRights(PatchSettings::Instance().GetInstallPath())) {
        return true;
    }
    LoadMessageInto(132, messageText.data());
    LoadMessageInto(134, messageCaption.data());
    ShowMessageBox(messageText.data(), messageCaption.data());
    return false;
}

void OsmelPatcherApp::RefuseStart() {
    // OnExit does not run after a false OnInit: its clean-up is done here, and the exit
    // that follows is an orderly one, not a crash.
    ReleaseSocketManager();
    DisarmCrashHandlers();
}

void OsmelPatcherApp::OpenWindow(const RecoveryResult& recovery) {
    AppWindow* window = CreateMainWindow();
    window->ShowAsTopWindow();
    RegisterReportingCallbacks();
    // What the command line had to say before the window existed.
    for (const auto& [level, text] : options.startupLines) {
        ReportLogLine(level, text);
    }
    if (recovery.recovery != StepRecovery::kNone) {
        const bool whole = recovery.recovery == StepRecovery::kUndone ||
                           recovery.recovery == StepRecovery::kCompleted;
        ReportLogLine(whole ? LOG_NOTE : LOG_ERROR, recovery.report);
    }
}

void OsmelPatcherApp::ChooseRunMode(const std::wstring& executablePath, StepRecovery recovery) {
    AppWindow* window = GetAppWindow();
    LoadStandalonePatch(executablePath, false);
    window->RefreshInstallPath();
    window->StopRefreshTimer();
    const PatchSettings& settings = PatchSettings::Instance();
    // An unfinished step still holds the installation: a new step would replace its
    // journal, and with it the only record of how to put the files back. A repair may run.
    if ((recovery == StepRecovery::kFailed || recovery == StepRecovery::kUnreadable) &&
        !settings.RepairMode()) {
        window->DisableApplyButton();
        ReportLogLine(LOG_ERROR,
                      L"The installation needs a repair before it can be patched: an "
                      L"earlier patch step could not be finished. No patch was "
                      L"applied.");
        return;
    }
    if (settings.DownloadMode() || settings.RepairMode()) {
        window->StartSessionNow();
    } else if (!settings.StandaloneMode()) {
        window->DisableApplyButton();
        ReportLogLine(LOG_ERROR, L"No valid patch operation was specified. Patching aborted.");
    }
}

int OsmelPatcherApp::OnExit() {
    RunOnExitProgram();
    ReleaseSocketManager();
    DisarmCrashHandlers();
    return 0;
}

void OsmelPatcherApp::OnFatalException() {
    WriteFatalDump();
    // GTK belongs to the GUI thread: a worker's fault ends the process without the box,
    // which would otherwise race the GUI thread's own GTK calls or hang the process.
    if (wxThread::IsMain()) {
        ShowMessageBox(L"Unhandled Exception", L"Fatal Error");
    }
    std::_Exit(-1);
}

bool OsmelPatcherApp::ElevateIfNeeded() {
    PatchSettings& settings = PatchSettings::Instance();
    if (HasPatchRights(settings.GetInstallPath())) {
        return false;
    }
    const std::wstring parameters = ElevationParameters();
    SystemLog("parm: %s", ToNarrow(parameters).c_str());
    Platform::Handle process = nullptr;
    // The module's own path: argv[0] may be relative to a directory this process has left.
    const std::wstring executable = wxStandardPaths::Get().GetExecutablePath().ToStdWstring();
    bool elevated = Platform::ShellExecuteRunAs(executable, parameters, &process);
    if (elevated) {
        Platform::WaitForSingleObject(process, Platform::kInfinite);
        elevated = !Platform::ElevationRefused(process);
        Platform::CloseHandle(process);
    }
    if (!elevated) {
        LoadMessageInto(kElevationFailedText, messageText.data());
        LoadMessageInto(134, messageCaption.data());
        ShowMessageBox(messageText.data(), messageCaption.data());
    }
    RunOnExitProgram();
    return true;
}

void OsmelPatcherApp::RunOnExitProgram() {
    if (options.runOnExit && !options.onExitCommand.empty()) {
        StartOnExitProgram(options.onExitCommand);
    }
}

void OsmelPatcherApp::OnClearRunOnExit(wxCommandEvent& /*event*/) {
    options.runOnExit = false;
}

}  // namespace BexoPatch
