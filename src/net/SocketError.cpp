#include "net/SocketError.h"

#include "platform/Sockets.h"

BEXORESULT MapSocketError(std::uint32_t osError) {
    namespace E = Platform::Error;
    switch (osError) {
        case 0:
            return BEXORESULT_OK;
        case E::NetnameDeleted:
        case E::WsaENetDown:
        case E::WsaENetUnreach:
        case E::WsaEConnReset:
        case E::WsaETimedOut:
        case E::WsaEHostUnreach:
            return BEXORESULT_NETWORK_ERROR;
        case E::OperationAborted:
            return BEXORESULT_ABORTED;
        case E::WsaEFault:
        case E::WsaEAfNoSupport:
        case E::WsaEAddrNotAvail:
            return BEXORESULT_INVALID_ARGUMENT;
        case E::WsaEInval:
        case E::WsaEAlready:
        case E::WsaENotSock:
        case E::WsaNotInitialised:
            return BEXORESULT_INVALID_STATE;
        case E::WsaEConnRefused:
            return BEXORESULT_CONNECTION_REFUSED;
        default:
            return BEXORESULT_UNKNOWN_ERROR;
    }
}

bool WinsockInit::Startup(std::uint8_t major, std::uint8_t minor) {
    std::uint16_t version = 0;
    if (Platform::WSAStartup(major, minor, &version) != 0) {
        return false;
    }
    m_started = true;
    return version == static_cast<std::uint16_t>(major | (minor << 8));
}

void WinsockInit::Cleanup() {
    if (m_started) {
        Platform::WSACleanup();
        m_started = false;
    }
}
