#include "SocketBuffer.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t kChunk = 65536;
}  // namespace

SocketBuffer::SocketBuffer(Platform::TcpStream* stream, std::uint64_t readBudget)
    : m_stream(stream), m_readBudget(readBudget) {
    m_out.reserve(kChunk);
}

BEXORESULT SocketBuffer::WriteData(const void* data, std::uint32_t count) {
    if (m_failed) {
        return BEXORESULT_NETWORK_ERROR;
    }
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (m_out.size() + count > kChunk) {
        Flush();
        if (count >= kChunk) {
            if (!m_stream->WriteAll(p, count)) {
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
    auto* p = static_cast<std::uint8_t*>(data);
    std::uint32_t remaining = count;
    while (remaining > 0) {
        if (m_inStart == m_in.size()) {
            m_in.resize(kChunk);
            m_inStart = 0;
            const long n = m_stream->ReadSome(m_in.data(), m_in.size());
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
    if (!m_out.empty() && !m_failed && !m_stream->WriteAll(m_out.data(), m_out.size())) {
        m_failed = true;
    }
    m_out.clear();
}
