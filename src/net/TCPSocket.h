// A TCP socket on the shared completion port. User threads post start requests
// (StartConnect, StartRead, StartWrite, StartDisconnect) and wait on the operation; the
// IOCP thread issues the overlapped calls in its response handlers, repeating them
// until the whole request is done, and then completes the operation.
//
// Per socket, one user thread at a time may run connect, bind and read requests
// (userland class 0) and one write requests (class 1); a caller enters the class around
// its whole request (start and wait) so the IOCP thread can check that someone waits.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/BexoResult.h"
#include "net/CompletionPort.h"
#include "net/IOOperation.h"
#include "net/SocketEndpoint.h"

class TCPSocket : public CPHandler {
public:
    enum UserlandOperationClass : int {
        USERLAND_OPERATION_CLASS_READ = 0,  // connect, bind and read
        USERLAND_OPERATION_CLASS_WRITE = 1,
        USERLAND_OPERATION_CLASS_MAX = 2,
    };

    TCPSocket();
    bool HandleCompletion(IOOperation& operation, std::uint32_t error) override;
    Platform::Socket GetHandle() override { return m_socket.load(); }
    // Closes abortively.
    ~TCPSocket() override;

    // Creates the OS socket and associates it with the manager's port; false when either
    // fails (the socket is then closed).
    virtual bool Create(CPSocketManager* manager);
    // Post a request and return at once; the caller waits with IOOperation::Wait.
    virtual void StartConnect(const SocketEndpoint& address, IOOperation& operation);
    virtual void StartRead(IOOperation& operation);
    virtual void StartWrite(IOOperation& operation);
    // Graceful: the peer sees the end of the stream; the socket can be bound again.
    virtual void StartDisconnect(IOOperation& operation);

    // A bind of the local address (class 0); the mapped OS error.
    BEXORESULT Bind(const SocketEndpoint& address);
    // Abortive close: the peer sees a reset, outstanding requests end ABORTED.
    void Close();

    void EnterUserlandOperation(int userlandOperationClass);
    void LeaveUserlandOperation(int userlandOperationClass);
    bool IsUserlandSocketOperationInProgress() const;

    SocketEndpoint GetLocalAddress() const { return m_localAddress; }
    SocketEndpoint GetRemoteAddress() const { return m_remoteAddress; }

protected:
    // Listening sockets are never created here, so an accept finishes at once.
    virtual bool AcceptResponse(IOOperation& operation, std::uint32_t error);
    virtual bool ConnectResponse(IOOperation& operation, std::uint32_t error);
    virtual bool RecvResponse(IOOperation& operation, std::uint32_t error);
    virtual bool SendResponse(IOOperation& operation, std::uint32_t error);
    virtual bool DisconnectResponse(IOOperation& operation, std::uint32_t error);

private:
    std::uintptr_t Key() { return reinterpret_cast<std::uintptr_t>(static_cast<CPHandler*>(this)); }
    void Post(IOOperation& operation, IOOperation::Kind kind);
    // After an overlapped call: true when it is outstanding (its completion will come
    // through the port); otherwise marks the failed post and stores the error.
    static bool Issued(IOOperation& operation, std::uint32_t result, std::uint32_t* error);
    // Sets the operation's result from the OS error; the operation is finished.
    static bool Finish(IOOperation& operation, std::uint32_t error);
    bool StepResponse(IOOperation& operation, std::uint32_t error, bool receive);

    std::atomic<Platform::Socket> m_socket{Platform::kInvalidSocket};
    SocketEndpoint m_localAddress;
    SocketEndpoint m_remoteAddress;
    std::atomic<std::int64_t> m_currentUserlandThread[USERLAND_OPERATION_CLASS_MAX];
    std::atomic<std::int32_t> m_userlandCount[USERLAND_OPERATION_CLASS_MAX];
};
