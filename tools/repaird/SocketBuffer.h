// A data buffer over a blocking TCP stream, with read and write buffering so that the
// summary's many small fields do not each cost a system call.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/TcpStream.h"
#include "repair/buffer/BexoDataBuffer.h"

class SocketBuffer : public BexoDataBuffer {
public:
    // Reads fail once `readBudget` bytes have been read, bounding what one peer can
    // make the reader hold.
    SocketBuffer(Platform::TcpStream* stream, std::uint64_t readBudget);

    // A stream has no size: 0.
    std::uint64_t GetSize() override { return 0; }
    BEXORESULT SetSize(std::uint64_t) override { return BEXORESULT_NOT_SUPPORTED; }
    std::uint64_t GetPosition() override { return m_position; }
    BEXORESULT Seek(std::uint64_t) override { return BEXORESULT_NOT_SUPPORTED; }
    BEXORESULT WriteData(const void* data, std::uint32_t count) override;
    BEXORESULT ReadData(void* data, std::uint32_t count) override;
    // Sends what is buffered.
    void Flush() override;
    bool Failed() const { return m_failed; }

private:
    Platform::TcpStream* m_stream;
    std::uint64_t m_readBudget;
    std::uint64_t m_position = 0;
    std::vector<std::uint8_t> m_in;
    std::size_t m_inStart = 0;
    std::vector<std::uint8_t> m_out;
    bool m_failed = false;
};
