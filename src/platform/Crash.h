// Faults, crash reports and call stacks, shaped after SetUnhandledExceptionFilter,
// MiniDumpWriteDump, RtlCaptureStackBackTrace and the DbgHelp symbol lookups.
//
// On Windows a crash report is a minidump of type MiniDumpWithIndirectlyReferencedMemory.
// On POSIX a plain-text file stands in for it: the signal and fault address, the
// registers, every thread's id, the faulting thread's call stack with symbols and source
// lines, every other thread's call stack, and the memory map. Its format is described in the README
// ("Reading a crash report").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Win32Types.h"

namespace Platform {

// A fault as the handlers see it. On POSIX: the signal (0 for a report the program
// asked for itself), and pointers to the signal's siginfo_t and the interrupted
// ucontext_t (the caller's context for a requested report). On Windows: the exception
// code (0 for a requested report), the EXCEPTION_RECORD and the CONTEXT; an abort is
// reported with the code STATUS_FATAL_APP_EXIT. `threadId` is the faulting thread when
// the handlers run on another one (0: the calling thread).
struct ExceptionPointers {
    int signal = 0;
    const void* signalInfo = nullptr;
    const void* context = nullptr;
    DWORD threadId = 0;
};

constexpr long kExceptionExecuteHandler = 1;
constexpr long kExceptionContinueSearch = 0;

// Called once per fault, on an alternate stack where the thread has one, in signal
// context: it may only do async-signal-safe work. Returning kExceptionExecuteHandler
// ends the process with the signal's default action; kExceptionContinueSearch passes
// the fault to whatever handled it before.
using UnhandledExceptionFilter = long (*)(const ExceptionPointers* exception);

// Installs the filter for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT and gives the
// calling thread an alternate signal stack; null restores the earlier handlers.
// Prepares the symbol tables the report writer reads, so a fault needs no setup.
// Returns the previous filter. On Windows the filter sees every unhandled exception
// and the runtime's abort; it runs on the faulting thread, except after a stack
// overflow, when a fresh thread runs it while the faulting one waits.
UnhandledExceptionFilter SetUnhandledExceptionFilter(UnhandledExceptionFilter filter);

// Gives the calling thread an alternate signal stack while a filter is installed, so
// that a stack overflow in it is still reported; freed when the thread ends. Threads
// made by CreateThread get one on their own; threads made by other libraries may call
// this first thing. On Windows it reserves stack for the handlers instead
// (SetThreadStackGuarantee).
void PrepareThreadForFaults();

// The windowing library's fatal-exception guard, shaped after the exception frame it
// puts around its event loop and its threads' bodies: a fault (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL) on a thread that entered the guard goes to the guard's handler first, in
// signal context, with the fault's own pointers; the handler normally ends the process.
// Faults on other threads, SIGABRT, and a handler that returns reach the unhandled-
// exception filter. It works through the filter's signal handlers: install a filter
// first. Null switches the guard off.
using FatalExceptionGuard = void (*)(const ExceptionPointers* exception);
void SetFatalExceptionGuard(FatalExceptionGuard guard);
// Puts the calling thread under the guard for the rest of its life.
void EnterFatalExceptionGuard();

// Calls the filter with the caller's context, as if a fault had happened here, and
// returns its answer; the caller continues.
long CallWithCurrentContext(UnhandledExceptionFilter filter);

// Writes a crash report about the fault to `path` (the OS's form), replacing any file
// of that name. Async-signal-safe. False when the file cannot be created.
bool WriteMiniDump(const char* path, const ExceptionPointers* exception);

// Async-signal-safe existence test on a path in the OS's form.
bool SignalSafeFileExists(const char* path);
// Async-signal-safe: makes the folder (the OS's form) and its missing parents, for the
// caller's own use only (POSIX mode 0700). True when it exists afterwards.
bool SignalSafeCreateDirectories(const char* path);
// Async-signal-safe: the current directory in the OS's form; false when it does not fit.
bool SignalSafeCurrentDirectory(char* buffer, std::size_t size);
// Async-signal-safe: writes the text to standard error.
void SignalSafeWriteStderr(const char* text);

// Ends the process at once with the exit code: no exit handlers, no flushing.
[[noreturn]] void TerminateCurrentProcess(DWORD exitCode);

// The runtime library's report of a fatal misuse, shaped after
// _set_invalid_parameter_handler. On POSIX the C++ runtime's terminate handler stands
// for it: std::terminate is how the runtime ends a misused program (an exception that
// nobody catches or that leaves a noexcept function, a pure virtual call, a joinable
// std::thread destroyed). There the function and file are absent and the line is 0;
// the expression names the exception in flight, if any. On Windows the handler gets
// both the C runtime's reports and std::terminate's. The handler must not return;
// should it, the process aborts.
using InvalidParameterHandler = void (*)(const wchar_t* expression, const wchar_t* function,
                                         const wchar_t* file, unsigned int line,
                                         std::uintptr_t reserved);
// Returns the previous handler; null restores the runtime's own behaviour.
InvalidParameterHandler SetInvalidParameterHandler(InvalidParameterHandler handler);

// Console control events. On POSIX the terminal's signals stand for them: SIGINT for
// CTRL_C_EVENT (0), SIGHUP for CTRL_CLOSE_EVENT (2), SIGTERM for CTRL_SHUTDOWN_EVENT
// (6). The handler runs in signal context; when it returns false the signal's default
// action follows. Installed only when the process has a terminal; returns whether it
// was. On Windows the handler runs on a thread of its own and is always installed.
using ConsoleCtrlHandler = bool (*)(DWORD ctrlType);
bool SetConsoleCtrlHandler(ConsoleCtrlHandler handler);

// Up to `maxFrames` return addresses of the calling thread's stack, innermost first,
// after skipping `skip` frames below the caller. Returns the count.
std::size_t CaptureStackBackTrace(std::size_t skip, std::size_t maxFrames, std::uint64_t* frames);

// The program's own image in memory, shaped after GetModuleInformation on
// GetModuleHandle(NULL): the lowest address of the executable's loaded segments and the
// size up to the end of the highest; shared libraries are other modules. False when it
// cannot be found.
struct ModuleInfo {
    std::uint64_t base = 0;
    std::uint64_t size = 0;
};
bool GetProgramModuleInformation(ModuleInfo* info);

struct SymbolInfo {
    std::string module;  // image path
    std::string symbol;  // demangled
    std::string file;
    int line = 0;
};
// Looks up a return address (the call before it is what is described). Unknown parts
// stay empty or 0. Not for signal context.
SymbolInfo ResolveReturnAddress(std::uint64_t address);

}  // namespace Platform
