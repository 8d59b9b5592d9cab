#include "kernel/SystemLog.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>
#include <set>

#include "kernel/Assert.h"
#include "kernel/FileUtil.h"
#include "kernel/Sync.h"
#include "kernel/Text.h"
#include "platform/Files.h"
#include "platform/System.h"

std::set<BexoSystemLogObserver*> g_systemLogObservers;
bool g_bIsIterating = false;

namespace {

// A recursive lock that needs no heap and is never torn down, so that threads still
// logging while the process exits find it, and the allocation tracker sees no block left
// behind.
class RecursiveLogLock {
public:
    void Lock(std::uint32_t /*timeoutMs*/) {
        const Platform::DWORD self = Platform::GetCurrentThreadId();
        if (m_owner.load(std::memory_order_relaxed) == self) {
            ++m_depth;
            return;
        }
        m_mutex.lock();
        m_owner.store(self, std::memory_order_relaxed);
        m_depth = 1;
    }
    void Unlock() {
        if (--m_depth == 0) {
            m_owner.store(0, std::memory_order_relaxed);
            m_mutex.unlock();
        }
    }

private:
    std::mutex m_mutex;
    std::atomic<Platform::DWORD> m_owner{0};
    unsigned m_depth = 0;
};

RecursiveLogLock& LogLock() {
    // Made in place on first use and never destroyed: std::mutex is not constant
    // initialised everywhere (mingw-w64's is not), so no constinit global.
    alignas(RecursiveLogLock) static unsigned char storage[sizeof(RecursiveLogLock)];
    static RecursiveLogLock* const lock = new (storage) RecursiveLogLock();
    return *lock;
}

// The log file, under the log lock. The path is kept in a fixed buffer: the log lives
// until the very end of the process.
struct LogFile {
    std::FILE* stream = nullptr;
    std::uint64_t size = 0;
    std::uint64_t limit = 0;
    char path[1024] = {};
};
LogFile g_logFile;

bool OpenLogFile() {
    g_logFile.stream = Platform::OpenFileStream(Platform::FromSystemPath(g_logFile.path), "ab");
    if (g_logFile.stream == nullptr) {
        return false;
    }
    const std::int64_t size = Platform::SeekFileStream(g_logFile.stream, 0, SEEK_END)
                                  ? Platform::TellFileStream(g_logFile.stream)
                                  : 0;
    g_logFile.size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
    return true;
}

// "2026-12-10 15:04:05.123Z 4711 "
std::string LogFileStamp() {
    using namespace std::chrono;
    const auto now = time_point_cast<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{now - day};
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02u-%02u %02ld:%02ld:%02ld.%03ldZ %lu ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<long>(time.hours().count()),
                  static_cast<long>(time.minutes().count()),
                  static_cast<long>(time.seconds().count()),
                  static_cast<long>(time.subseconds().count()),
                  static_cast<unsigned long>(Platform::GetCurrentProcessId()));
    return stamp;
}

void WriteLogFile(const std::string& line) {
    const std::string stamped = LogFileStamp() + line;
    if (g_logFile.size > 0 && g_logFile.size + stamped.size() > g_logFile.limit) {
        std::fclose(g_logFile.stream);
        g_logFile.stream = nullptr;
        const std::wstring path = Platform::FromSystemPath(g_logFile.path);
        Platform::DeleteFile(path + L".1");
        Platform::MoveFile(path, path + L".1");
        if (!OpenLogFile()) {
            return;
        }
    }
    if (std::fwrite(stamped.data(), 1, stamped.size(), g_logFile.stream) == stamped.size()) {
        g_logFile.size += stamped.size();
    }
    std::fflush(g_logFile.stream);
}

std::atomic<bool> g_redirected{false};
std::atomic<SystemLogConsole> g_console{SystemLogConsole::kStdout};
// UTF-16 standard output; nothing in this system sets it.
constexpr bool kWideOutput = false;

class ScopedLogLock {
public:
    ScopedLogLock() { LogLock().Lock(Platform::kInfinite); }
    ~ScopedLogLock() { LogLock().Unlock(); }
    ScopedLogLock(const ScopedLogLock&) = delete;
    ScopedLogLock& operator=(const ScopedLogLock&) = delete;
};

void NotifyObservers(const std::wstring& line) {
    if (g_bIsIterating) {
        return;
    }
    g_bIsIterating = true;
    for (BexoSystemLogObserver* observer : g_systemLogObservers) {
        observer->OnSystemLog(line);
    }
    g_bIsIterating = false;
}

}  // namespace

BexoSystemLogObserver::~BexoSystemLogObserver() {
    ScopedLogLock guard;
    BexoAssert(!g_bIsIterating);
    g_systemLogObservers.erase(this);
    BexoAssert(g_systemLogObservers.find(this) == g_systemLogObservers.end());
}

void RegisterSystemLogObserver(BexoSystemLogObserver* observer) {
    ScopedLogLock guard;
    BexoAssert(!g_bIsIterating);
    g_systemLogObservers.insert(observer);
}

void UnregisterSystemLogObserver(BexoSystemLogObserver* observer) {
    ScopedLogLock guard;
    BexoAssert(!g_bIsIterating);
    g_systemLogObservers.erase(observer);
}

void SystemLogWrite(std::uint8_t sinks, const std::string& text) {
    ScopedLogLock guard;
    // The analysis log is never opened in this system, so its sink has nothing to do.
    const std::string line = text + "\n";
    const std::wstring wide = ToWide(line);
    if ((sinks & LOG_DEBUGGER) != 0) {
        Platform::OutputDebugString(line.c_str());
    }
    const SystemLogConsole console = g_console.load();
    if ((sinks & LOG_STDOUT) != 0 && console == SystemLogConsole::kStderr) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    } else if ((sinks & LOG_STDOUT) != 0 && console == SystemLogConsole::kStdout) {
        if (kWideOutput) {
            const std::u16string units = ToUtf16(wide);
            Platform::WriteStdout(units.data(), units.size() * sizeof(char16_t));
        } else {
            Platform::WriteStdout(line.data(), line.size());
        }
    }
    if ((sinks & LOG_OBSERVERS) != 0) {
        NotifyObservers(wide);
    }
    if ((sinks & LOG_FILE) != 0 && g_logFile.stream != nullptr) {
        WriteLogFile(line);
    }
}

bool SystemLogKeepFile(const std::wstring& path, std::uint64_t limitBytes) {
    ScopedLogLock guard;
    if (g_logFile.stream != nullptr) {
        std::fclose(g_logFile.stream);
        g_logFile.stream = nullptr;
    }
    if (path.empty()) {
        return true;
    }
    const std::string system = Platform::ToSystemPath(path);
    if (system.size() >= sizeof g_logFile.path) {
        return false;
    }
    const std::size_t separator = path.find_last_of(L"/\\");
    if (separator != std::wstring::npos && separator > 0 &&
        !MakeDirectory(path.substr(0, separator))) {
        return false;
    }
    std::memcpy(g_logFile.path, system.c_str(), system.size() + 1);
    g_logFile.limit = limitBytes;
    return OpenLogFile();
}

void SetSystemLogConsole(SystemLogConsole target) {
    g_console.store(target);
}

void SystemLog(const char* format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    buffer[sizeof buffer - 1] = '\0';
    SystemLogWrite(LOG_ALL, buffer);
}

void SystemLogW(const wchar_t* format, ...) {
    wchar_t buffer[4096];
    va_list args;
    va_start(args, format);
    // A wide format that does not fit still leaves what fitted in the buffer.
    if (std::vswprintf(buffer, 4096, format, args) < 0) {
        buffer[4095] = L'\0';
    }
    va_end(args);
    buffer[4095] = L'\0';
    SystemLogWrite(LOG_ALL, ToNarrow(buffer));
}

SystemLogLock::SystemLogLock() {
    LogLock().Lock(Platform::kInfinite);
}

SystemLogLock::~SystemLogLock() {
    LogLock().Unlock();
}

bool SystemLogRedirectStdout() noexcept {
    const bool redirected = Platform::RedirectStdoutToParentPipe();
    g_redirected.store(redirected);
    return redirected;
}

bool SystemLogIsRedirected() {
    return g_redirected.load();
}
