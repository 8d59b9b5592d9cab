// The result code for an OS socket error, and the Windows Sockets start-up.
#pragma once

#include <cstdint>

#include "kernel/BexoResult.h"

BEXORESULT MapSocketError(std::uint32_t osError);

class WinsockInit {
public:
    WinsockInit() = default;
    WinsockInit(const WinsockInit&) = delete;
    WinsockInit& operator=(const WinsockInit&) = delete;
    ~WinsockInit() { Cleanup(); }

    // True only when the library started and serves exactly the version asked for.
    bool Startup(std::uint8_t major, std::uint8_t minor);
    // Undoes a start-up whose call succeeded; nothing otherwise.
    void Cleanup();

private:
    bool m_started = false;
};
