#include "platform/Console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

namespace Platform {

namespace {

std::atomic<void (*)()> g_interruptHandler{nullptr};

void OnInterrupt(int /*signal*/) {
    if (void (*handler)() = g_interruptHandler.load()) {
        handler();
    }
}

int Descriptor(StandardStream stream) {
    switch (stream) {
        case StandardStream::kInput:
            return STDIN_FILENO;
        case StandardStream::kOutput:
            return STDOUT_FILENO;
        case StandardStream::kError:
            return STDERR_FILENO;
    }
    return -1;
}

}  // namespace

bool IsTerminal(StandardStream stream) {
    return ::isatty(Descriptor(stream)) == 1;
}

int TerminalColumns() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

void SetInterruptHandler(void (*handler)()) {
    g_interruptHandler.store(handler);
    // No SA_RESTART: a read waiting for the user's answer returns at the interrupt.
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace Platform
