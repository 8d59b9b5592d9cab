// Crash reports and fatal error handling. Start-up installs the handlers before
// anything else; from then on a fault, a failed assertion or an exit that bypasses the
// application's exit path leaves one crash report, "Kelvor-41861.dmp" in the current
// directory (or the first free "Kelvor-41861_2.dmp", "_3", ...). The windowing
// library's fatal-exception guard writes its own report under the name that
// SetFatalDumpName prepares. A process writes one report, whichever comes first: a
// thread that faults while another writes waits until the report is whole. Where the
// current directory takes no file, the report goes to the "crashes" folder of the
// state directory (Platform::GetStateDirectory), which keeps its newest ten; its path
// is told on standard error and standard output (the system log's sink).
#pragma once

#include <string>

#include "platform/Crash.h"

// Arms the handlers: fatal signals go to CrashDumpFilter, failed assertions and the
// runtime library's reports of misuse (on POSIX, std::terminate) write a report and end
// the process with status 3, the exit trap writes a report when the process exits while
// still armed, and a terminal's interrupt disarms them.
void InstallCrashHandlers();
// Called by the application's exit path, so that a normal exit writes no report.
void DisarmCrashHandlers();

// Writes the process's one crash report and asks for the process to end.
// Async-signal-safe; a second fault returns at once without writing.
long CrashDumpFilter(const Platform::ExceptionPointers* exception);
// Writes the crash report (unless one was written) about the caller's own state and
// returns.
void WriteCrashDumpNow();
// Writes "callstack: " and the caller's return addresses to the system log, then, with
// symbols, one "  <module> <symbol> [<file>:<line>]" line per frame.
void LogCallStack(bool withSymbols);

// Prepares "<base>-v35673-YYYY.MM.DD-hh.mm.ss.dmp" from the local time now. Does
// nothing under a debugger. Returns whether the windowing library's fatal-exception
// handling should be switched on (the caller does that: this layer has no GUI).
bool SetFatalDumpName(const std::wstring& baseName);
// Writes the report prepared by SetFatalDumpName, at most once per process: about the
// fault the calling thread is handling under the fatal-exception guard, or else about
// the caller's own state. Safe in signal context once the name is set.
void WriteFatalDump();

// The windowing library's fatal-exception guard, in front of the crash handlers: a
// fault on the calling thread (the GUI thread), or on a thread that called
// EnterGuardedThread, calls `onFatal` (the application's OnFatalException) in signal
// context, and a fault elsewhere still writes the crash report. Install the crash
// handlers first. On POSIX this takes the place of wxHandleFatalExceptions, whose
// handler runs on the faulting stack (a stack overflow would go unreported) and never
// sees the fault's registers.
void EnableFatalExceptionGuard(void (*onFatal)());
// First thing in a thread whose faults the guard covers: gives the thread its alternate
// signal stack and puts it under the guard.
void EnterGuardedThread();
