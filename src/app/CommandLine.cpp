#include "app/CommandLine.h"

#include "app/InstallDiscovery.h"

#include <wx/cmdline.h>
#include <wx/msgout.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>

#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"

namespace BexoPatch {

namespace {

constexpr std::size_t kHelpUnits = 64;

struct OptionRow {
    wxCmdLineEntryType kind;
    const char* shortName;
    const char* longName;
    std::uint32_t helpId;
};

constexpr std::array<OptionRow, 9> kOptions{{
    {wxCMD_LINE_SWITCH, "h", "help", 121},
    {wxCMD_LINE_SWITCH, "a", "admin", 122},
    {wxCMD_LINE_PARAM, "c", "current", 123},
    {wxCMD_LINE_OPTION, "l", "list", 124},
    {wxCMD_LINE_OPTION, "s", "server", 125},
    {wxCMD_LINE_OPTION, "f", "final", 126},
    {wxCMD_LINE_PARAM, "t", "target", 127},
    {wxCMD_LINE_SWITCH, "r", "repair", 129},
    {wxCMD_LINE_OPTION, "o", "onexit", 130},
}};

void UsageToStandardError(const std::wstring& text) {
    std::fputs(WideToUtf8(text).c_str(), stderr);
    std::fflush(stderr);
}

std::atomic<void (*)(const std::wstring&)> g_usageOutput{UsageToStandardError};

void ShowUsage(const wxString& text) {
    g_usageOutput.load()(text.ToStdWstring());
}

// Collects what the parser reports, to show it with the usage.
class CollectedOutput : public wxMessageOutput {
public:
    wxString text;

protected:
    void Output(const wxString& message) override { text += message; }
};

// wx 3.2 also takes a long option's value from the next argument; here a long option
// with a value must carry it after "=".
bool LongOptionsWellFormed(const std::vector<std::wstring>& arguments, wxString* error) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument == L"--") {
            return true;
        }
        for (const OptionRow& row : kOptions) {
            if (row.kind == wxCMD_LINE_OPTION && argument == L"--" + ToWide(row.longName)) {
                *error = wxString::Format("Option '%s' requires a value after '='.", row.longName);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

void SetUsageOutput(void (*output)(const std::wstring& text)) {
    g_usageOutput.store(output != nullptr ? output : UsageToStandardError);
}

bool ParseCommandLine(const std::vector<std::wstring>& arguments, CommandLineOptions* options) {
    // The parser keeps pointers into the table and its texts until it has parsed.
    std::array<std::string, kOptions.size()> helpTexts;
    std::array<wxCmdLineEntryDesc, kOptions.size() + 1> table{};
    for (std::size_t i = 0; i < kOptions.size(); ++i) {
        std::array<wchar_t, kMessageBufferUnits> message{};
        LoadMessageInto(kOptions[i].helpId, message.data());
        std::wstring text(message.data());
        text.resize(std::min(text.size(), kHelpUnits - 1));
        helpTexts[i] = WideToUtf8(text);
        table[i].kind = kOptions[i].kind;
        table[i].shortName = kOptions[i].shortName;
        table[i].longName = kOptions[i].longName;
        table[i].description = helpTexts[i].c_str();
        table[i].type = wxCMD_LINE_VAL_STRING;
        table[i].flags = kOptions[i].kind == wxCMD_LINE_PARAM ? wxCMD_LINE_PARAM_OPTIONAL : 0;
    }
    table[kOptions.size()].kind = wxCMD_LINE_NONE;

    std::vector<std::wstring> copies(arguments);
    std::vector<wchar_t*> argv;
    argv.reserve(copies.size() + 1);
    for (std::wstring& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    wxCmdLineParser parser(table.data());
    parser.SetCmdLine(static_cast<int>(copies.size()), argv.data());
    parser.EnableLongOptions(true);

    wxString error;
    if (!LongOptionsWellFormed(arguments, &error)) {
        ShowUsage(error + "\n" + parser.GetUsageString());
        return false;
    }
    {
        // The parser reports its errors through wx's message output; gather them with
        // the usage instead.
        CollectedOutput errors;
        wxMessageOutput* previous = wxMessageOutput::Set(&errors);
        const int result = parser.Parse(false);
        wxMessageOutput::Set(previous);
        if (result != 0) {
            ShowUsage(errors.text + parser.GetUsageString());
            return false;
        }
    }
    if (parser.Found("h")) {
        ShowUsage(parser.GetUsageString());
    }

    PatchSettings& settings = PatchSettings::Instance();
    wxString value;
    options->runOnExit = parser.Found("o", &value);
    options->onExitCommand = options->runOnExit ? value.ToStdWstring() : std::wstring();
    if (parser.Found("f", &value)) {
        settings.SetFinalVersion(ToNarrow(value.ToStdWstring()));
    }
    settings.SetRepairMode(parser.Found("r"));

    const std::size_t positional = parser.GetParamCount();
    if (positional == 0) {
        return false;
    }
    const std::wstring first = parser.GetParam(0).ToStdWstring();
    const std::wstring directory = parser.GetParam(positional - 1).ToStdWstring();
    settings.SetInstallPath(ToWide(ToNarrow(directory)));
    const std::wstring installPath = settings.GetInstallPath();
    if (!RunListBuilds(JoinPath(installPath, L"bin\\KelvorUtil.exe"),
                       JoinPath(installPath, L"bin\\buildList.txt"))) {
        settings.SetCurrentVersion(ToNarrow(first));
    }
    if (parser.Found("s", &value)) {
        const std::wstring& servers = value.ToStdWstring();
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = servers.find(L';', start);
            settings.AddServer(servers.substr(start, end - start));
            if (end == std::wstring::npos) {
                break;
            }
            start = end + 1;
        }
    }
    if (parser.Found("l", &value)) {
        const std::string listPath = ToNarrow(value.ToStdWstring());
        if (!ReadServerList(listPath)) {
            ReportLogLine(LOG_ERROR, LoadMessage(136) + ToWide(listPath));
        }
    }
    if (!settings.Servers().empty()) {
        settings.SetDownloadMode(true);
    }
    options->adminSwitch = parser.Found("a");
    return true;
}

bool ReadServerList(const std::string& path) {
    std::ifstream file(WideToUtf8(ToWide(path)), std::ios::binary);
    if (!file) {
        return false;
    }
    const std::string content((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
    if (content.empty()) {
        return false;
    }
    // Lines end at any line break: CR LF, LF or CR.
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < content.size(); ++i) {
        const char c = content[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') {
                ++i;
            }
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    PatchSettings& settings = PatchSettings::Instance();
    for (const std::string& server : lines) {
        settings.AddServer(ToWide(server));
    }
    return true;
}

void RepairArguments(std::vector<std::wstring>* arguments) {
    for (std::wstring& argument : *arguments) {
        if (argument.size() >= 2 && argument.ends_with(L"\\\"")) {
            argument.pop_back();
        }
    }
}

std::string ElevationParameters() {
    PatchSettings& settings = PatchSettings::Instance();
    std::string text = "--admin ";
    if (settings.RepairMode()) {
        text += "--repair ";
    }
    const std::vector<std::wstring> servers = settings.Servers();
    if (!servers.empty()) {
        text += "--server=\"";
        for (std::size_t i = 0; i < servers.size(); ++i) {
            text += (i == 0 ? "" : ";") + ToNarrow(servers[i]);
        }
        text += "\" ";
    }
    text += "--final=" + settings.GetFinalVersion();
    text += " " + settings.GetCurrentVersion();
    text += " \"" + ToNarrow(settings.GetInstallPath()) + "\"";
    return text;
}

}  // namespace BexoPatch
