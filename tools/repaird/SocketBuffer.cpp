#include "SocketBuffer.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t kChunk = 65536;
// Large writes go out in pieces of this size, so that a watchdog sees a slow peer's
// progress as it happens.
constexpr std::size_t kWritePiece = 16384;
}  // namespace

void SessionMeter::Begin() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_since = std::chrono::steady_clock::now();
    m_waiting = true;
}

void SessionMeter::End(std::uint64_t bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_waited += std::chrono::steady_clock::now() - m_since;
    m_waiting = false;
    m_bytes += bytes;
}

std::uint64_t SessionMeter::Bytes() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_bytes;
}

std::uint64_t SessionMeter::WaitedMs() const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto waited = m_waited;
    if (m_waiting) {
        waited += std::chrono::steady_clock::now() - m_since;
    }
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
}

SocketBuffer::SocketBuffer(Platform::TcpStream* stream, std::uint64_t readBudget,
                           SessionMeter* meter)
    : m_stream(stream), m_meter(meter), m_readBudget(readBudget) {
    m_out.reserve(kChunk);
}

long SocketBuffer::ReadSome(void* data, std::size_t size) {
    if (m_meter != nullptr) {
        m_meter->Begin();
    }
    const long n = m_stream->ReadSome(data, size);
    if (m_meter != nullptr) {
        m_meter->End(n > 0 ? static_cast<std::uint64_t>(n) : 0);
    }
    return n;
}

bool SocketBuffer::WriteAll(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const std::size_t piece = m_meter != nullptr ? std::min(size, kWritePiece) : size;
        if (m_meter != nullptr) {
            m_meter->Begin();
        }
        const bool written = m_stream->WriteAll(data, piece);
        if (m_meter != nullptr) {
            m_meter->End(written ? piece : 0);
        }
        if (!written) {
            return false;
        }
        data += piece;
        size -= piece;
    }
    return true;
}

void SocketBuffer::ChargeReads(MemoryClaim* claim, std::uint64_t factor) {
    m_claim = claim;
    m_factor = factor;
    m_covered = 0;
}

void SocketBuffer::DrainUntilEnd() {
    std::uint8_t drain[256];
    while (ReadSome(drain, sizeof drain) > 0) {
    }
}

BEXORESULT SocketBuffer::WriteData(const void* data, std::uint32_t count) {
    if (m_failed) {
        return BEXORESULT_NETWORK_ERROR;
    }
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (m_out.size() + count > kChunk) {
        Flush();
        if (count >= kChunk) {
            if (!WriteAll(p, count)) {
                m_failed = true;
                return BEXORESULT_NETWORK_ERROR;
            }
            m_position += count;
            return BEXORESULT_OK;
        }
    }
    m_out.insert(m_out.end(), p, p + count);
    m_position += count;
    return m_failed ? BEXORESULT_NETWORK_ERROR : BEXORESULT_OK;
}

BEXORESULT SocketBuffer::ReadData(void* data, std::uint32_t count) {
    if (m_failed) {
        return BEXORESULT_NETWORK_ERROR;
    }
    if (count > m_readBudget) {
        m_failed = true;
        return BEXORESULT_BAD_DATA;
    }
    m_readBudget -= count;
    if (m_claim != nullptr) {
        // Charged ahead in steps, not per field.
        constexpr std::uint64_t kStep = 65536;
        if (count > m_covered) {
            const std::uint64_t step = std::max<std::uint64_t>(count - m_covered, kStep);
            if (!m_claim->Grow(step * m_factor)) {
                m_failed = true;
                m_overBudget = true;
                return BEXORESULT_BAD_DATA;
            }
            m_covered += step;
        }
        m_covered -= count;
    }
    auto* p = static_cast<std::uint8_t*>(data);
    std::uint32_t remaining = count;
    while (remaining > 0) {
        if (m_inStart == m_in.size()) {
            m_in.resize(kChunk);
            m_inStart = 0;
            const long n = ReadSome(m_in.data(), m_in.size());
            if (n <= 0) {
                m_in.clear();
                m_failed = true;
                return n == 0 ? BEXORESULT_ABORTED : BEXORESULT_NETWORK_ERROR;
            }
            m_in.resize(static_cast<std::size_t>(n));
        }
        const std::size_t take = std::min<std::size_t>(remaining, m_in.size() - m_inStart);
        std::memcpy(p, m_in.data() + m_inStart, take);
        m_inStart += take;
        p += take;
        remaining -= static_cast<std::uint32_t>(take);
    }
    m_position += count;
    return BEXORESULT_OK;
}

void SocketBuffer::Flush() {
    if (!m_out.empty() && !m_failed && !WriteAll(m_out.data(), m_out.size())) {
        m_failed = true;
    }
    m_out.clear();
}
