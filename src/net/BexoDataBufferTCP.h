// A connected TCP stream as a data buffer, over the completion-port sockets. Reads and
// writes are synchronous: each returns when all bytes have moved or the request failed.
// One thread may read while another writes; the buffer must not be used on the
// completion-port thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "kernel/Sync.h"
#include "net/SocketEndpoint.h"
#include "net/TCPSocket.h"
#include "repair/buffer/BexoDataBuffer.h"

class BexoDataBufferTCP : public BexoDataBuffer {
public:
    // Acquires the shared socket manager and creates the socket; when the OS socket
    // cannot be created the buffer has none and every transfer is INVALID_STATE.
    BexoDataBufferTCP();
    // Closes the socket abortively and releases the shared socket manager.
    ~BexoDataBufferTCP() override;

    // 0: a stream has no size.
    std::uint64_t GetSize() override;
    BEXORESULT SetSize(std::uint64_t size) override;
    // The payload bytes received so far.
    std::uint64_t GetPosition() override;
    BEXORESULT Seek(std::uint64_t position) override;
    BEXORESULT WriteData(const void* data, std::uint32_t count) override;
    // ABORTED when the peer ends the stream before count bytes came.
    BEXORESULT ReadData(void* data, std::uint32_t count) override;
    void Flush() override;

    // INVALID_STATE without a socket or when already connected.
    BEXORESULT Connect(const SocketEndpoint& address);
    // Abortive: closes at once (the peer sees a reset) and releases blocked transfers;
    // the buffer cannot connect again. Graceful: the peer sees the end of the stream and
    // the buffer may connect again.
    void Disconnect(bool abort);
    bool IsConnected() const;

    // From now on, a connect, read or write that waits while fewer than minBytes move
    // within `ms` milliseconds closes the connection abortively and fails with
    // TIMED_OUT. 0 ms: no limit (the default). Starts a new measuring window.
    void SetTimeLimit(std::uint32_t ms, std::uint32_t minBytes = 1);

private:
    BEXORESULT Transfer(void* data, std::uint32_t count, int userlandClass);
    // Waits for the request under the time limit; the request's result or TIMED_OUT.
    BEXORESULT Await(IOOperation& operation);

    Kos::CriticalSection m_lock;
    std::unique_ptr<TCPSocket> m_socket;
    std::atomic<std::uint64_t> m_bytesRead{0};
    std::atomic<bool> m_connected{false};
    // Bytes of finished reads and writes, for the time limit's measure.
    std::atomic<std::uint64_t> m_moved{0};
    std::mutex m_limitLock;
    std::uint32_t m_limitMs = 0;
    std::uint32_t m_limitBytes = 1;
    std::chrono::steady_clock::time_point m_windowStart;
    std::uint64_t m_windowBase = 0;
};
