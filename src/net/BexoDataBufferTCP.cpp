#include "net/BexoDataBufferTCP.h"

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
    operation.Wait();
    m_socket->LeaveUserlandOperation(userlandClass);
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
        operation.Wait();
        result = operation.m_error;
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
