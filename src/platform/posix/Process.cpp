#include "platform/Process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "platform/Utf8.h"
#include "platform/posix/KernelObject.h"

extern char** environ;

namespace Platform {

namespace {

struct PipeObject final : KernelObject {
    explicit PipeObject(int descriptor) : KernelObject(Kind::Pipe), fd(descriptor) {}
    ~PipeObject() override { ::close(fd); }
    PipeObject(const PipeObject&) = delete;
    PipeObject& operator=(const PipeObject&) = delete;

    bool TryAcquire(bool* /*abandoned*/, unsigned long long /*waitGeneration*/) override {
        return false;
    }

    const int fd;
};

// A child process. A reaper thread waits for the child to exit without reaping it,
// then reaps it and marks the object ended under `lock`. TerminateProcess signals only
// under `lock` while the object has not ended, so the process id it signals can never
// belong to a different process: an exited child keeps its id until it is reaped.
struct ProcessObject final : KernelObject {
    explicit ProcessObject(pid_t id) : KernelObject(Kind::Process), pid(id) {}

    bool TryAcquire(bool* /*abandoned*/, unsigned long long /*waitGeneration*/) override {
        return ended;
    }

    const pid_t pid;
    bool ended = false;
    DWORD exitCode = kStillActive;
    bool terminated = false;
    DWORD terminateCode = 0;
};

PipeObject* AsPipe(Handle h) {
    if (h == nullptr || h->kind != KernelObject::Kind::Pipe) {
        return nullptr;
    }
    return static_cast<PipeObject*>(h);
}

ProcessObject* AsProcess(Handle h) {
    if (h == nullptr || h->kind != KernelObject::Kind::Process) {
        SetLastError(Error::InvalidHandle);
        return nullptr;
    }
    return static_cast<ProcessObject*>(h);
}

void* Reap(void* raw) {
    auto* process = static_cast<ProcessObject*>(raw);
    siginfo_t info{};
    int rc = 0;
    do {
        rc = ::waitid(P_PID, static_cast<id_t>(process->pid), &info, WEXITED | WNOWAIT);
    } while (rc != 0 && errno == EINTR);
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(process->lock);
        int status = 0;
        // Fails only when someone else reaped the child (SIGCHLD ignored); the exit
        // status is then lost.
        const pid_t reaped = ::waitpid(process->pid, &status, 0);
        if (process->terminated) {
            process->exitCode = process->terminateCode;
        } else if (reaped == process->pid && WIFEXITED(status)) {
            process->exitCode = static_cast<DWORD>(WEXITSTATUS(status));
        } else if (reaped == process->pid && WIFSIGNALED(status)) {
            process->exitCode = 128u + static_cast<DWORD>(WTERMSIG(status));
        } else {
            process->exitCode = 1;
        }
        process->ended = true;
        // The reaper's reference goes before the end is announced, so that a waiter that
        // closes the last handle frees the object at once.
        last = process->refs.fetch_sub(1, std::memory_order_acq_rel) == 1;
        process->changed.notify_all();
    }
    if (last) {
        delete process;
    }
    return nullptr;
}

// Starts the reaper as a detached thread that needs nothing from the heap.
bool StartReaper(ProcessObject* process) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, std::max<std::size_t>(PTHREAD_STACK_MIN, 64 * 1024));
    pthread_t thread;
    const int rc = pthread_create(&thread, &attributes, Reap, process);
    pthread_attr_destroy(&attributes);
    return rc == 0;
}

// The program's path as exec takes it. A relative path with a directory part is made
// absolute here, because the child changes its directory before exec and Windows
// resolves the program against the parent's directory.
std::string ProgramPath(const std::wstring& program) {
    std::string path = ToSystemPath(program);
    if (path.find('/') == std::string::npos || path.front() == '/') {
        return path;
    }
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
        return path;
    }
    return std::string(cwd) + "/" + path;
}

class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
};

// posix_spawn cannot ask for the parent-death signal, so this child is forked: between
// fork and exec it makes only async-signal-safe calls, and an exec failure travels back
// through a close-on-exec pipe as its errno. Returns 0 or an errno value.
int SpawnEndingWithParent(pid_t* pid, const char* path, const ProcessStartup& startup,
                          char* const* argv) {
    int outFd = -1;
    int errFd = -1;
    if (startup.stdOutput != nullptr) {
        outFd = AsPipe(startup.stdOutput)->fd;
    }
    if (startup.stdError != nullptr) {
        errFd = AsPipe(startup.stdError)->fd;
    }
    const std::string directory =
        startup.currentDirectory.empty() ? std::string() : ToSystemPath(startup.currentDirectory);
    const bool search = std::string_view(path).find('/') == std::string_view::npos;
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return errno;
    }
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return error;
    }
    if (child == 0) {
        int error = 0;
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
            ::_exit(127);
        }
        if ((outFd >= 0 && ::dup2(outFd, STDOUT_FILENO) < 0) ||
            (errFd >= 0 && ::dup2(errFd, STDERR_FILENO) < 0) ||
            (!directory.empty() && ::chdir(directory.c_str()) != 0)) {
            error = errno;
        }
        if (error == 0) {
            struct sigaction defaults {};
            defaults.sa_handler = SIG_DFL;
            for (int signal = 1; signal < NSIG; ++signal) {
                ::sigaction(signal, &defaults, nullptr);
            }
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (!startup.inheritHandles) {
                // Everything above 2 but the report pipe, which closes itself at exec.
                for (int fd = 3; fd < 1024; ++fd) {
                    if (fd != report[1]) {
                        ::close(fd);
                    }
                }
            }
            if (search) {
                ::execvp(path, argv);
            } else {
                ::execv(path, argv);
            }
            error = errno;
        }
        const ssize_t written = ::write(report[1], &error, sizeof error);
        (void)written;
        ::_exit(127);
    }
    ::close(report[1]);
    int error = 0;
    ssize_t n = 0;
    do {
        n = ::read(report[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof error)) {
        ::waitpid(child, nullptr, 0);
        return error;
    }
    *pid = child;
    return 0;
}

}  // namespace

bool CreatePipe(Handle* readEnd, Handle* writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    *readEnd = new PipeObject(fds[0]);
    *writeEnd = new PipeObject(fds[1]);
    return true;
}

bool ReadFile(Handle file, void* buffer, DWORD size, DWORD* bytesRead) {
    *bytesRead = 0;
    PipeObject* pipe = AsPipe(file);
    if (pipe == nullptr) {
        SetLastError(Error::InvalidHandle);
        return false;
    }
    if (size == 0) {
        return true;
    }
    ssize_t n = 0;
    do {
        n = ::read(pipe->fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    if (n == 0) {
        SetLastError(Error::BrokenPipe);
        return false;
    }
    *bytesRead = static_cast<DWORD>(n);
    return true;
}

bool CreateProcess(const std::wstring& commandLine, const ProcessStartup& startup,
                   ProcessInformation* information) {
    const std::vector<std::wstring> arguments = SplitWindowsCommandLine(commandLine);
    if (arguments.front().empty()) {
        SetLastError(Error::FileNotFound);
        return false;
    }
    std::vector<std::string> argumentBytes;
    argumentBytes.reserve(arguments.size());
    argumentBytes.push_back(ProgramPath(arguments.front()));
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        argumentBytes.push_back(EncodeUtf8(arguments[i]));
    }
    std::vector<char*> argv;
    argv.reserve(argumentBytes.size() + 1);
    for (std::string& argument : argumentBytes) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    SpawnSetup setup;
    int rc = 0;
    for (const auto& [handle, target] : {std::pair{startup.stdOutput, STDOUT_FILENO},
                                         std::pair{startup.stdError, STDERR_FILENO}}) {
        if (handle == nullptr) {
            continue;
        }
        PipeObject* pipe = AsPipe(handle);
        if (pipe == nullptr) {
            SetLastError(Error::InvalidHandle);
            return false;
        }
        rc = rc != 0 ? rc : posix_spawn_file_actions_adddup2(&setup.actions, pipe->fd, target);
    }
    if (!startup.inheritHandles) {
        rc = rc != 0 ? rc : posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    }
    if (!startup.currentDirectory.empty()) {
        const std::string directory = ToSystemPath(startup.currentDirectory);
        rc = rc != 0 ? rc : posix_spawn_file_actions_addchdir_np(&setup.actions, directory.c_str());
    }
    // The child starts with default signal handling and nothing blocked, whatever this
    // process set up for itself (ignored SIGPIPE, blocked signals of worker threads).
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    rc = rc != 0 ? rc : posix_spawnattr_setsigdefault(&setup.attributes, &all);
    rc = rc != 0 ? rc : posix_spawnattr_setsigmask(&setup.attributes, &none);
    rc = rc != 0 ? rc
                 : posix_spawnattr_setflags(&setup.attributes,
                                            POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (rc != 0) {
        SetLastErrorFromErrno(rc);
        return false;
    }

    pid_t pid = 0;
    const char* path = argumentBytes.front().c_str();
    if (startup.endWithParent) {
        rc = SpawnEndingWithParent(&pid, path, startup, argv.data());
    } else {
        rc = std::string_view(path).find('/') == std::string_view::npos
                 ? posix_spawnp(&pid, path, &setup.actions, &setup.attributes, argv.data(), environ)
                 : posix_spawn(&pid, path, &setup.actions, &setup.attributes, argv.data(), environ);
    }
    if (rc != 0) {
        SetLastErrorFromErrno(rc);
        return false;
    }

    auto* process = new ProcessObject(pid);
    process->AddRef();  // the reaper's reference
    if (!StartReaper(process)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        delete process;
        SetLastError(Error::NotEnoughMemory);
        return false;
    }
    process->AddRef();  // the thread handle's reference
    information->process = process;
    information->thread = process;
    information->processId = static_cast<DWORD>(pid);
    information->threadId = static_cast<DWORD>(pid);
    return true;
}

bool TerminateProcess(Handle process, DWORD exitCode) {
    ProcessObject* p = AsProcess(process);
    if (p == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->ended) {
        SetLastError(Error::AccessDenied);
        return false;
    }
    if (!p->terminated) {
        p->terminated = true;
        p->terminateCode = exitCode;
    }
    ::kill(p->pid, SIGKILL);
    return true;
}

bool GetExitCodeProcess(Handle process, DWORD* exitCode) {
    ProcessObject* p = AsProcess(process);
    if (p == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    *exitCode = p->exitCode;
    return true;
}

}  // namespace Platform
