#include "app/OsmelPatcherApp.h"

#include <wx/cmdline.h>
#include <wx/filename.h>
#include <wx/msgout.h>
#include <wx/textfile.h>

#include <cstdio>

#include "app/PatchSettings.h"
#include "crash/CrashHandlers.h"
#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/Text.h"
#include "net/CompletionPort.h"
#include "net/SocketError.h"
#include "patch/PatchCallbacks.h"
#include "patch/StepJournal.h"
#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/System.h"
#include "session/PatchSession.h"
#include "ui/MainFrame.h"

namespace BexoPatch {

namespace {

// Long options that take a value; "--server x" (without "=") is a syntax error for them,
// though the parser itself would accept it.
const wchar_t* const kValueOptions[] = {L"--list", L"--server", L"--final", L"--onexit"};

const wchar_t kNoOperation[] = L"No valid patch operation was specified. Patching aborted.";

void ShowBox(std::uint32_t text, std::uint32_t caption) {
    wxMessageBox(LoadMessage(text), LoadMessage(caption), wxOK);
}

}  // namespace

void RepairArguments(std::vector<std::wstring>* arguments) {
    for (std::wstring& argument : *arguments) {
        if (argument.size() >= 2 && argument.compare(argument.size() - 2, 2, L"\\\"") == 0) {
            argument.pop_back();
        }
    }
}

bool ReadServerList(const std::string& path) {
    wxTextFile file(ToWide(path));
    if (!file.Exists() || !file.Open(wxConvUTF8) || file.GetLineCount() == 0) {
        return false;
    }
    for (wxString line = file.GetFirstLine(); !file.Eof(); line = file.GetNextLine()) {
        PatchSettings::Instance().AddServer(line.ToStdWstring());
    }
    PatchSettings::Instance().AddServer(file.GetLastLine().ToStdWstring());
    return true;
}

bool ParseCommandLine(const std::vector<std::wstring>& arguments, CommandLineResult* result) {
    // The help texts stay valid while the parser holds the table.
    wxString help[9];
    const std::uint32_t ids[9] = {121, 122, 123, 124, 125, 126, 127, 129, 130};
    for (int i = 0; i < 9; ++i) {
        help[i] = LoadMessage(ids[i]);
    }
    const wxCmdLineEntryDesc table[] = {
        {wxCMD_LINE_SWITCH, "h", "help", help[0].c_str(), wxCMD_LINE_VAL_NONE, 0},
        {wxCMD_LINE_SWITCH, "a", "admin", help[1].c_str(), wxCMD_LINE_VAL_NONE, 0},
        {wxCMD_LINE_PARAM, "c", "current", help[2].c_str(), wxCMD_LINE_VAL_STRING,
         wxCMD_LINE_PARAM_OPTIONAL},
        {wxCMD_LINE_OPTION, "l", "list", help[3].c_str(), wxCMD_LINE_VAL_STRING, 0},
        {wxCMD_LINE_OPTION, "s", "server", help[4].c_str(), wxCMD_LINE_VAL_STRING, 0},
        {wxCMD_LINE_OPTION, "f", "final", help[5].c_str(), wxCMD_LINE_VAL_STRING, 0},
        {wxCMD_LINE_PARAM, "t", "target", help[6].c_str(), wxCMD_LINE_VAL_STRING,
         wxCMD_LINE_PARAM_OPTIONAL},
        {wxCMD_LINE_SWITCH, "r", "repair", help[7].c_str(), wxCMD_LINE_VAL_NONE, 0},
        {wxCMD_LINE_OPTION, "o", "onexit", help[8].c_str(), wxCMD_LINE_VAL_STRING, 0},
        wxCMD_LINE_DESC_END};
    std::vector<std::wstring> words{L"osmel-patcher"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<wchar_t*> argv;
    argv.reserve(words.size() + 1);
    for (std::wstring& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    wxCmdLineParser parser(table);
    parser.SetCmdLine(static_cast<int>(words.size()), argv.data());
    bool syntaxError = false;
    for (const std::wstring& argument : arguments) {
        for (const wchar_t* option : kValueOptions) {
            if (argument == option) {
                syntaxError = true;
            }
        }
    }
    if (syntaxError || parser.Parse(false) != 0) {
        parser.Usage();
        result->syntaxError = true;
        return false;
    }
    PatchSettings& settings = PatchSettings::Instance();
    result->help = parser.Found("h");
    if (result->help) {
        parser.Usage();
    }
    wxString value;
    result->runOnExit = parser.Found("o", &value);
    result->onExitCommand = value.ToStdWstring();
    if (parser.Found("f", &value)) {
        settings.SetFinalVersion(ToNarrow(value.ToStdWstring()));
    }
    settings.SetRepairMode(parser.Found("r"));
    const std::size_t positional = parser.GetParamCount();
    if (positional == 0) {
        return false;
    }
    const std::wstring directory = parser.GetParam(positional - 1).ToStdWstring();
    settings.SetInstallPath(ToWide(ToNarrow(directory)));
    // The build list tool is not run yet: the first parameter stands for the build.
    settings.SetCurrentVersion(ToNarrow(parser.GetParam(0).ToStdWstring()));
    if (parser.Found("s", &value)) {
        const std::wstring& servers = value.ToStdWstring();
        std::size_t start = 0;
        for (;;) {
            const std::size_t semicolon = servers.find(L';', start);
            settings.AddServer(servers.substr(start, semicolon - start));
            if (semicolon == std::wstring::npos) {
                break;
            }
            start = semicolon + 1;
        }
    }
    if (parser.Found("l", &value) && !ReadServerList(ToNarrow(value.ToStdWstring()))) {
        ReportLogLine(LOG_ERROR, LoadMessage(136) + value.ToStdWstring());
    }
    if (!settings.Servers().empty()) {
        settings.SetDownloadMode(true);
    }
    result->admin = parser.Found("a");
    return true;
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
    SetFatalDumpName(L"patcher");

    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(argv[i].ToStdWstring());
    }
    RepairArguments(&arguments);
    CommandLineResult command;
    ParseCommandLine(arguments, &command);
    m_runOnExit = command.runOnExit;
    m_onExitCommand = command.onExitCommand;
    m_adminSwitch = command.admin;

    PatchSettings& settings = PatchSettings::Instance();
    // A patch step cut off by a kill, a crash or a power cut is finished before anything
    // else looks at the installation; the window shows what was done.
    std::wstring recoveryReport;
    StepRecovery recovery = StepRecovery::kNone;
    if (!settings.GetInstallPath().empty()) {
        recovery = RecoverInterruptedStep(settings.GetInstallPath(), &recoveryReport);
    }
    const wxFileName executable(argv[0]);
    if (executable.GetPath().length() > 0) {
        wxSetWorkingDirectory(executable.GetPath());
    }
    if (!HasPatchRights(settings.GetInstallPath())) {
        // Without rights, and with no way to ask for more here, the user is told what to
        // do; without the switch "admin" the on-exit program still runs.
        ShowBox(132, 134);
        if (!m_adminSwitch) {
            RunOnExitProgram();
        }
        // OnExit does not run after a false OnInit, so the manager is released here.
        ReleaseSocketManager();
        return false;
    }

    auto* frame = new MainFrame(L"Osmel Patcher ", settings.RepairMode());
    frame->Show();
    SetTopWindow(frame);
    SetPatchCallbacks(nullptr, &ContinueQuery, &PostLogLine);
    if (recovery != StepRecovery::kNone) {
        ReportLogLine(recovery == StepRecovery::kUndone || recovery == StepRecovery::kCompleted
                          ? LOG_NOTE
                          : LOG_ERROR,
                      recoveryReport);
    }
    frame->RefreshInstallPath();
    if (settings.DownloadMode() || settings.RepairMode()) {
        wxCommandEvent event(wxEVT_BUTTON, ID_APPLY);
        frame->StartSession(event);
    } else if (!settings.StandaloneMode()) {
        frame->DisableApply();
        ReportLogLine(LOG_ERROR, kNoOperation);
    }
    return true;
}

void OsmelPatcherApp::RunOnExitProgram() {
    if (!m_runOnExit || m_onExitCommand.empty()) {
        return;
    }
    Platform::ProcessStartup startup;
    Platform::ProcessInformation process;
    if (!Platform::CreateProcess(m_onExitCommand, startup, &process)) {
        std::fprintf(stderr, "%s%u\n", ToNarrow(LoadMessage(138)).c_str(),
                     Platform::GetLastError());
        std::fflush(stderr);
        return;
    }
    Platform::WaitForSingleObject(process.process, 1000);
    Platform::CloseHandle(process.process);
    Platform::CloseHandle(process.thread);
}

int OsmelPatcherApp::OnExit() {
    RunOnExitProgram();
    ReleaseSocketManager();
    DisarmCrashHandlers();
    return 0;
}

void OsmelPatcherApp::OnFatalException() {
    WriteFatalDump();
    wxMessageBox("Unhandled Exception", "Fatal Error", wxOK);
    std::_Exit(-1);
}

}  // namespace BexoPatch
