// The terminal a console program runs in: whether a standard stream is one, its width,
// and the user's interrupt (Ctrl-C), the terminal's hang-up and a request to end.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

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

// While it lives, `reload` runs on a thread of its own each time the process is asked to
// read its data again (SIGHUP, which then no longer ends the process). Make it before the
// process starts other threads: they inherit that the signal is left to this one.
// Windows has no such request: there it watches nothing.
class ReloadRequests {
public:
    explicit ReloadRequests(std::function<void()> reload);
    ~ReloadRequests();
    ReloadRequests(const ReloadRequests&) = delete;
    ReloadRequests& operator=(const ReloadRequests&) = delete;

private:
    std::function<void()> m_reload;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

}  // namespace Platform
