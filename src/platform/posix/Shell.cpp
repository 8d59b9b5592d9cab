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

}  // namespace

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
    if (information.thread != nullptr && information.thread != information.process) {
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
