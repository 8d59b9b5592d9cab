#include "platform/Console.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <utility>

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

ReloadRequests::ReloadRequests(std::function<void()> reload) : m_reload(std::move(reload)) {
    sigset_t hangUp;
    sigemptyset(&hangUp);
    sigaddset(&hangUp, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &hangUp, nullptr);
    m_thread = std::thread([this, hangUp] {
        int signal = 0;
        while (::sigwait(&hangUp, &signal) == 0 && !m_stopping.load()) {
            m_reload();
        }
    });
}

ReloadRequests::~ReloadRequests() {
    m_stopping.store(true);
    ::pthread_kill(m_thread.native_handle(), SIGHUP);
    m_thread.join();
}

}  // namespace Platform
