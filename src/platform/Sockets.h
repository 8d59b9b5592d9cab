// Overlapped TCP sockets on a completion port, shaped after Windows Sockets 2: a socket
// is associated with a port under a key; an overlapped receive, send, connect or
// disconnect either fails at once or later delivers exactly one completion packet
// (bytes, key, overlapped block, error) through the port, also when it succeeded at
// once. Errors are the Windows Sockets numbers whatever the OS reports underneath: on
// Windows a completion's Win32 error is translated as Windows Sockets itself does.
//
// The port is meant for one thread that takes its completions and issues the overlapped
// calls; any thread may post packets and close sockets. A socket closed while calls are
// outstanding completes them with kErrorOperationAborted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Win32Types.h"

namespace Platform {

namespace Error {
constexpr DWORD NetnameDeleted = 64;
constexpr DWORD OperationAborted = 995;
constexpr DWORD IoPending = 997;
constexpr DWORD WsaEFault = 10014;
constexpr DWORD WsaEInval = 10022;
constexpr DWORD WsaEWouldBlock = 10035;
constexpr DWORD WsaEInProgress = 10036;
constexpr DWORD WsaEAlready = 10037;
constexpr DWORD WsaENotSock = 10038;
constexpr DWORD WsaEAfNoSupport = 10047;
constexpr DWORD WsaEAddrInUse = 10048;
constexpr DWORD WsaEAddrNotAvail = 10049;
constexpr DWORD WsaENetDown = 10050;
constexpr DWORD WsaENetUnreach = 10051;
constexpr DWORD WsaEConnAborted = 10053;
constexpr DWORD WsaEConnReset = 10054;
constexpr DWORD WsaENoBufs = 10055;
constexpr DWORD WsaEIsConn = 10056;
constexpr DWORD WsaENotConn = 10057;
constexpr DWORD WsaETimedOut = 10060;
constexpr DWORD WsaEConnRefused = 10061;
constexpr DWORD WsaEHostUnreach = 10065;
constexpr DWORD WsaVerNotSupported = 10092;
constexpr DWORD WsaNotInitialised = 10093;
}  // namespace Error

// The Windows Sockets number for an errno value of a socket call. Values without a
// Windows Sockets counterpart come back with the application bit (1 << 29) set.
DWORD WsaErrorFromErrno(int errnoValue);
// The Windows Sockets number for the Win32 error that a completion packet of a socket
// call carries (64 for a reset connection, 1225 for a refused connect...); Windows
// Sockets numbers and errors without a counterpart come back unchanged.
DWORD WsaErrorFromWin32(DWORD win32Error);

// The OS's block for an overlapped call, laid out as Windows' OVERLAPPED, which it is
// on Windows. Zero it before use and leave it alone while a call is outstanding.
struct Overlapped {
    std::uintptr_t internal = 0;
    std::uintptr_t internalHigh = 0;
    std::uint32_t offset = 0;
    std::uint32_t offsetHigh = 0;
    void* event = nullptr;
};

struct WsaBuf {
    std::uint32_t len = 0;
    char* buf = nullptr;
};

struct SocketObject;
using Socket = SocketObject*;
constexpr Socket kInvalidSocket = nullptr;

struct CompletionPortObject;
using CompletionPort = CompletionPortObject*;

// IPv4 address and port in host byte order.
struct SocketAddress {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

// Starts the sockets library: 0 when it supports the version asked for, whose number
// (major in the low byte) comes back in *version. Every successful start is matched by
// one WSACleanup.
DWORD WSAStartup(std::uint8_t major, std::uint8_t minor, std::uint16_t* version);
void WSACleanup();

// Null when the port cannot be created. Concurrency is accepted for the shape of the
// call: the port serves one thread.
CompletionPort CreateIoCompletionPort(std::uint32_t concurrency);
// False with last error set when the socket cannot be watched.
bool AssociateSocket(CompletionPort port, Socket socket, std::uintptr_t key);
bool PostQueuedCompletionStatus(CompletionPort port, DWORD bytes, std::uintptr_t key,
                                Overlapped* overlapped);
// Waits without time limit for the next packet and returns its error (0 on success).
// The out values are zeroed first. Only one thread may call it on a port.
DWORD GetQueuedCompletionStatus(CompletionPort port, DWORD* bytes, std::uintptr_t* key,
                                Overlapped** overlapped);
// Every socket associated with it must be closed first.
void CloseCompletionPort(CompletionPort port);

// A TCP socket for overlapped calls; kInvalidSocket with last error set on failure.
Socket WSASocket();
// 0 or the error.
DWORD Bind(Socket socket, const SocketAddress& address);
DWORD GetSockName(Socket socket, SocketAddress* address);
// Closes at once; with abortive, the peer sees a reset (SO_LINGER on, 0 seconds).
// Outstanding calls complete with Error::OperationAborted.
void CloseSocket(Socket socket, bool abortive);

// Each returns 0 when the call completed at once, Error::IoPending when it will complete
// later, or the error when it failed (then no packet comes). One call per direction may
// be outstanding on a socket.
DWORD WSARecv(Socket socket, const WsaBuf& buffer, Overlapped* overlapped);
DWORD WSASend(Socket socket, const WsaBuf& buffer, Overlapped* overlapped);
// The socket must be bound.
DWORD ConnectEx(Socket socket, const SocketAddress& address, Overlapped* overlapped);
// Makes the connection known to the socket's other calls once ConnectEx completed.
DWORD UpdateConnectContext(Socket socket);
// Ends the connection gracefully and leaves the socket unbound and unconnected, ready
// for another Bind and ConnectEx: a fresh OS socket, associated with the same port and
// key, stands in from then on, and the old one is closed once its disconnect is done.
// Outstanding calls of the old socket complete with Error::OperationAborted.
DWORD DisconnectEx(Socket socket, Overlapped* overlapped);

// The IPv4 addresses of a host name or dotted address, in host byte order and in the
// resolver's order, as gethostbyname gives them; empty when the name does not resolve.
// Blocks while the resolver works.
std::vector<std::uint32_t> GetHostByName(const std::string& name);

}  // namespace Platform
