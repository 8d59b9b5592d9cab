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

// "/x", "\\x" and "C:..." are absolute; anything else depends on the working directory.
bool IsAbsolutePath(const std::wstring& path) {
    return (!path.empty() && (path[0] == L'/' || path[0] == L'\\')) ||
           (path.size() >= 2 && path[1] == L':');
}

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

bool ParseCommandLine(const std::vector<std::wstring>& arguments, CommandLineOptions* options,
                      const std::wstring& workingDirectory) {
    const auto usage = [options](std::int32_t level, const wxString& text) {
        ShowUsage(text);
        options->startupLines.emplace_back(level, text.ToStdWstring());
    };
    wxCmdLineParser parser;
    for (const OptionRow& row : kOptions) {
        std::array<wchar_t, kMessageBufferUnits> message{};
        LoadMessageInto(row.helpId, message.data());
        std::wstring text(message.data());
        text.resize(std::min(text.size(), kHelpUnits - 1));
        // Handed over as wide text: a narrow description would go through the C
        // locale's conversion, which drops any text with a character outside ASCII.
        const wxString help(text);
        switch (row.kind) {
            case wxCMD_LINE_SWITCH:
                parser.AddSwitch(row.shortName, row.longName, help);
                break;
            case wxCMD_LINE_OPTION:
                parser.AddOption(row.shortName, row.longName, help);
                break;
            default:
                parser.AddParam(help, wxCMD_LINE_VAL_STRING, wxCMD_LINE_PARAM_OPTIONAL);
                break;
        }
    }
    for (const ExtraOption& extra : options->extra) {
        const wxString help = wxString::FromUTF8(extra.help);
        if (extra.takesValue) {
            parser.AddLongOption(extra.longName, help);
        } else {
            parser.AddLongSwitch(extra.longName, help);
        }
    }

    std::vector<std::wstring> copies(arguments);
    std::vector<wchar_t*> argv;
    argv.reserve(copies.size() + 1);
    for (std::wstring& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    parser.SetCmdLine(static_cast<int>(copies.size()), argv.data());
    parser.EnableLongOptions(true);

    wxString error;
    if (!LongOptionsWellFormed(arguments, &error)) {
        usage(LOG_ERROR, error + "\n" + parser.GetUsageString());
        options->syntaxError = true;
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
            usage(LOG_ERROR, errors.text + parser.GetUsageString());
            options->syntaxError = true;
            return false;
        }
    }
    if (parser.Found("h")) {
        usage(LOG_NORMAL, parser.GetUsageString());
        options->helpAsked = true;
    }

    wxString value;
    for (ExtraOption& extra : options->extra) {
        extra.found =
            extra.takesValue ? parser.Found(extra.longName, &value) : parser.Found(extra.longName);
        extra.value = extra.found && extra.takesValue ? value.ToStdWstring() : std::wstring();
    }

    PatchSettings& settings = PatchSettings::Instance();
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
    std::wstring directory = parser.GetParam(positional - 1).ToStdWstring();
    // Start-up changes the working directory later: a relative directory means the one
    // the program was started in.
    if (!IsAbsolutePath(directory) && !workingDirectory.empty()) {
        directory = JoinPath(workingDirectory, directory);
    }
    settings.SetInstallPath(FileSystemPath(directory));
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
            options->startupLines.emplace_back(LOG_ERROR, LoadMessage(136) + ToWide(listPath));
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
    // One byte beyond the limit tells a list that is too long (or endless, as a device).
    std::string content(kMaxServerListBytes + 1, '\0');
    file.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(file.gcount()));
    if (content.empty() || content.size() > kMaxServerListBytes) {
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

std::wstring QuoteArgument(const std::wstring& value) {
    if (!value.empty() && value.find_first_of(L" \t\"") == std::wstring::npos) {
        return value;
    }
    // Backslashes count only before a quote: those are doubled, and so are the ones at
    // the end, which come before the closing quote.
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : value) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

std::wstring ElevationParameters() {
    PatchSettings& settings = PatchSettings::Instance();
    std::wstring text = L"--admin ";
    if (settings.RepairMode()) {
        text += L"--repair ";
    }
    const std::vector<std::wstring> servers = settings.Servers();
    if (!servers.empty()) {
        std::string list;
        for (std::size_t i = 0; i < servers.size(); ++i) {
            list += (i == 0 ? "" : ";") + ToNarrow(servers[i]);
        }
        text += QuoteArgument(ToWide("--server=" + list)) + L" ";
    }
    text += QuoteArgument(ToWide("--final=" + settings.GetFinalVersion()));
    text += L" " + QuoteArgument(ToWide(settings.GetCurrentVersion()));
    // The directory as the file system names it: whole on POSIX, so that the copy finds
    // the same folder; through the narrow entry points on Windows, as ever.
    text += L" " + QuoteArgument(FileSystemPath(settings.GetInstallPath()));
    return text;
}

}  // namespace BexoPatch
