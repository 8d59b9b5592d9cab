#include "app/OsmelPatcherApp.h"

#include <wx/msgdlg.h>
#include <wx/msgout.h>
#include <wx/stdpaths.h>
#include <wx/thread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/InstallDiscovery.h"
#include "crash/CrashHandlers.h"
#include "kernel/FileUtil.h"
#include "kernel/PatchSettings.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "net/CompletionPort.h"
#include "net/SocketError.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchingMarker.h"
#include "patch/StepJournal.h"
#include "platform/Registry.h"
#include "platform/Shell.h"
#include "platform/System.h"
#include "repair/buffer/BexoDataBuffer.h"
#include "session/PatchThread.h"
#include "session/SessionServices.h"

namespace BexoPatch {

namespace {

constexpr int ID_CLEAR_RUN_ON_EXIT = 1;
constexpr Platform::DWORD kOnExitWaitMs = 1000;

// GTK may only be called on the GUI thread. A session (another thread) does not wait for
// the box: the window could be joining that very thread while it closes.
void MessageBoxDialog(const std::wstring& text, const std::wstring& caption) {
    if (wxThread::IsMain() || wxTheApp == nullptr) {
        wxMessageBox(text, caption, wxOK);
        return;
    }
    wxTheApp->CallAfter([text, caption] { wxMessageBox(text, caption, wxOK); });
}

std::atomic<void (*)(const std::wstring&, const std::wstring&)> g_messageBox{MessageBoxDialog};

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
    EVT_MENU(ID_CLEAR_RUN_ON_EXIT, OsmelPatcherApp::OnClearRunOnExit) wxEND_EVENT_TABLE()

        void ShowMessageBox(const std::wstring& text, const std::wstring& caption) {
    g_messageBox.load()(text, caption);
}

void SetMessageBoxHandler(void (*handler)(const std::wstring& text, const std::wstring& caption)) {
    g_messageBox.store(handler != nullptr ? handler : MessageBoxDialog);
}

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

bool OsmelPatcherApp::OnInit() {
    // The socket library is started only for the length of OnInit; the sockets made
    // later keep it usable on their own.
    WinsockInit winsock;
    if (!winsock.Startup(2, 2)) {
        return false;
    }
    // Usage and parser errors go to the terminal, not to a dialog. wxWidgets owns the
    // object from here and deletes it at clean-up.
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

    std::vector<std::wstring> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(argv[i].ToStdWstring());
    }
    RepairArguments(&arguments);
    ParseCommandLine(arguments, &options);

    PatchSettings& settings = PatchSettings::Instance();
    if (settings.GetInstallPath().empty()) {
        settings.SetInstallPath(FindInstallPath(L"KelvorSimulator", L"Kelvor"));
    }
    // A patch step cut off by a kill, a crash or a power cut is finished before anything
    // else looks at the installation; the window shows what was done.
    std::wstring recoveryReport;
    StepRecovery recovery = StepRecovery::kNone;
    if (!settings.GetInstallPath().empty()) {
        recovery = RecoverInterruptedStep(settings.GetInstallPath(), &recoveryReport);
        // The installation is one whole build again: it is no longer being patched.
        if (recovery == StepRecovery::kUndone || recovery == StepRecovery::kCompleted) {
            ClearPatchingMarker();
        }
    }
    if (!arguments.empty()) {
        // The module's own file name, as the original platform gives it: the archive is
        // read from it after the current directory has changed.
        arguments[0] = wxStandardPaths::Get().GetExecutablePath().ToStdWstring();
        std::wstring executable = arguments[0];
        NormaliseSeparators(executable, L'\\');
        const std::size_t slash = executable.rfind(L'\\');
        if (slash != std::wstring::npos) {
            Platform::SetCurrentDirectory(executable.substr(0, slash + 1));
        }
    }

    GetSessionServices().hasPatchRights = HasPatchRights;
    GetSessionServices().showMessageBox = ShowMessageBox;
    if (options.adminSwitch) {
        if (!HasPatchRights(settings.GetInstallPath())) {
            LoadMessageInto(132, messageText.data());
            LoadMessageInto(134, messageCaption.data());
            ShowMessageBox(messageText.data(), messageCaption.data());
            // OnExit does not run after a false OnInit.
            ReleaseSocketManager();
            return false;
        }
    } else if (ElevateIfNeeded()) {
        ReleaseSocketManager();
        return false;
    }

    AppWindow* window = CreateMainWindow();
    window->ShowAsTopWindow();
    RegisterReportingCallbacks();
    if (recovery != StepRecovery::kNone) {
        ReportLogLine(recovery == StepRecovery::kUndone || recovery == StepRecovery::kCompleted
                          ? LOG_NOTE
                          : LOG_ERROR,
                      recoveryReport);
    }
    LoadStandalonePatch(arguments.empty() ? std::wstring() : arguments[0], false);
    window->RefreshInstallPath();
    window->StopRefreshTimer();
    if (settings.DownloadMode() || settings.RepairMode()) {
        window->StartSessionNow();
    } else if (!settings.StandaloneMode()) {
        window->DisableApplyButton();
        ReportLogLine(LOG_ERROR, L"No valid patch operation was specified. Patching aborted.");
    }
    return true;
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
    const std::string parameters = ElevationParameters();
    SystemLog("parm: %s", parameters.c_str());
    Platform::Handle process = nullptr;
    const std::wstring executable = argc > 0 ? argv[0].ToStdWstring() : std::wstring();
    if (Platform::ShellExecuteRunAs(executable, ToWide(parameters), &process)) {
        Platform::WaitForSingleObject(process, Platform::kInfinite);
        Platform::CloseHandle(process);
    } else {
        LoadMessageInto(132, messageText.data());
        LoadMessageInto(134, messageCaption.data());
        ShowMessageBox(messageText.data(), messageCaption.data());
    }
    RunOnExitProgram();
    return true;
}

void OsmelPatcherApp::RunOnExitProgram() {
    if (!options.runOnExit || options.onExitCommand.empty()) {
        return;
    }
    Platform::ProcessInformation information;
    if (!Platform::CreateProcess(options.onExitCommand, Platform::ProcessStartup{}, &information)) {
        std::fprintf(stderr, "%s%u\n", ToNarrow(LoadMessage(138)).c_str(),
                     Platform::GetLastError());
        std::fflush(stderr);
        return;
    }
    Platform::WaitForSingleObject(information.process, kOnExitWaitMs);
    Platform::CloseHandle(information.process);
}

void OsmelPatcherApp::OnClearRunOnExit(wxCommandEvent& /*event*/) {
    options.runOnExit = false;
}

}  // namespace BexoPatch
