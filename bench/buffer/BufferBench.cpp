// MD5 over memory and files, CopyData file to file, DecompressData of 4 MiB chunks.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "patch/MD5.h"
#include "repair/buffer/BexoUtil.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunk = 4 << 20;

// Executable-like bytes: system libraries when present, else a mix of text and noise.
std::vector<std::uint8_t> ExecutableLike(std::size_t size) {
    std::vector<std::uint8_t> data;
    data.reserve(size);
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/libstdc++.so.6",
                             "/usr/lib/x86_64-linux-gnu/libc.so.6", "/usr/bin/cmake"}) {
        std::ifstream in(path, std::ios::binary);
        data.insert(data.end(), std::istreambuf_iterator<char>(in),
                    std::istreambuf_iterator<char>());
        if (data.size() >= size) {
            break;
        }
    }
    std::mt19937 random(1);
    while (data.size() < size) {
        data.push_back(data.size() % 7 == 0 ? static_cast<std::uint8_t>(random()) : 0x90);
    }
    data.resize(size);
    return data;
}

fs::path BenchFile(const char* name, std::size_t size) {
    const fs::path path = fs::temp_directory_path() / name;
    if (!fs::exists(path) || fs::file_size(path) != size) {
        const std::vector<std::uint8_t> data = ExecutableLike(size);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
    }
    return path;
}

void BM_MD5Memory(benchmark::State& state) {
    const std::vector<std::uint8_t> data = ExecutableLike(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        MD5 md5;
        md5.update(data.data(), static_cast<std::uint32_t>(data.size()));
        md5.finalize();
        benchmark::DoNotOptimize(md5.raw_digest()[0]);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MD5Memory)->Arg(1 << 10)->Arg(16 << 20);

void BM_FileMD5Hex(benchmark::State& state) {
    const std::size_t size = 64 << 20;
    const fs::path path = BenchFile("osmel-bench-md5.bin", size);
    for (auto _ : state) {
        std::wstring digest;
        benchmark::DoNotOptimize(FileMD5Hex(path.wstring(), &digest));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_FileMD5Hex)->Unit(benchmark::kMillisecond);

void BM_CopyDataFileToFile(benchmark::State& state) {
    const std::size_t size = 64 << 20;
    const fs::path in = BenchFile("osmel-bench-copy.bin", size);
    const fs::path out = fs::temp_directory_path() / "osmel-bench-copy.out";
    for (auto _ : state) {
        BexoDataBufferFile source(in.wstring(), BexoDataBufferFile::kModeRead);
        BexoDataBufferFile destination(out.wstring(), BexoDataBufferFile::kModeCreate);
        if (CopyRemainingData(&destination, &source) != BEXORESULT_OK) {
            state.SkipWithError("CopyRemainingData failed");
        }
    }
    fs::remove(out);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_CopyDataFileToFile)->Unit(benchmark::kMillisecond);

void BM_DecompressData4MiBChunks(benchmark::State& state) {
    const std::size_t size = 8 * kChunk;
    const std::vector<std::uint8_t> raw = ExecutableLike(size);
    BexoDataBufferMemoryDynamic source;
    source.WriteData(raw.data(), static_cast<std::uint32_t>(raw.size()));
    source.Seek(0);
    BexoDataBufferMemoryDynamic container;
    BexoUtil::CompressData(&container, &source, kChunk);
    for (auto _ : state) {
        container.Seek(0);
        BexoDataBufferMemoryDynamic out;
        if (BexoUtil::DecompressData(&out, &container) != BEXORESULT_OK) {
            state.SkipWithError("DecompressData failed");
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_DecompressData4MiBChunks)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
