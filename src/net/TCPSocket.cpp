#include "net/TCPSocket.h"

#include <cstdio>

#include "kernel/Assert.h"
#include "net/SocketError.h"

namespace {

std::int64_t MyThreadId() {
    return static_cast<std::int64_t>(Platform::GetCurrentThreadId());
}

}  // namespace

TCPSocket::TCPSocket() {
    for (int i = 0; i < USERLAND_OPERATION_CLASS_MAX; ++i) {
        m_currentUserlandThread[i].store(-1);
        m_userlandCount[i].store(0);
    }
}

TCPSocket::~TCPSocket() {
    Close();
}

bool TCPSocket::Create(CPSocketManager* manager) {
    BexoAssert(Platform::kInvalidSocket == m_socket.load());
    const Platform::Socket socket = Platform::WSASocket();
    if (socket == Platform::kInvalidSocket) {
        return false;
    }
    manager->GetLock().Lock(Platform::kInfinite);
    const bool associated = manager->Associate(socket, Key());
    if (associated) {
        m_manager = manager;
    }
    manager->GetLock().Unlock();
    if (!associated) {
        Platform::CloseSocket(socket, true);
        return false;
    }
    m_socket.store(socket);
    return true;
}

void TCPSocket::Close() {
    // Cleared first: the IOCP thread must not pick up a socket that is being closed.
    const Platform::Socket socket = m_socket.exchange(Platform::kInvalidSocket);
    if (socket != Platform::kInvalidSocket) {
        Platform::CloseSocket(socket, true);
    }
}

BEXORESULT TCPSocket::Bind(const SocketEndpoint& address) {
    EnterUserlandOperation(USERLAND_OPERATION_CLASS_READ);
    const Platform::Socket socket = m_socket.load();
    const std::uint32_t error = Platform::Bind(socket, address.ToOS());
    if (error == 0) {
        Platform::SocketAddress local;
        if (Platform::GetSockName(socket, &local) == 0) {
            m_localAddress = SocketEndpoint::FromOS(local);
        }
    }
    LeaveUserlandOperation(USERLAND_OPERATION_CLASS_READ);
    return MapSocketError(error);
}

void TCPSocket::Post(IOOperation& operation, IOOperation::Kind kind) {
    operation.m_handler = this;
    operation.m_operation = kind;
    operation.SetState(IOOperation::STATE_POSTED);
    if (m_manager == nullptr || !m_manager->Post(Key(), 0, &operation)) {
        // Nothing will come through the port: finish here so the waiter wakes.
        operation.SetState(IOOperation::STATE_FAILEDPOST);
        operation.m_error = BEXORESULT_INVALID_STATE;
        operation.m_osError = Platform::Error::WsaENotSock;
        operation.Complete(this);
    }
}

void TCPSocket::StartConnect(const SocketEndpoint& address, IOOperation& operation) {
    EnterUserlandOperation(USERLAND_OPERATION_CLASS_READ);
    m_remoteAddress = address;
    Post(operation, IOOperation::IO_TCP_StartConnect);
    LeaveUserlandOperation(USERLAND_OPERATION_CLASS_READ);
}

void TCPSocket::StartRead(IOOperation& operation) {
    EnterUserlandOperation(USERLAND_OPERATION_CLASS_READ);
    operation.m_stepBytes = 0;
    Post(operation, IOOperation::IO_TCP_StartRead);
    LeaveUserlandOperation(USERLAND_OPERATION_CLASS_READ);
}

void TCPSocket::StartWrite(IOOperation& operation) {
    EnterUserlandOperation(USERLAND_OPERATION_CLASS_WRITE);
    operation.m_stepBytes = 0;
    Post(operation, IOOperation::IO_TCP_StartWrite);
    LeaveUserlandOperation(USERLAND_OPERATION_CLASS_WRITE);
}

void TCPSocket::StartDisconnect(IOOperation& operation) {
    Post(operation, IOOperation::IO_TCP_StartDisconnect);
}

void TCPSocket::EnterUserlandOperation(int userlandOperationClass) {
    BexoAssert(userlandOperationClass != USERLAND_OPERATION_CLASS_MAX);
    BexoAssert(userlandOperationClass >= 0 &&
               userlandOperationClass < USERLAND_OPERATION_CLASS_MAX);
    BexoAssert(IsInUserlandThread());
    const std::int64_t myThreadID = MyThreadId();
    const std::int64_t wasThreadID =
        m_currentUserlandThread[userlandOperationClass].exchange(myThreadID);
    BexoAssert(wasThreadID == -1 || wasThreadID == myThreadID);
    ++m_userlandCount[userlandOperationClass];
}

void TCPSocket::LeaveUserlandOperation(int userlandOperationClass) {
    BexoAssert(userlandOperationClass != USERLAND_OPERATION_CLASS_MAX);
    BexoAssert(userlandOperationClass >= 0 &&
               userlandOperationClass < USERLAND_OPERATION_CLASS_MAX);
    BexoAssert(m_currentUserlandThread[userlandOperationClass] == MyThreadId());
    const std::int32_t count = --m_userlandCount[userlandOperationClass];
    BexoAssert(count >= 0);
    if (count == 0) {
        m_currentUserlandThread[userlandOperationClass].store(-1);
    }
}

bool TCPSocket::IsUserlandSocketOperationInProgress() const {
    for (const auto& slot : m_currentUserlandThread) {
        if (slot.load() != -1) {
            return true;
        }
    }
    return false;
}

bool TCPSocket::HandleCompletion(IOOperation& operation, std::uint32_t error) {
    BexoAssert(IsInIOCPThread());
    BexoAssert(operation.m_operation == IOOperation::IO_TCP_StartDisconnect ||
               operation.m_operation == IOOperation::IO_TCP_Disconnect ||
               IsUserlandSocketOperationInProgress());
    BexoAssert(IOOperation::IO_TCP_Invalid != operation.m_operation);
    BexoAssert(NULL != GetManager());  // NOLINT(modernize-use-nullptr): the report names NULL
    bool finished = false;
    switch (operation.m_operation) {
        case IOOperation::IO_TCP_StartConnect:
        case IOOperation::IO_TCP_Connect:
            finished = ConnectResponse(operation, error);
            break;
        case IOOperation::IO_TCP_StartAccept:
        case IOOperation::IO_TCP_Accept:
            finished = AcceptResponse(operation, error);
            break;
        case IOOperation::IO_TCP_Read:
        case IOOperation::IO_TCP_StartRead:
            finished = RecvResponse(operation, error);
            break;
        case IOOperation::IO_TCP_Write:
        case IOOperation::IO_TCP_StartWrite:
            finished = SendResponse(operation, error);
            break;
        case IOOperation::IO_TCP_StartDisconnect:
        case IOOperation::IO_TCP_Disconnect:
            finished = DisconnectResponse(operation, error);
            break;
        default:
            return false;
    }
    if (finished) {
        operation.Complete(this);
    }
    return finished;
}

bool TCPSocket::Issued(IOOperation& operation, std::uint32_t result, std::uint32_t* error) {
    if (result == 0 || result == Platform::Error::IoPending) {
        return true;
    }
    operation.SetState(IOOperation::STATE_FAILEDPOST);
    *error = result;
    return false;
}

bool TCPSocket::Finish(IOOperation& operation, std::uint32_t error) {
    operation.m_error = MapSocketError(error);
    operation.m_osError = error;
    return true;
}

bool TCPSocket::AcceptResponse(IOOperation& operation, std::uint32_t error) {
    BexoAssert(IsInIOCPThread());
    return Finish(operation, error);
}

bool TCPSocket::ConnectResponse(IOOperation& operation, std::uint32_t error) {
    BexoAssert(IsInIOCPThread());
    if (operation.m_error != BEXORESULT_OK) {
        return true;
    }
    if (error == 0) {
        const Platform::Socket socket = m_socket.load();
        if (operation.m_operation == IOOperation::IO_TCP_StartConnect) {
            operation.m_operation = IOOperation::IO_TCP_Connect;
            operation.SetState(IOOperation::STATE_POSTED);
            if (Issued(operation, Platform::ConnectEx(socket, m_remoteAddress.ToOS(), &operation),
                       &error)) {
                return false;
            }
        } else {
            Platform::SocketAddress local;
            error = Platform::GetSockName(socket, &local);
            if (error == 0) {
                m_localAddress = SocketEndpoint::FromOS(local);
                error = Platform::UpdateConnectContext(socket);
            }
        }
    }
    return Finish(operation, error);
}

bool TCPSocket::RecvResponse(IOOperation& operation, std::uint32_t error) {
    BexoAssert(IsInIOCPThread());
    return StepResponse(operation, error, true);
}

bool TCPSocket::SendResponse(IOOperation& operation, std::uint32_t error) {
    BexoAssert(IsInIOCPThread());
    return StepResponse(operation, error, false);
}

bool TCPSocket::StepResponse(IOOperation& operation, std::uint32_t error, bool receive) {
    BexoAssert(BEXORESULT_OK == operation.m_error || 0 == error);
    operation.m_transferred += operation.m_stepBytes;
    operation.m_progress.store(operation.m_transferred, std::memory_order_relaxed);
    if (operation.m_transferred == operation.m_requested) {
        return true;
    }
    if (operation.m_error != BEXORESULT_OK) {
        return true;
    }
    if (error != 0) {
        return Finish(operation, error);
    }
    if (receive && operation.m_stepBytes == 0 &&
        operation.m_operation == IOOperation::IO_TCP_Read) {
        // The peer ended the stream before the request was filled.
        operation.m_error = BEXORESULT_ABORTED;
        return true;
    }
    operation.m_operation = receive ? IOOperation::IO_TCP_Read : IOOperation::IO_TCP_Write;
    operation.m_stepBytes = 0;
    operation.m_wsaBuf.len = operation.m_requested - operation.m_transferred;
    operation.m_wsaBuf.buf = reinterpret_cast<char*>(operation.m_buffer + operation.m_transferred);
    operation.SetState(IOOperation::STATE_POSTED);
    const Platform::Socket socket = m_socket.load();
    const std::uint32_t result = receive
                                     ? Platform::WSARecv(socket, operation.m_wsaBuf, &operation)
                                     : Platform::WSASend(socket, operation.m_wsaBuf, &operation);
    if (result == Platform::Error::WsaENoBufs) {
        // Not a failure: the step goes through the queue again once buffers free up.
        operation.SetState(IOOperation::STATE_CAUGHT);
        operation.m_operation =
            receive ? IOOperation::IO_TCP_StartRead : IOOperation::IO_TCP_StartWrite;
        operation.m_stepBytes = 0;
        std::fputs(receive ? "TCPSocket::RecvResponse> WSAENOBUFS!"
                           : "TCPSocket::SendResponse> WSAENOBUFS!",
                   stdout);
        Platform::Sleep(0);
        operation.SetState(IOOperation::STATE_POSTED);
        if (!m_manager->Post(Key(), 0, &operation)) {
            operation.SetState(IOOperation::STATE_FAILEDPOST);
            return Finish(operation, result);
        }
        return false;
    }
    if (Issued(operation, result, &error)) {
        return false;
    }
    return Finish(operation, error);
}

bool TCPSocket::DisconnectResponse(IOOperation& operation, std::uint32_t error) {
    BexoAssert(IsInIOCPThread());
    if (operation.m_error != BEXORESULT_OK) {
        return true;
    }
    if (operation.m_operation != IOOperation::IO_TCP_Disconnect && error == 0) {
        operation.m_operation = IOOperation::IO_TCP_Disconnect;
        operation.SetState(IOOperation::STATE_POSTED);
        if (Issued(operation, Platform::DisconnectEx(m_socket.load(), &operation), &error)) {
            return false;
        }
    }
    return Finish(operation, error);
}
