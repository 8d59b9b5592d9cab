#include "crash/CrashHandlers.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kernel/Assert.h"
#include "kernel/SystemLog.h"
#include "platform/Files.h"
#include "platform/Sync.h"
#include "platform/System.h"

namespace {

constexpr const char kDumpBase[] = "Kelvor-41861";
constexpr const char kDumpExtension[] = "dmp";
constexpr int kMaxDumpNumber = 100000;
constexpr std::size_t kMaxCallStackText = 511;
constexpr std::size_t kMaxFrames = 64;

constexpr std::size_t kKeptFallbackReports = 10;

std::atomic<bool> g_handlersArmed{false};
// The process's one report, whichever way it comes (a fault, the guard's fatal report,
// an assertion, an exit): the thread writing it, and whether it is written.
std::atomic<Platform::DWORD> g_reportingThread{0};
std::atomic<bool> g_reportFinished{false};
// The fatal report's name in the OS's form, prepared ahead so that writing it needs no
// allocation.
char g_fatalDumpName[1024] = {};
// Where reports go when the current directory takes none (the OS's form; empty: nowhere).
char g_fallbackDirectory[1024] = {};
std::atomic<void (*)()> g_onFatal{nullptr};
// The fault this thread is handling under the guard, for WriteFatalDump.
thread_local const Platform::ExceptionPointers* t_guardedFault = nullptr;

// Appends text to a fixed buffer without allocating; false when it does not fit.
bool Append(char* buffer, std::size_t capacity, std::size_t* used, const char* text) {
    const std::size_t length = std::strlen(text);
    if (*used + length + 1 > capacity) {
        return false;
    }
    std::memcpy(buffer + *used, text, length + 1);
    *used += length;
    return true;
}

void DecimalText(int value, char* text) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    int i = 0;
    while (n > 0) {
        text[i++] = digits[--n];
    }
    text[i] = '\0';
}

// "Kelvor-41861.dmp", or with "_<number>" before the extension for number 2 and up.
bool DumpName(int number, char* path, std::size_t capacity) {
    std::size_t used = 0;
    path[0] = '\0';
    bool ok = Append(path, capacity, &used, kDumpBase);
    if (number > 1) {
        char digits[12];
        DecimalText(number, digits);
        ok = ok && Append(path, capacity, &used, "_") && Append(path, capacity, &used, digits);
    }
    return ok && Append(path, capacity, &used, ".") &&
           Append(path, capacity, &used, kDumpExtension);
}

// Takes the process's one report for the calling thread. Another thread's report under
// way is waited for, so that the process never ends with half a report: its writer ends
// the process. False when a report is written or being written (a fault inside the
// report itself, on the writing thread, gives up at once).
bool ClaimReport() {
    const Platform::DWORD self = Platform::GetCurrentThreadId();
    Platform::DWORD none = 0;
    if (g_reportingThread.compare_exchange_strong(none, self)) {
        return true;
    }
    if (none != self) {
        while (!g_reportFinished.load()) {
            Platform::Sleep(10);
        }
    }
    return false;
}

// Tells where the report is, on standard error and in the system log's own sink
// (standard output), without the log's lock: its holder may be the thread that waits.
void TellReport(const char* path) {
    char line[1200];
    std::size_t used = 0;
    Append(line, sizeof line, &used, "Crash report written: ");
    if (path[0] != '/' && path[0] != '\\' && (path[0] == '\0' || path[1] != ':')) {
        char directory[1024];
        if (Platform::SignalSafeCurrentDirectory(directory, sizeof directory)) {
            Append(line, sizeof line, &used, directory);
            Append(line, sizeof line, &used, "/");
        }
    }
    Append(line, sizeof line, &used, path);
    Append(line, sizeof line, &used, "\n");
    Platform::SignalSafeWriteStderr(line);
    Platform::WriteStdout(line, used);
}

// Writes the report under `name` in the current directory or, where that takes no file,
// in the fallback folder. `name` null: the first free "Kelvor-41861[_N].dmp" there.
void WriteReport(const char* name, const Platform::ExceptionPointers* exception) {
    char path[1200];
    const char* folders[] = {"", g_fallbackDirectory};
    for (const char* folder : folders) {
        if (folder == g_fallbackDirectory &&
            (folder[0] == '\0' || !Platform::SignalSafeCreateDirectories(folder))) {
            break;
        }
        for (int number = 1; number <= kMaxDumpNumber; ++number) {
            std::size_t used = 0;
            path[0] = '\0';
            if (folder[0] != '\0') {
                Append(path, sizeof path, &used, folder);
                Append(path, sizeof path, &used, "/");
            }
            char file[64];
            const char* fileName = name;
            if (fileName == nullptr) {
                if (!DumpName(number, file, sizeof file)) {
                    break;
                }
                fileName = file;
            }
            if (!Append(path, sizeof path, &used, fileName)) {
                break;
            }
            if (name == nullptr && Platform::SignalSafeFileExists(path)) {
                continue;
            }
            if (Platform::WriteMiniDump(path, exception)) {
                TellReport(path);
                return;
            }
            break;  // the folder takes no file: the next one
        }
    }
    Platform::SignalSafeWriteStderr("Crash report could not be written\n");
}

// The claimed report, written, then marked finished for the threads that wait on it.
void WriteClaimedReport(const char* name, const Platform::ExceptionPointers* exception) {
    WriteReport(name, exception);
    g_reportFinished.store(true);
}

long WriteFatalDumpFilter(const Platform::ExceptionPointers* exception) {
    WriteClaimedReport(g_fatalDumpName, exception);
    return Platform::kExceptionExecuteHandler;
}

// Keeps the fallback folder to its newest reports, so that a crashing program cannot
// fill the disk there.
void PruneFallbackReports(const std::wstring& folder) {
    std::vector<Platform::DirectoryEntry> entries;
    if (!Platform::ListDirectoryEntries(folder, &entries)) {
        return;
    }
    std::vector<std::pair<std::int64_t, std::wstring>> reports;
    for (const Platform::DirectoryEntry& entry : entries) {
        const std::size_t size = entry.name.size();
        if (entry.directory || size < 4 || entry.name.compare(size - 4, 4, L".dmp") != 0) {
            continue;
        }
        const std::wstring path = folder + L"/" + entry.name;
        Platform::FileStatus status;
        if (Platform::GetFileStatus(path, &status)) {
            reports.emplace_back(status.modificationTime, path);
        }
    }
    // Room for the report this run may add.
    const std::size_t kept = kKeptFallbackReports - 1;
    if (reports.size() <= kept) {
        return;
    }
    std::sort(reports.begin(), reports.end());
    for (std::size_t i = 0; i + kept < reports.size(); ++i) {
        Platform::DeleteFile(reports[i].second);
    }
}

void GuardedFault(const Platform::ExceptionPointers* exception) {
    if (void (*onFatal)() = g_onFatal.load()) {
        t_guardedFault = exception;
        onFatal();
        t_guardedFault = nullptr;
    }
}

[[noreturn]] void ReportAssertion(const char* expression, const char* /*file*/, int /*line*/) {
    {
        SystemLogLock lock;
        SystemLog("Assertion failed: %s", expression);
        WriteCrashDumpNow();
        LogCallStack(true);
    }
    // The runtime's abort ends a process with status 3 on the original platform.
    Platform::TerminateCurrentProcess(3);
}

// The runtime library's report of a misuse. The exception in flight, which only the
// POSIX runtime passes, has its own line first: nothing else would keep its message.
[[noreturn]] void ReportInvalidParameter(const wchar_t* expression, const wchar_t* function,
                                         const wchar_t* file, unsigned int line,
                                         std::uintptr_t /*reserved*/) {
    {
        SystemLogLock lock;
        WriteCrashDumpNow();
        if (expression != nullptr) {
            SystemLogW(L"Unhandled exception: %ls", expression);
        }
        SystemLogW(L"Invalid Parameter Handler> function=%ls, file=%ls, line=%d",
                   function != nullptr ? function : L"NULL", file != nullptr ? file : L"NULL",
                   static_cast<int>(line));
    }
    Platform::TerminateCurrentProcess(3);
}

void ExitTrap() {
    if (g_handlersArmed.load()) {
        WriteCrashDumpNow();
    }
}

bool ConsoleHandler(Platform::DWORD ctrlType) {
    // Signal context: the line goes straight to standard output, the system log's own
    // sink, without its lock.
    char line[96];
    std::size_t used = 0;
    char digits[12];
    DecimalText(static_cast<int>(ctrlType), digits);
    Append(line, sizeof line, &used, "Console Window event handler called for CtrlType=");
    Append(line, sizeof line, &used, digits);
    Append(line, sizeof line, &used, "\n");
    Platform::WriteStdout(line, used);
    g_handlersArmed = false;
    return false;
}

}  // namespace

void InstallCrashHandlers() {
    static std::once_flag once;
    g_handlersArmed = true;
    std::call_once(once, [] {
        const std::wstring state = Platform::GetStateDirectory();
        if (!state.empty()) {
            const std::wstring folder = state + L"/crashes";
            const std::string path = Platform::ToSystemPath(folder);
            if (path.size() < sizeof g_fallbackDirectory) {
                std::memcpy(g_fallbackDirectory, path.c_str(), path.size() + 1);
            }
            PruneFallbackReports(folder);
        }
        Platform::SetUnhandledExceptionFilter(CrashDumpFilter);
        std::atexit(ExitTrap);
        SetAssertionHandler(ReportAssertion);
        Platform::SetInvalidParameterHandler(ReportInvalidParameter);
        Platform::SetConsoleCtrlHandler(ConsoleHandler);
    });
}

void DisarmCrashHandlers() {
    g_handlersArmed = false;
}

long CrashDumpFilter(const Platform::ExceptionPointers* exception) {
    if (ClaimReport()) {
        WriteClaimedReport(nullptr, exception);
    }
    return Platform::kExceptionExecuteHandler;
}

void WriteCrashDumpNow() {
    Platform::CallWithCurrentContext(CrashDumpFilter);
}

void LogCallStack(bool withSymbols) {
    SystemLogLock lock;
    std::uint64_t frames[kMaxFrames];
    const std::size_t count = Platform::CaptureStackBackTrace(0, kMaxFrames, frames);
    std::string addresses;
    for (std::size_t i = 0; i < count && addresses.size() < kMaxCallStackText; ++i) {
        char text[24];
        std::snprintf(text, sizeof text, "%llx ", static_cast<unsigned long long>(frames[i]));
        addresses += text;
    }
    if (addresses.size() > kMaxCallStackText) {
        addresses.resize(kMaxCallStackText);
    }
    SystemLog("callstack: %s", addresses.c_str());
    if (!withSymbols) {
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const Platform::SymbolInfo info = Platform::ResolveReturnAddress(frames[i]);
        SystemLog("  %s %s [%s:%d]", info.module.c_str(), info.symbol.c_str(), info.file.c_str(),
                  info.line);
    }
}

bool SetFatalDumpName(const std::wstring& baseName) {
    if (Platform::IsDebuggerPresent()) {
        return false;
    }
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    const std::time_t now = std::time(nullptr);
    const std::tm local = *std::localtime(&now);  // NOLINT(concurrency-mt-unsafe): under the lock
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "-v%s-%i.%02i.%02i-%02i.%02i.%02i.dmp", "35673",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
    // The original's buffer holds 256 units; a longer base is refused, not cut.
    const std::wstring name = baseName + std::wstring(stamp, stamp + std::strlen(stamp));
    const std::string path = Platform::ToSystemPath(name);
    if (name.size() >= 256 || path.size() >= sizeof g_fatalDumpName) {
        return false;
    }
    std::memcpy(g_fatalDumpName, path.c_str(), path.size() + 1);
    return true;
}

void WriteFatalDump() {
    if (g_fatalDumpName[0] == '\0' || !ClaimReport()) {
        return;
    }
    if (t_guardedFault != nullptr) {
        WriteClaimedReport(g_fatalDumpName, t_guardedFault);
        return;
    }
    Platform::CallWithCurrentContext(WriteFatalDumpFilter);
}

void EnableFatalExceptionGuard(void (*onFatal)()) {
    g_onFatal.store(onFatal);
    Platform::SetFatalExceptionGuard(GuardedFault);
    Platform::EnterFatalExceptionGuard();
}

void EnterGuardedThread() {
    Platform::PrepareThreadForFaults();
    Platform::EnterFatalExceptionGuard();
}
