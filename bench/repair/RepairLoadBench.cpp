// Load on osmel-repaird from whole processes: IDLE connections that send nothing are held
// open while CLIENTS clients at once each repair one file of one segment from an empty
// summary; every byte each client receives is compared with what it must receive (the
// handshake's answer, the count and the file's record), so "identical" means the whole
// stream. With "plain" the server at PORT is instead a plain copy server (`serve`) and
// the clients expect the file's bytes alone: the same clients, the same bytes, for a
// reference in the same run. With "trickle" the idle connections are slow clients
// instead: each sends the start of a request, a byte every 2 s.
//
// Usage: osmel_bench_repair_load PORT IDLE CLIENTS FILE [plain|trickle]
//        osmel_bench_repair_load serve FILE    (prints its port, sends FILE to each peer)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernel/LittleEndian.h"
#include "kernel/Text.h"
#include "platform/FileLimit.h"
#include "platform/Poller.h"
#include "platform/TcpStream.h"
#include "repair/FileTreeSummary.h"
#include "repair/SegmentChecksum.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> ReadWhole(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The plain copy server: a thread per peer writes the file and closes.
int Serve(const std::vector<std::uint8_t>& file) {
    Platform::RaiseOpenFileLimit();
    auto listener = Platform::TcpListener::Listen("127.0.0.1", 0, 4096);
    if (!listener) {
        return 1;
    }
    std::printf("serving on 127.0.0.1:%u\n", listener->Port());
    std::fflush(stdout);
    for (;;) {
        std::shared_ptr<Platform::TcpStream> peer = listener->Accept();
        if (!peer) {
            continue;
        }
        std::thread([peer, &file] {
            peer->WriteAll(file.data(), file.size());
            std::uint8_t rest[256];
            while (peer->ReadSome(rest, sizeof rest) > 0) {
            }
        }).detach();
    }
}

struct Client {
    std::unique_ptr<Platform::TcpStream> stream;
    std::size_t at = 0;
    bool identical = true;
    bool done = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "serve") == 0) {
        return Serve(ReadWhole(argv[2]));
    }
    if (argc < 5) {
        std::fprintf(stderr, "usage: osmel_bench_repair_load PORT IDLE CLIENTS FILE [plain]\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const std::size_t idleCount = std::strtoul(argv[2], nullptr, 10);
    const std::size_t clientCount = std::strtoul(argv[3], nullptr, 10);
    const std::vector<std::uint8_t> file = ReadWhole(argv[4]);
    const bool plain = argc > 5 && std::strcmp(argv[5], "plain") == 0;
    const bool trickle = argc > 5 && std::strcmp(argv[5], "trickle") == 0;
    Platform::RaiseOpenFileLimit();

    std::vector<std::uint8_t> request;
    std::vector<std::uint8_t> expected;
    if (plain) {
        expected = file;
    } else {
        AppendLittleEndian<std::uint32_t>(request, 6);
        AppendLittleEndian<std::uint32_t>(request, kSummaryMagic);
        AppendLittleEndian<std::uint32_t>(request, 0);
        AppendLittleEndian<std::uint32_t>(expected, 6);
        AppendLittleEndian<std::uint32_t>(expected, 1);
        expected.push_back(0);
        const std::u16string key = ToUtf16(FormatSegmentKey(L"f.bin", 0));
        AppendLittleEndian<std::uint32_t>(expected, static_cast<std::uint32_t>(key.size()));
        for (const char16_t unit : key) {
            AppendLittleEndian<std::uint16_t>(expected, static_cast<std::uint16_t>(unit));
        }
        const std::uint32_t crc = SegmentCrc(0, file.data(), file.size());
        AppendLittleEndian<std::uint32_t>(expected, crc == 0 ? 1 : crc);
        AppendLittleEndian<std::uint32_t>(expected, static_cast<std::uint32_t>(file.size()));
        expected.insert(expected.end(), file.begin(), file.end());
    }

    std::vector<std::unique_ptr<Platform::TcpStream>> idle;
    while (idle.size() < idleCount) {
        auto stream = Platform::TcpStream::Connect("127.0.0.1", port);
        if (!stream) {
            std::fprintf(stderr, "idle connection %zu failed\n", idle.size());
            return 1;
        }
        idle.push_back(std::move(stream));
    }

    for (auto& stream : idle) {
        stream->SetNonBlocking();
    }
    std::atomic<bool> over{false};
    std::thread trickling([&] {
        // The handshake, then a summary that announces one entry of a long key.
        std::vector<std::uint8_t> slow;
        AppendLittleEndian<std::uint32_t>(slow, 6);
        AppendLittleEndian<std::uint32_t>(slow, kSummaryMagic);
        AppendLittleEndian<std::uint32_t>(slow, 1);
        AppendLittleEndian<std::uint32_t>(slow, 30000);
        for (std::size_t at = 0; trickle && !over; ++at) {
            for (auto& stream : idle) {
                const std::uint8_t next = at < slow.size() ? slow[at] : 0;
                stream->WriteSome(&next, 1);
            }
            for (int i = 0; i < 20 && !over; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    });
    auto poller = Platform::Poller::Create();
    std::vector<Client> clients(clientCount);
    const Clock::time_point started = Clock::now();
    for (Client& client : clients) {
        client.stream = Platform::TcpStream::Connect("127.0.0.1", port);
        if (!client.stream || !client.stream->WriteAll(request.data(), request.size())) {
            std::fprintf(stderr, "client connection failed\n");
            return 1;
        }
        client.stream->SetNonBlocking();
        poller->Watch(client.stream->Handle(), &client, true, false);
    }
    std::size_t finished = 0;
    std::vector<std::uint8_t> buffer(1 << 20);
    std::vector<Platform::Poller::Event> events;
    const Clock::time_point giveUp = Clock::now() + std::chrono::minutes(10);
    while (finished < clients.size() && Clock::now() < giveUp) {
        poller->Wait(&events, 1000);
        for (const auto& event : events) {
            auto& client = *static_cast<Client*>(event.tag);
            for (;;) {
                const long n = client.stream->ReadSome(buffer.data(), buffer.size());
                if (n == Platform::TcpStream::kWouldBlock) {
                    break;
                }
                if (n > 0) {
                    const auto count = static_cast<std::size_t>(n);
                    client.identical =
                        client.identical && client.at + count <= expected.size() &&
                        std::memcmp(buffer.data(), expected.data() + client.at, count) == 0;
                    client.at += count;
                }
                if (n <= 0 || client.at >= expected.size()) {
                    client.done = true;
                    ++finished;
                    poller->Forget(client.stream->Handle());
                    client.stream.reset();
                    break;
                }
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    over = true;
    trickling.join();
    std::size_t identical = 0;
    double bytes = 0;
    for (const Client& client : clients) {
        bytes += static_cast<double>(client.at);
        identical += client.done && client.identical && client.at == expected.size() ? 1 : 0;
    }
    std::printf(
        "%s: %zu clients, %.1f MiB in %.3f s, %.1f MiB/s, %zu byte-identical, %zu %s "
        "connections\n",
        plain ? "plain copy" : "repaird", clientCount, bytes / 1048576.0, seconds,
        bytes / 1048576.0 / seconds, identical, idle.size(), trickle ? "trickling" : "idle");
    return identical == clientCount ? 0 : 1;
}
