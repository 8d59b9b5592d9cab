// Whole-session figures for repair transfers, driven by bench/repair-transfer.sh.
//   osmel_bench_repair client ROOT PORT
//     repairs ROOT against a repair server on 127.0.0.1:PORT with the real repair client
//     (scan, upload, receive and write) and prints its time and peak memory;
//   osmel_bench_repair copy SRC DST [--sync]
//     the reference: sends every file of SRC over a loopback TCP connection and writes it
//     under DST, in 4 MiB pieces (with --sync, each piece is flushed to disk as the repair
//     client does before it registers a segment).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/TcpStream.h"
#include "repair/RepairClient.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPiece = 4u << 20;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The process's peak resident memory in MiB, from /proc.
double PeakMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

int Client(const std::string& root, unsigned port) {
    const std::wstring wideRoot = Platform::FromSystemPath(fs::absolute(root).string());
    const auto started = std::chrono::steady_clock::now();
    RepairClient client;
    if (client.SetRoot(wideRoot) != BEXORESULT_OK ||
        client.SetChecksumFile(wideRoot + L"\\repair.cks") != BEXORESULT_OK ||
        client.SetServer(SocketEndpoint{0x7F000001u, static_cast<std::uint16_t>(port)}) !=
            BEXORESULT_OK) {
        std::fprintf(stderr, "client: bad root or port\n");
        return 2;
    }
    client.Start();
    // The scan ends when the client starts to connect.
    double scanned = 0;
    while (!client.WaitUntilIdle(1)) {
        if (scanned == 0 && client.GetStage() >= RepairClient::kConnecting) {
            scanned = Seconds(started);
        }
    }
    std::printf(
        "client: %u / %u segments, stage %d, error %d, scan %.3f s, %.3f s, peak %.1f MiB\n",
        client.GetReceived(), client.GetAnnounced(), client.GetStage(),
        static_cast<int>(client.GetError()), scanned, Seconds(started), PeakMiB());
    return client.Succeeded() ? 0 : 1;
}

bool SendAll(Platform::TcpStream& stream, const std::string& text) {
    const auto size = static_cast<std::uint32_t>(text.size());
    return stream.WriteAll(&size, sizeof size) && stream.WriteAll(text.data(), text.size());
}

void Send(const fs::path& source, Platform::TcpStream* stream) {
    std::vector<char> piece(kPiece);
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        const std::uint64_t size = entry.file_size();
        if (!SendAll(*stream, fs::relative(entry.path(), source).string()) ||
            !stream->WriteAll(&size, sizeof size)) {
            return;
        }
        for (std::uint64_t left = size; left > 0;) {
            const std::size_t n = left < kPiece ? static_cast<std::size_t>(left) : kPiece;
            in.read(piece.data(), static_cast<std::streamsize>(n));
            if (!stream->WriteAll(piece.data(), n)) {
                return;
            }
            left -= n;
        }
    }
    stream->ShutdownWrite();
}

bool Receive(Platform::TcpStream& stream, const fs::path& target, bool sync, std::uint64_t* bytes) {
    std::vector<std::uint8_t> piece(kPiece);
    for (;;) {
        std::uint32_t nameSize = 0;
        if (!stream.ReadAll(&nameSize, sizeof nameSize)) {
            return true;
        }
        std::string name(nameSize, '\0');
        std::uint64_t size = 0;
        if (nameSize > 4096 || !stream.ReadAll(name.data(), nameSize) ||
            !stream.ReadAll(&size, sizeof size)) {
            return false;
        }
        const fs::path path = target / name;
        fs::create_directories(path.parent_path());
        BexoDataBufferFile file(Platform::FromSystemPath(path.string()),
                                BexoDataBufferFile::kModeCreate);
        for (std::uint64_t left = size; left > 0;) {
            const auto n = static_cast<std::uint32_t>(left < kPiece ? left : kPiece);
            if (!stream.ReadAll(piece.data(), n) ||
                file.WriteData(piece.data(), n) != BEXORESULT_OK || (sync && !file.Commit())) {
                return false;
            }
            left -= n;
            *bytes += n;
        }
    }
}

int Copy(const std::string& source, const std::string& target, bool sync) {
    auto listener = Platform::TcpListener::Listen("127.0.0.1", 0);
    if (!listener) {
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    std::thread sender([&] {
        if (auto stream = Platform::TcpStream::Connect("127.0.0.1", listener->Port())) {
            Send(source, stream.get());
        }
    });
    std::uint64_t bytes = 0;
    bool ok = false;
    if (auto stream = listener->Accept()) {
        ok = Receive(*stream, target, sync, &bytes);
    }
    sender.join();
    std::printf("copy%s: %.1f MiB, %.3f s, peak %.1f MiB\n", sync ? " --sync" : "",
                static_cast<double>(bytes) / (1 << 20), Seconds(started), PeakMiB());
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "client") == 0) {
        return Client(argv[2], static_cast<unsigned>(std::stoul(argv[3])));
    }
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "copy") == 0) {
        return Copy(argv[2], argv[3], argc == 5 && std::strcmp(argv[4], "--sync") == 0);
    }
    std::fprintf(stderr,
                 "usage: osmel_bench_repair client ROOT PORT\n"
                 "       osmel_bench_repair copy SRC DST [--sync]\n");
    return 2;
}
