// A WSAPoll loop: the set is rebuilt for each wait, and Wake only shortens the wait, as
// WSAPoll has nothing to wake it but a socket of its own; waits are kept short instead.
#include "platform/Poller.h"

#include <winsock2.h>

#include <algorithm>
#include <map>

namespace Platform {

namespace {
constexpr std::uint32_t kLongestWaitMs = 10;
}  // namespace

struct Poller::State {
    struct Watched {
        void* tag;
        bool read;
        bool write;
    };
    std::map<SOCKET, Watched> watched;
    std::vector<WSAPOLLFD> set;
};

std::unique_ptr<Poller> Poller::Create() {
    return std::unique_ptr<Poller>(new Poller(std::make_unique<State>()));
}

Poller::Poller(std::unique_ptr<State> state) : m_state(std::move(state)) {}

Poller::~Poller() = default;

bool Poller::Watch(std::intptr_t socket, void* tag, bool read, bool write) {
    m_state->watched[static_cast<SOCKET>(socket)] = State::Watched{tag, read, write};
    return true;
}

void Poller::Forget(std::intptr_t socket) {
    m_state->watched.erase(static_cast<SOCKET>(socket));
}

void Poller::Wait(std::vector<Event>* events, std::uint32_t milliseconds) {
    events->clear();
    m_state->set.clear();
    for (const auto& [socket, watched] : m_state->watched) {
        WSAPOLLFD entry{};
        entry.fd = socket;
        entry.events =
            static_cast<SHORT>((watched.read ? POLLRDNORM : 0) | (watched.write ? POLLWRNORM : 0));
        m_state->set.push_back(entry);
    }
    const INT wait = static_cast<INT>(std::min(milliseconds, kLongestWaitMs));
    if (m_state->set.empty()) {
        ::Sleep(static_cast<DWORD>(wait));
        return;
    }
    if (::WSAPoll(m_state->set.data(), static_cast<ULONG>(m_state->set.size()), wait) <= 0) {
        return;
    }
    for (const WSAPOLLFD& entry : m_state->set) {
        if (entry.revents == 0) {
            continue;
        }
        Event event;
        event.tag = m_state->watched[entry.fd].tag;
        event.readable = (entry.revents & POLLRDNORM) != 0;
        event.writable = (entry.revents & POLLWRNORM) != 0;
        event.ended = (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        events->push_back(event);
    }
}

void Poller::Wake() {}

}  // namespace Platform
