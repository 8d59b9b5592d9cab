// Throughput and round-trip time of the TCP data buffer over loopback, measured in the
// same run as a plain blocking socket pair doing the same work against the same peer.
// Each case runs RUNS times, interleaved with its reference; the best run counts.
//
// Usage: osmel_bench_tcp [MIB] [RUNS] [ROUND_TRIPS]   (defaults 1024, 5, 20000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "net/BexoDataBufferTCP.h"
#include "platform/TcpStream.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kChunk = 64 << 10;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "%s failed\n", what);
        std::exit(1);
    }
}

// The peer of every case: accepts one connection and runs `serve` on it.
template <typename Serve>
std::thread Peer(Platform::TcpListener& listener, Serve serve) {
    return std::thread([&listener, serve] {
        std::unique_ptr<Platform::TcpStream> stream = listener.Accept();
        if (stream) {
            serve(*stream);
        }
    });
}

void Drain(Platform::TcpStream& stream, std::uint64_t total) {
    std::vector<char> chunk(kChunk);
    while (total > 0) {
        const std::uint64_t n = std::min<std::uint64_t>(total, kChunk);
        Check(stream.ReadAll(chunk.data(), n), "peer read");
        total -= n;
    }
}

void Fill(Platform::TcpStream& stream, std::uint64_t total) {
    std::vector<char> chunk(kChunk, 'x');
    while (total > 0) {
        const std::uint64_t n = std::min<std::uint64_t>(total, kChunk);
        Check(stream.WriteAll(chunk.data(), n), "peer write");
        total -= n;
    }
}

void Echo4(Platform::TcpStream& stream, int count) {
    char word[4];
    for (int i = 0; i < count; ++i) {
        Check(stream.ReadAll(word, 4) && stream.WriteAll(word, 4), "peer echo");
    }
}

// The two clients compared, behind one face: this system's TCP data buffer and a plain
// blocking stream.
class BufferClient {
public:
    explicit BufferClient(Platform::TcpListener& listener)
        : m_buffer(std::make_unique<BexoDataBufferTCP>()) {
        Check(m_buffer->Connect({kLoopback, listener.Port()}) == BEXORESULT_OK, "buffer connect");
    }
    bool Write(const char* data, std::uint32_t n) {
        return m_buffer->WriteData(data, n) == BEXORESULT_OK;
    }
    bool Read(char* data, std::uint32_t n) { return m_buffer->ReadData(data, n) == BEXORESULT_OK; }

private:
    std::unique_ptr<BexoDataBufferTCP> m_buffer;
};

class PlainClient {
public:
    explicit PlainClient(Platform::TcpListener& listener)
        : m_stream(Platform::TcpStream::Connect("127.0.0.1", listener.Port())) {
        Check(m_stream != nullptr, "plain connect");
    }
    bool Write(const char* data, std::uint32_t n) { return m_stream->WriteAll(data, n); }
    bool Read(char* data, std::uint32_t n) { return m_stream->ReadAll(data, n); }

private:
    std::unique_ptr<Platform::TcpStream> m_stream;
};

// Client writes `total` bytes in 64 KiB writes; the peer reads them.
template <typename Client>
double Write(Platform::TcpListener& listener, std::uint64_t total) {
    std::thread peer = Peer(listener, [total](Platform::TcpStream& s) { Drain(s, total); });
    Client client(listener);
    std::vector<char> chunk(kChunk, 'x');
    const auto start = Clock::now();
    for (std::uint64_t left = total; left > 0; left -= kChunk) {
        Check(client.Write(chunk.data(), kChunk), "client write");
    }
    peer.join();
    return Seconds(start);
}

// The peer writes `total` bytes; the client reads them in 64 KiB reads.
template <typename Client>
double Read(Platform::TcpListener& listener, std::uint64_t total) {
    std::thread peer = Peer(listener, [total](Platform::TcpStream& s) { Fill(s, total); });
    Client client(listener);
    std::vector<char> chunk(kChunk);
    const auto start = Clock::now();
    for (std::uint64_t left = total; left > 0; left -= kChunk) {
        Check(client.Read(chunk.data(), kChunk), "client read");
    }
    const double seconds = Seconds(start);
    peer.join();
    return seconds;
}

// Mean time of a 4-byte request and its 4-byte answer.
template <typename Client>
double RoundTrip(Platform::TcpListener& listener, int count) {
    std::thread peer = Peer(listener, [count](Platform::TcpStream& s) { Echo4(s, count); });
    Client client(listener);
    char word[4] = {'p', 'i', 'n', 'g'};
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        Check(client.Write(word, 4), "client request");
        Check(client.Read(word, 4), "client answer");
    }
    const double seconds = Seconds(start);
    peer.join();
    return seconds / count;
}

struct Best {
    double ours = 1e30;
    double plain = 1e30;
};

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const int trips = argc > 3 ? std::atoi(argv[3]) : 20000;
    const std::uint64_t total = mib << 20;
    auto listener = Platform::TcpListener::Listen("127.0.0.1", 0);
    Check(listener != nullptr, "listen");

    Best write;
    Best read;
    Best trip;
    for (int run = 0; run < runs; ++run) {
        write.plain = std::min(write.plain, Write<PlainClient>(*listener, total));
        write.ours = std::min(write.ours, Write<BufferClient>(*listener, total));
        read.plain = std::min(read.plain, Read<PlainClient>(*listener, total));
        read.ours = std::min(read.ours, Read<BufferClient>(*listener, total));
        trip.plain = std::min(trip.plain, RoundTrip<PlainClient>(*listener, trips));
        trip.ours = std::min(trip.ours, RoundTrip<BufferClient>(*listener, trips));
    }
    const double mb = static_cast<double>(total) / 1048576.0;
    std::printf("== %llu MiB over loopback in 64 KiB requests (best of %d)\n",
                static_cast<unsigned long long>(mib), runs);
    std::printf(
        "write: BexoDataBufferTCP %.0f MB/s, plain blocking pair %.0f MB/s, ratio %.2f "
        "(target >= 0.8)\n",
        mb / write.ours, mb / write.plain, write.plain / write.ours);
    std::printf(
        "read:  BexoDataBufferTCP %.0f MB/s, plain blocking pair %.0f MB/s, ratio %.2f "
        "(target >= 0.8)\n",
        mb / read.ours, mb / read.plain, read.plain / read.ours);
    std::printf("== 4-byte request and answer, mean of %d (best of %d)\n", trips, runs);
    std::printf(
        "round trip: BexoDataBufferTCP %.1f us, plain blocking pair %.1f us, "
        "ratio %.2f\n",
        trip.ours * 1e6, trip.plain * 1e6, trip.plain / trip.ours);
    return 0;
}
