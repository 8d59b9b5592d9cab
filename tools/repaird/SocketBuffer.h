// A data buffer over a blocking TCP stream, with read and write buffering so that the
// summary's many small fields do not each cost a system call.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "MemoryBudget.h"
#include "platform/TcpStream.h"
#include "repair/buffer/BexoDataBuffer.h"

// What a session's reads and writes moved and how long they waited on the peer, read by
// a watchdog on another thread.
class SessionMeter {
public:
    // Around each call that waits on the peer.
    void Begin();
    void End(std::uint64_t bytes);
    std::uint64_t Bytes() const;
    // Time spent waiting on the peer so far, the wait under way included.
    std::uint64_t WaitedMs() const;

private:
    mutable std::mutex m_lock;
    std::uint64_t m_bytes = 0;
    std::chrono::steady_clock::duration m_waited{};
    std::chrono::steady_clock::time_point m_since{};
    bool m_waiting = false;
};

class SocketBuffer : public BexoDataBuffer {
public:
    // Reads fail once `readBudget` bytes have been read, bounding what one peer can
    // make the server hold. The meter, if any, is told of every call on the stream.
    SocketBuffer(Platform::TcpStream* stream, std::uint64_t readBudget,
                 SessionMeter* meter = nullptr);

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
    // Reads and discards until the peer ends the stream.
    void DrainUntilEnd();
    // From now on, what is read is charged to the claim, `factor` bytes of memory for
    // each byte, as the reader will keep it; a read that does not fit fails.
    void ChargeReads(MemoryClaim* claim, std::uint64_t factor);
    bool OverBudget() const { return m_overBudget; }

private:
    long ReadSome(void* data, std::size_t size);
    bool WriteAll(const std::uint8_t* data, std::size_t size);

    Platform::TcpStream* m_stream;
    SessionMeter* m_meter;
    std::uint64_t m_readBudget;
    std::uint64_t m_position = 0;
    std::vector<std::uint8_t> m_in;
    std::size_t m_inStart = 0;
    std::vector<std::uint8_t> m_out;
    bool m_failed = false;
    MemoryClaim* m_claim = nullptr;
    std::uint64_t m_factor = 0;
    // Bytes read that the claim already covers.
    std::uint64_t m_covered = 0;
    bool m_overBudget = false;
};
