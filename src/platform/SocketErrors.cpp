// The translation of other error numbers into Windows Sockets numbers, shared by both
// backends: errno values of the C library's socket calls, and the Win32 errors that
// completion packets of socket calls carry.
#include <cerrno>

#include "platform/Sockets.h"

namespace Platform {

namespace {

// The application bit of Win32 error numbers marks errno values without a Windows
// Sockets counterpart.
constexpr DWORD kApplicationErrorBit = 1u << 29;

// Win32 errors of completed socket calls, the NT status of the call translated.
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorSemTimeout = 121;
constexpr DWORD kErrorHandlesClosed = 676;
constexpr DWORD kErrorConnectionRefused = 1225;
constexpr DWORD kErrorAddressAlreadyAssociated = 1227;
constexpr DWORD kErrorConnectionInvalid = 1229;
constexpr DWORD kErrorNetworkUnreachable = 1231;
constexpr DWORD kErrorHostUnreachable = 1232;
constexpr DWORD kErrorConnectionAborted = 1236;
constexpr DWORD kErrorNoSystemResources = 1450;

}  // namespace

DWORD WsaErrorFromErrno(int errnoValue) {
    switch (errnoValue) {
        case 0:
            return Error::Success;
        case EFAULT:
            return Error::WsaEFault;
        case EINVAL:
            return Error::WsaEInval;
        case EAGAIN:
            return Error::WsaEWouldBlock;
        case EINPROGRESS:
            return Error::WsaEInProgress;
        case EALREADY:
            return Error::WsaEAlready;
        case EBADF:
        case ENOTSOCK:
            return Error::WsaENotSock;
        case EAFNOSUPPORT:
            return Error::WsaEAfNoSupport;
        case EADDRINUSE:
            return Error::WsaEAddrInUse;
        case EADDRNOTAVAIL:
            return Error::WsaEAddrNotAvail;
        case ENETDOWN:
            return Error::WsaENetDown;
        case ENETUNREACH:
            return Error::WsaENetUnreach;
        case ECONNABORTED:
            return Error::WsaEConnAborted;
        // A send after the peer reset the connection; Windows reports the reset.
        case EPIPE:
        case ECONNRESET:
            return Error::WsaEConnReset;
        case ENOBUFS:
        case ENOMEM:
            return Error::WsaENoBufs;
        case EISCONN:
            return Error::WsaEIsConn;
        case ENOTCONN:
            return Error::WsaENotConn;
        case ETIMEDOUT:
            return Error::WsaETimedOut;
        case ECONNREFUSED:
            return Error::WsaEConnRefused;
#ifdef EHOSTDOWN
        case EHOSTDOWN:
#endif
        case EHOSTUNREACH:
            return Error::WsaEHostUnreach;
        default:
            return kApplicationErrorBit | static_cast<DWORD>(errnoValue);
    }
}

DWORD WsaErrorFromWin32(DWORD win32Error) {
    switch (win32Error) {
        case Error::NetnameDeleted:
            return Error::WsaEConnReset;
        case Error::InvalidHandle:
            return Error::WsaENotSock;
        case kErrorInvalidParameter:
            return Error::WsaEInval;
        case kErrorSemTimeout:
            return Error::WsaETimedOut;
        // Wine ends the calls of a socket closed under them so, where Windows aborts them.
        case kErrorHandlesClosed:
            return Error::OperationAborted;
        case kErrorConnectionRefused:
            return Error::WsaEConnRefused;
        case kErrorAddressAlreadyAssociated:
            return Error::WsaEAddrInUse;
        case kErrorConnectionInvalid:
            return Error::WsaENotConn;
        case kErrorNetworkUnreachable:
            return Error::WsaENetUnreach;
        case kErrorHostUnreachable:
            return Error::WsaEHostUnreach;
        case kErrorConnectionAborted:
            return Error::WsaEConnAborted;
        case Error::NotEnoughMemory:
        case kErrorNoSystemResources:
            return Error::WsaENoBufs;
        default:
            return win32Error;
    }
}

}  // namespace Platform
