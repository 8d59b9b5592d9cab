#include "platform/Poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace Platform {

struct Poller::State {
    int epoll = -1;
    // Written by Wake; its tag is the state itself, which no caller's tag can be.
    int wake = -1;
    std::vector<epoll_event> ready = std::vector<epoll_event>(1024);
};

std::unique_ptr<Poller> Poller::Create() {
    auto state = std::make_unique<State>();
    state->epoll = ::epoll_create1(EPOLL_CLOEXEC);
    state->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event watch{};
    watch.events = EPOLLIN;
    watch.data.ptr = state.get();
    const bool made = state->epoll >= 0 && state->wake >= 0 &&
                      ::epoll_ctl(state->epoll, EPOLL_CTL_ADD, state->wake, &watch) == 0;
    std::unique_ptr<Poller> poller(new Poller(std::move(state)));
    return made ? std::move(poller) : nullptr;
}

Poller::Poller(std::unique_ptr<State> state) : m_state(std::move(state)) {}

Poller::~Poller() {
    if (m_state->epoll >= 0) {
        ::close(m_state->epoll);
    }
    if (m_state->wake >= 0) {
        ::close(m_state->wake);
    }
}

bool Poller::Watch(std::intptr_t socket, void* tag, bool read, bool write) {
    epoll_event watch{};
    watch.events = (read ? EPOLLIN | EPOLLRDHUP : 0u) | (write ? EPOLLOUT : 0u);
    watch.data.ptr = tag;
    const int fd = static_cast<int>(socket);
    if (::epoll_ctl(m_state->epoll, EPOLL_CTL_MOD, fd, &watch) == 0) {
        return true;
    }
    return errno == ENOENT && ::epoll_ctl(m_state->epoll, EPOLL_CTL_ADD, fd, &watch) == 0;
}

void Poller::Forget(std::intptr_t socket) {
    ::epoll_ctl(m_state->epoll, EPOLL_CTL_DEL, static_cast<int>(socket), nullptr);
}

void Poller::Wait(std::vector<Event>* events, std::uint32_t milliseconds) {
    events->clear();
    const int count =
        ::epoll_wait(m_state->epoll, m_state->ready.data(), static_cast<int>(m_state->ready.size()),
                     static_cast<int>(milliseconds));
    for (int i = 0; i < count; ++i) {
        const epoll_event& got = m_state->ready[static_cast<std::size_t>(i)];
        if (got.data.ptr == m_state.get()) {
            std::uint64_t drained = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_state->wake, &drained, sizeof drained);
            continue;
        }
        Event event;
        event.tag = got.data.ptr;
        event.readable = (got.events & EPOLLIN) != 0;
        event.writable = (got.events & EPOLLOUT) != 0;
        event.ended = (got.events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
        events->push_back(event);
    }
}

void Poller::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_state->wake, &one, sizeof one);
}

}  // namespace Platform
