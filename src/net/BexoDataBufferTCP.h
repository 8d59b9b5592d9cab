// A connected TCP stream as a data buffer, over the completion-port sockets. Reads and
// writes are synchronous: each returns when all bytes have moved or the request failed.
// One thread may read while another writes; the buffer must not be used on the
// completion-port thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

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

private:
    BEXORESULT Transfer(void* data, std::uint32_t count, int userlandClass);

    Kos::CriticalSection m_lock;
    std::unique_ptr<TCPSocket> m_socket;
    std::atomic<std::uint64_t> m_bytesRead{0};
    std::atomic<bool> m_connected{false};
};
