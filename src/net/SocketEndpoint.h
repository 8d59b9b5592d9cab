// An IPv4 address and port, both in host byte order.
#pragma once

#include <cstdint>

#include "platform/Sockets.h"

struct SocketEndpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;

    Platform::SocketAddress ToOS() const { return {address, port}; }
    static SocketEndpoint FromOS(const Platform::SocketAddress& os) {
        return {os.address, os.port};
    }
};
