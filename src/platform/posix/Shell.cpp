#include "platform/Shell.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/Files.h"
#include "platform/System.h"

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
    const std::wstring commandLine =
        L"\"" + pkexec + L"\" \"" + FromSystemPath(ToSystemPath(program)) + L"\" " + parameters;
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

bool SetCurrentDirectory(const std::wstring& path) {
    if (::chdir(ToSystemPath(path).c_str()) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

}  // namespace Platform
