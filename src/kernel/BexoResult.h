// The result codes returned by data buffers, the archive reader, networking and the
// repair client. Values are fixed: they travel in logs and between components.
#pragma once

#include <cstdint>

using BEXORESULT = std::int32_t;

enum : BEXORESULT {
    BEXORESULT_OK = 0,                   // success
    BEXORESULT_WRONG_MODE = 1,           // the file buffer's access mode forbids the operation
    BEXORESULT_IO_ERROR = 2,             // a file-system call failed or moved fewer bytes
    BEXORESULT_NETWORK_ERROR = 3,        // a network or transfer call failed or stopped short
    BEXORESULT_NOT_FOUND = 4,            // the named item does not exist
    BEXORESULT_INVALID_ARGUMENT = 5,     // an argument is empty or malformed
    BEXORESULT_NOT_SUPPORTED = 6,        // this kind of buffer cannot do that
    BEXORESULT_INVALID_STATE = 7,        // not open, not connected, or busy
    BEXORESULT_END_OF_DATA = 8,          // fewer bytes available than asked, or past the end
    BEXORESULT_OUT_OF_MEMORY = 9,        // memory could not be obtained
    BEXORESULT_BAD_DATA = 10,            // wrong magic, handshake mismatch, unknown scheme
    BEXORESULT_UNKNOWN_ERROR = 11,       // any other socket error
    BEXORESULT_CONNECTION_REFUSED = 12,  // the peer refused the connection
    BEXORESULT_ABORTED = 13,             // cancelled, aborted, or closed by the peer
    BEXORESULT_DISK_FULL = 14,           // a write found no room left on the volume
    BEXORESULT_TIMED_OUT = 15,           // the peer moved nothing within the time limit
};

// The name of a result code, for log lines ("BEXORESULT_IO_ERROR").
const char* BexoResultName(BEXORESULT result);
