#include "platform/System.h"

#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "platform/FileLimit.h"
#include "platform/Files.h"

namespace Platform {

namespace {

thread_local DWORD t_lastError = 0;

// A write to a pipe or socket whose reader went away (the parent that served the system
// log pipe, a closed connection) fails with EPIPE, as on Windows, instead of ending the
// program: every program of ours links this file, so each ignores SIGPIPE itself, before
// main. Children get the default back (CreateProcess resets it).
[[maybe_unused]] const bool g_brokenPipesIgnored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}

std::vector<std::string> GetCommandLineArguments(int argc, char** argv) {
    return {argv, argv + argc};
}

void SetLastErrorFromErrno(int errnoValue) {
    SetLastError(Win32ErrorFromErrno(errnoValue));
}

void ReturnFreeMemory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

std::uint64_t RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

bool SetOpenFileLimitForTests(std::uint64_t value) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    limit.rlim_cur = static_cast<rlim_t>(value);
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

std::uint64_t GetTickCount64() {
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

DWORD GetTickCount() {
    return static_cast<DWORD>(GetTickCount64());
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(::getpid());
}

bool IsProcessActive(DWORD processId) {
    if (processId == 0 || processId > 0x7FFFFFFFu) {
        return false;
    }
    const auto pid = static_cast<pid_t>(processId);
    if (::kill(pid, 0) != 0 && errno != EPERM) {
        return false;
    }
    // A zombie has exited; only its exit status is left for the parent.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) {
        return false;
    }
    const char state = line[close + 2];
    return state != 'Z' && state != 'X';
}

std::optional<std::string> GetEnvironmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

bool SetEnvironmentVariable(const char* name, const char* value) {
    const int result = value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
    if (result != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

bool GetVersionEx(OsVersion* /*version*/) {
    SetLastError(Error::NotSupported);
    return false;
}

void* LoadLibrary(const std::wstring& /*name*/) {
    SetLastError(Error::NotSupported);
    return nullptr;
}

bool IsDebuggerPresent() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
        }
    }
    return false;
}

void OutputDebugString(const char* text) {
    if (!IsDebuggerPresent()) {
        return;
    }
    std::string s(text);
    const ssize_t written = ::write(STDERR_FILENO, s.data(), s.size());
    (void)written;
}

bool WriteStdout(const void* data, std::size_t size) {
    const ssize_t written = ::write(STDOUT_FILENO, data, size);
    return written >= 0 && static_cast<std::size_t>(written) == size;
}

bool RedirectStdoutToParentPipe() {
    std::wstring name = GetTempDirectory();
    if (!name.empty() && name.back() != L'\\') {
        name += L'\\';
    }
    name += std::to_wstring(GetCurrentProcessId()) + L"cout";
    const std::string path = ToSystemPath(name);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        return false;
    }
    // Non-blocking open fails at once when no reader holds the FIFO, as opening a pipe
    // that nobody serves fails on Windows.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const bool ok = ::dup2(fd, STDOUT_FILENO) >= 0;
    ::close(fd);
    return ok;
}

std::wstring GetTempDirectory() {
    for (const char* name : {"TEMP", "TMPDIR"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return FromSystemPath(value);
        }
    }
    return FromSystemPath("/tmp");
}

std::wstring GetStateDirectory() {
    // XDG's base directory rules: a relative XDG_STATE_HOME is ignored.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return FromSystemPath(std::string(state) + "/osmel");
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return FromSystemPath(std::string(home) + "/.local/state/osmel");
    }
    return {};
}

}  // namespace Platform
