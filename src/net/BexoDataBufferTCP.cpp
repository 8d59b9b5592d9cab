#include "net/BexoDataBufferTCP.h"

#include <algorithm>

BexoDataBufferTCP::BexoDataBufferTCP() : m_socket(std::make_unique<TCPSocket>()) {
    CPSocketManager* manager = AcquireSocketManager(1);
    if (!m_socket->Create(manager)) {
        m_socket.reset();
    }
}

BexoDataBufferTCP::~BexoDataBufferTCP() {
    if (m_socket) {
        m_socket->Close();
        m_socket.reset();
    }
    ReleaseSocketManager();
}

std::uint64_t BexoDataBufferTCP::GetSize() {
    return 0;
}

BEXORESULT BexoDataBufferTCP::SetSize(std::uint64_t /*size*/) {
    return BEXORESULT_NOT_SUPPORTED;
}

std::uint64_t BexoDataBufferTCP::GetPosition() {
    return m_bytesRead.load();
}

BEXORESULT BexoDataBufferTCP::Seek(std::uint64_t /*position*/) {
    return BEXORESULT_NOT_SUPPORTED;
}

void BexoDataBufferTCP::Flush() {}

BEXORESULT BexoDataBufferTCP::Transfer(void* data, std::uint32_t count, int userlandClass) {
    if (!m_socket) {
        return BEXORESULT_INVALID_STATE;
    }
    IOOperation operation;
    operation.SetBuffer(count, data);
    operation.SetRequested(count);
    m_socket->EnterUserlandOperation(userlandClass);
    m_lock.Lock(Platform::kInfinite);
    if (userlandClass == TCPSocket::USERLAND_OPERATION_CLASS_WRITE) {
        m_socket->StartWrite(operation);
    } else {
        m_socket->StartRead(operation);
    }
    m_lock.Unlock();
    const BEXORESULT result = Await(operation);
    m_socket->LeaveUserlandOperation(userlandClass);
    m_moved += operation.m_transferred;
    return result;
}

void BexoDataBufferTCP::SetTimeLimit(std::uint32_t ms, std::uint32_t minBytes) {
    const std::lock_guard<std::mutex> hold(m_limitLock);
    m_limitMs = ms;
    m_limitBytes = std::max<std::uint32_t>(minBytes, 1);
    m_windowStart = std::chrono::steady_clock::now();
    m_windowBase = m_moved.load();
}

BEXORESULT BexoDataBufferTCP::Await(IOOperation& operation) {
    std::uint32_t limitMs = 0;
    {
        const std::lock_guard<std::mutex> hold(m_limitLock);
        limitMs = m_limitMs;
    }
    if (limitMs == 0) {
        operation.Wait();
        return operation.m_error;
    }
    // Looked at eight times per limit, so a stall is noticed within 9/8 of the limit.
    const std::uint32_t slice = std::max<std::uint32_t>(limitMs / 8, 1);
    while (!operation.Wait(slice)) {
        const std::uint64_t moved = m_moved.load() + operation.Progress();
        const auto now = std::chrono::steady_clock::now();
        bool expired = false;
        {
            const std::lock_guard<std::mutex> hold(m_limitLock);
            if (moved - m_windowBase >= m_limitBytes) {
                m_windowStart = now;
                m_windowBase = moved;
            } else {
                expired = now - m_windowStart >= std::chrono::milliseconds(m_limitMs);
            }
        }
        if (expired) {
            // Closing ends the request at once; the socket is not used again.
            m_connected.store(false);
            m_lock.Lock(Platform::kInfinite);
            m_socket->Close();
            m_lock.Unlock();
            operation.Wait();
            return BEXORESULT_TIMED_OUT;
        }
    }
    return operation.m_error;
}

BEXORESULT BexoDataBufferTCP::WriteData(const void* data, std::uint32_t count) {
    // The socket only reads from the buffer of a write.
    return Transfer(const_cast<void*>(data), count, TCPSocket::USERLAND_OPERATION_CLASS_WRITE);
}

BEXORESULT BexoDataBufferTCP::ReadData(void* data, std::uint32_t count) {
    const BEXORESULT result = Transfer(data, count, TCPSocket::USERLAND_OPERATION_CLASS_READ);
    if (result == BEXORESULT_OK) {
        m_bytesRead += count;
    }
    return result;
}

BEXORESULT BexoDataBufferTCP::Connect(const SocketEndpoint& address) {
    if (!m_socket || m_connected.load()) {
        return BEXORESULT_INVALID_STATE;
    }
    // The request stays in the read class until it is waited for, so the IOCP thread
    // always finds its waiter registered.
    m_socket->EnterUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
    BEXORESULT result = m_socket->Bind(SocketEndpoint{0, 0});
    if (result == BEXORESULT_OK) {
        IOOperation operation;
        m_lock.Lock(Platform::kInfinite);
        m_socket->StartConnect(address, operation);
        m_lock.Unlock();
        result = Await(operation);
    }
    m_socket->LeaveUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
    m_connected.store(result == BEXORESULT_OK);
    return result;
}

void BexoDataBufferTCP::Disconnect(bool abort) {
    m_connected.store(false);
    if (!m_socket) {
        return;
    }
    if (abort) {
        m_lock.Lock(Platform::kInfinite);
        m_socket->Close();
        m_lock.Unlock();
        return;
    }
    IOOperation operation;
    m_lock.Lock(Platform::kInfinite);
    m_socket->StartDisconnect(operation);
    m_lock.Unlock();
    operation.Wait();
}

bool BexoDataBufferTCP::IsConnected() const {
    return m_socket && m_connected.load();
}
