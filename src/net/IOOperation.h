// One socket request handed from a user thread to the completion-port thread: the OS
// block for the overlapped calls, the caller's buffer, the progress, the result and an
// event the user thread waits on. An operation serves one request and is then destroyed.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/BexoResult.h"
#include "platform/Sockets.h"
#include "platform/Sync.h"

class TCPSocket;

class IOOperation : public Platform::Overlapped {
public:
    enum Kind : std::int32_t {
        IO_TCP_Invalid = 0,
        IO_TCP_StartConnect = 1,
        IO_TCP_Connect = 2,
        IO_TCP_StartAccept = 3,
        IO_TCP_Accept = 4,
        IO_TCP_Read = 5,
        IO_TCP_Write = 6,
        IO_TCP_StartRead = 7,
        IO_TCP_StartWrite = 8,
        IO_TCP_StartDisconnect = 9,
        IO_TCP_Disconnect = 10,
    };

    enum State : std::int32_t {
        STATE_UNUSED = 0,      // constructed, never posted
        STATE_POSTED = 1,      // handed to the port or to an overlapped call
        STATE_FAILEDPOST = 2,  // the socket call failed at once
        STATE_CAUGHT = 3,      // taken from the port by the completion-port thread
        STATE_SIGNALLED = 4,   // finished; the event is set
        STATE_COMPLETE = 5,    // the waiting thread has seen it finish
        STATE_DESTROYED = 6,
    };

    // Throws OSException when the event cannot be created.
    IOOperation();
    IOOperation(const IOOperation&) = delete;
    IOOperation& operator=(const IOOperation&) = delete;
    // The request must have been waited for, or never posted (assertion).
    virtual ~IOOperation();
    // Completion-port thread: marks the request finished and wakes the waiting thread,
    // which may destroy the operation at once.
    virtual void Complete(TCPSocket* handler);

    // The caller's buffer, not owned; it must outlive the request.
    void SetBuffer(std::uint32_t capacity, void* buffer);
    // Bytes the request must move; at most the capacity.
    void SetRequested(std::uint32_t requested);
    // User thread: waits without time limit for the request to finish.
    void Wait();
    // User thread: waits at most this long; false when the request is still running
    // (wait again before destroying the operation).
    bool Wait(std::uint32_t timeoutMs);
    // Bytes moved so far, readable from any thread while the request runs.
    std::uint32_t Progress() const { return m_progress.load(std::memory_order_relaxed); }

    bool IsInState(State state) const { return m_state.load() == state; }
    // Checks the transition (assertion) before making it.
    void SetState(State state);

    // "IO_TCP_Read" and so on; "IO_UNKNOWN" for any other value.
    static const char* OperationName(std::int32_t kind);

    std::uint32_t m_stepBytes = 0;
    BEXORESULT m_error = BEXORESULT_OK;
    std::uint32_t m_osError = 0;
    std::int32_t m_operation = IO_TCP_Invalid;
    std::atomic<bool> m_completed{false};
    Platform::Handle m_event = nullptr;
    Platform::WsaBuf m_wsaBuf;
    TCPSocket* m_handler = nullptr;
    std::uint32_t m_capacity = 0;
    std::uint32_t m_requested = 0;
    std::uint32_t m_transferred = 0;
    // A copy of m_transferred for threads other than the completion-port thread.
    std::atomic<std::uint32_t> m_progress{0};
    std::uint8_t* m_buffer = nullptr;

private:
    std::atomic<std::int32_t> m_state{STATE_UNUSED};
};
