// The system log: the diagnostic line log (not the window's log). Each line goes to up
// to four sinks chosen by a flag byte; every write holds one process-wide recursive lock,
// so lines from different threads never interleave.
#pragma once

#include <cstdint>
#include <string>

#include "kernel/PrintfFormat.h"

enum : std::uint8_t {
    LOG_STDOUT = 1,     // the process's standard output as it is at the moment of writing
    LOG_ANALYSIS = 2,   // the analysis log file, when one is open (never in this system)
    LOG_DEBUGGER = 4,   // the debugger output stream
    LOG_OBSERVERS = 8,  // every registered observer
    LOG_FILE = 16,      // the session log file, when one is kept
    LOG_ALL = 0xFF,
};

// Receives each line (with its trailing line feed) while registered. Called under the
// system log lock, one line at a time; must not register or unregister observers.
class BexoSystemLogObserver {
public:
    BexoSystemLogObserver() = default;
    BexoSystemLogObserver(const BexoSystemLogObserver&) = delete;
    BexoSystemLogObserver& operator=(const BexoSystemLogObserver&) = delete;
    // Unregisters the observer.
    virtual ~BexoSystemLogObserver();
    virtual void OnSystemLog(const std::wstring& line) = 0;
};

void RegisterSystemLogObserver(BexoSystemLogObserver* observer);
void UnregisterSystemLogObserver(BexoSystemLogObserver* observer);

// Writes one line (a line feed is appended) to the selected sinks.
void SystemLogWrite(std::uint8_t sinks, const std::string& line);
// printf-style front ends; output beyond 4095 characters is cut.
void SystemLog(const char* format, ...) OSMEL_PRINTF_FORMAT(1, 2);
void SystemLogW(const wchar_t* format, ...);

// Holds the system log lock for a scope: the crash reporting writes a whole report under
// it so that its lines and ordinary lines never interleave.
class SystemLogLock {
public:
    SystemLogLock();
    ~SystemLogLock();
    SystemLogLock(const SystemLogLock&) = delete;
    SystemLogLock& operator=(const SystemLogLock&) = delete;
};

// Where the standard-output sink writes. A front end whose standard output is its own
// display (the terminal front end) sends it to standard error, or nowhere.
enum class SystemLogConsole : std::uint8_t { kStdout, kStderr, kNone };
void SetSystemLogConsole(SystemLogConsole target);

// Keeps a log file that outlives the window for the LOG_FILE sink, each line after its time
// (UTC) and the process id; a line that would take the file past `limitBytes` first moves
// it to "<path>.1" (replacing that one). The file's folder is made. False when the file
// cannot be opened; the other sinks go on either way. An empty path stops the file.
bool SystemLogKeepFile(const std::wstring& path, std::uint64_t limitBytes);

// At start-up, before anything logs: makes the parent's pipe (a FIFO named
// "<temp>/<pid>cout") standard output when it exists. Returns whether it did.
bool SystemLogRedirectStdout() noexcept;
bool SystemLogIsRedirected();
