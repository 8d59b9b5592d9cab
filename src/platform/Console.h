// The terminal a console program runs in: whether a standard stream is one, its width,
// and the user's interrupt (Ctrl-C), the terminal's hang-up and a request to end.
#pragma once

namespace Platform {

enum class StandardStream { kInput, kOutput, kError };

// Whether the stream is a terminal (a console on Windows).
bool IsTerminal(StandardStream stream);

// The width of the terminal on standard output in columns; 0 when it cannot be told.
int TerminalColumns();

// From now on the handler runs when the user interrupts the program (Ctrl-C), its
// terminal hangs up or it is asked to end, instead of the process ending. It runs in a
// signal handler (a thread of its own on Windows): it may only store atomics. A write to
// a pipe whose reader has gone fails instead of ending the process.
void SetInterruptHandler(void (*handler)());

}  // namespace Platform
