// UpdateUninstallLog appending 1,000 added files to a 10 MiB log.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "patch/UninstallLog.h"

namespace fs = std::filesystem;

namespace {

void Put32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        s[at + i] = static_cast<char>(v >> (8 * i));
    }
}

std::uint32_t Crc(const char* data, std::size_t n) {
    return static_cast<std::uint32_t>(
        crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data), static_cast<uInt>(n)));
}

std::string MakeLog(std::size_t dataBytes) {
    std::string log(448, '\0');
    Put32(log, 444, Crc(log.data(), 444));
    std::string data(dataBytes, '\0');
    for (std::size_t i = 0; i < dataBytes; ++i) {
        data[i] = static_cast<char>(i * 31 + 7);
    }
    for (std::size_t at = 0; at < data.size(); at += 4096) {
        const std::size_t n = std::min<std::size_t>(4096, data.size() - at);
        std::string header(12, '\0');
        Put32(header, 0, static_cast<std::uint32_t>(n));
        Put32(header, 4, ~static_cast<std::uint32_t>(n));
        Put32(header, 8, Crc(data.data() + at, n));
        log += header;
        log.append(data, at, n);
    }
    return log;
}

void BM_UpdateUninstallLog10MiB1000Files(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / "osmel-bench-unins";
    fs::create_directories(dir / "install");
    fs::create_directories(dir / "patch");
    const std::string log = MakeLog((10 << 20) - 1000);
    {
        std::ofstream list(dir / "patch" / "addedFiles.txt", std::ios::binary);
        for (int i = 0; i < 1000; ++i) {
            list << "data\\maps\\region" << i / 100 << "\\tile" << i << ".map\r\n"
                 << "0123456789abcdef0123456789abcdef\r\n\r\n";
        }
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::ofstream(dir / "install" / "unins000.dat", std::ios::binary) << log;
        state.ResumeTiming();
        if (!UpdateUninstallLog((dir / "install").wstring(), (dir / "patch").wstring())) {
            state.SkipWithError("UpdateUninstallLog failed");
        }
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_UpdateUninstallLog10MiB1000Files)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
