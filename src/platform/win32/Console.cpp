#include "platform/Console.h"

#include <io.h>
#include <stdio.h>

#include <atomic>
#include <utility>

#include "platform/win32/WinApi.h"

namespace Platform {

namespace {

std::atomic<void (*)()> g_interruptHandler{nullptr};

// Ctrl-C, Ctrl-Break, the console closed, the user logging off or the system shutting
// down: each asks the program to stop.
BOOL WINAPI OnConsoleEvent(::DWORD /*event*/) {
    if (void (*handler)() = g_interruptHandler.load()) {
        handler();
        return TRUE;
    }
    return FALSE;
}

}  // namespace

bool IsTerminal(StandardStream stream) {
    switch (stream) {
        case StandardStream::kInput:
            return _isatty(_fileno(stdin)) != 0;
        case StandardStream::kOutput:
            return _isatty(_fileno(stdout)) != 0;
        case StandardStream::kError:
            return _isatty(_fileno(stderr)) != 0;
    }
    return false;
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void SetInterruptHandler(void (*handler)()) {
    g_interruptHandler.store(handler);
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

ReloadRequests::ReloadRequests(std::function<void()> reload) : m_reload(std::move(reload)) {}

ReloadRequests::~ReloadRequests() = default;

}  // namespace Platform
