#include "platform/Shell.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Files.h"
#include "platform/System.h"
#include "platform/Utf8.h"

namespace Platform {

namespace {

std::wstring FindOnPath(const std::string& name) {
    const std::optional<std::string> path = GetEnvironmentVariable("PATH");
    const std::string directories = path.value_or("/usr/local/bin:/usr/bin:/bin");
    std::size_t start = 0;
    while (start <= directories.size()) {
        std::size_t end = directories.find(':', start);
        if (end == std::string::npos) {
            end = directories.size();
        }
        const std::string candidate = directories.substr(start, end - start) + "/" + name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) {
            return FromSystemPath(candidate);
        }
        start = end + 1;
    }
    return {};
}

// The first argument of an elevated copy: its working directory, the settings (NAME=value)
// and "--" follow, then the copy's own arguments.
constexpr const char* kElevatedStart = "--osmel-elevated-start";
// The settings an elevated copy needs from its first process: the display and the user's
// session for the window, the temporary directory, and this system's own settings.
// pkexec clears the environment; only these names are taken back.
constexpr const char* kHandedOver[] = {
    "DISPLAY", "XAUTHORITY",     "WAYLAND_DISPLAY",     "XDG_RUNTIME_DIR",    "TEMP",
    "TMPDIR",  "OSMEL_REGISTRY", "OSMEL_REPAIR_SERVER", "OSMEL_PATCHER_PAGE", "LANG",
    "LC_ALL",  "LC_MESSAGES"};
// pkexec's status when the user dismissed the password prompt, and when authorisation
// failed or could not be asked for (no agent, wrong password).
constexpr DWORD kPkexecDismissed = 126;
constexpr DWORD kPkexecNotAuthorised = 127;

// An argument after the program name, quoted so that the Windows rules of CreateProcess
// give it back unchanged: backslashes are doubled only before a quote or the closing quote.
std::wstring QuoteArgument(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

}  // namespace

bool ShellExecute(const std::wstring& operation, const std::wstring& file,
                  const std::wstring& parameters, const std::wstring& directory,
                  int /*showCommand*/) {
    if (!operation.empty() && operation != L"open") {
        SetLastError(Error::NotSupported);
        return false;
    }
    const std::wstring launcher = FindOnPath("xdg-open");
    if (launcher.empty()) {
        SetLastError(Error::FileNotFound);
        return false;
    }
    std::wstring commandLine = L"\"" + launcher + L"\" " + QuoteArgument(file);
    if (!parameters.empty()) {
        commandLine += L" " + parameters;
    }
    ProcessStartup startup;
    startup.currentDirectory = directory;
    ProcessInformation information;
    if (!CreateProcess(commandLine, startup, &information)) {
        return false;
    }
    // On POSIX the thread handle is another reference to the process object: both close.
    if (information.thread != nullptr) {
        CloseHandle(information.thread);
    }
    CloseHandle(information.process);
    return true;
}

bool ShellExecuteRunAs(const std::wstring& program, const std::wstring& parameters,
                       Handle* process) {
    const std::wstring pkexec = FindOnPath("pkexec");
    if (pkexec.empty()) {
        SetLastError(Error::FileNotFound);
        return false;
    }
    // pkexec runs its program from root's home directory in an environment of its own,
    // and names the program in the password prompt: it gets the absolute path, and the
    // copy gets this process's directory and settings as its first arguments.
    std::string directory(PATH_MAX, '\0');
    if (::getcwd(directory.data(), directory.size()) == nullptr) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    directory.resize(std::char_traits<char>::length(directory.c_str()));
    std::string path = ToSystemPath(program);
    if (path.empty() || path[0] != '/') {
        path = directory + "/" + path;
    }
    if (::access(path.c_str(), X_OK) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    std::wstring commandLine = QuoteArgument(pkexec) + L" " + QuoteArgument(DecodeUtf8(path)) +
                               L" " + DecodeUtf8(kElevatedStart) + L" " +
                               QuoteArgument(DecodeUtf8(directory));
    for (const char* name : kHandedOver) {
        if (const std::optional<std::string> value = GetEnvironmentVariable(name)) {
            commandLine += L" " + QuoteArgument(DecodeUtf8(std::string(name) + "=" + *value));
        }
    }
    commandLine += L" --";
    if (!parameters.empty()) {
        commandLine += L" " + parameters;
    }
    ProcessInformation information;
    if (!CreateProcess(commandLine, ProcessStartup{}, &information)) {
        return false;
    }
    // On POSIX the thread handle is another reference to the process object: both close.
    if (information.thread != nullptr) {
        CloseHandle(information.thread);
    }
    *process = information.process;
    return true;
}

bool ElevationRefused(Handle process) {
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) &&
           (code == kPkexecDismissed || code == kPkexecNotAuthorised);
}

void AdoptElevatedStart(int* argc, char** argv) {
    if (*argc < 3 || std::strcmp(argv[1], kElevatedStart) != 0) {
        return;
    }
    int end = 3;
    while (end < *argc && std::strcmp(argv[end], "--") != 0) {
        ++end;
    }
    if (end == *argc) {
        return;  // not what ShellExecuteRunAs writes: left to the command line parser
    }
    // The directory is only a courtesy: a copy that cannot enter it runs from where it is.
    [[maybe_unused]] const int entered = ::chdir(argv[2]);
    for (int i = 3; i < end; ++i) {
        const char* equals = std::strchr(argv[i], '=');
        if (equals == nullptr) {
            continue;
        }
        const std::string name(argv[i], static_cast<std::size_t>(equals - argv[i]));
        for (const char* known : kHandedOver) {
            if (name == known) {
                ::setenv(known, equals + 1, 1);
            }
        }
    }
    // argv keeps its terminating null pointer.
    const int removed = end;
    for (int i = 1; i + removed <= *argc; ++i) {
        argv[i] = argv[i + removed];
    }
    *argc -= removed;
}

bool SetCurrentDirectory(const std::wstring& path) {
    if (::chdir(ToSystemPath(path).c_str()) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

}  // namespace Platform
