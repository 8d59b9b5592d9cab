#include <benchmark/benchmark.h>

#include <vector>

#include "repair/SegmentChecksum.h"

namespace {

constexpr std::size_t kSegment = 4194304;

const std::vector<unsigned char>& Segment() {
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> v(kSegment);
        for (std::size_t i = 0; i < v.size(); ++i) {
            v[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
        }
        return v;
    }();
    return data;
}

template <std::uint32_t (*Crc)(std::uint32_t, const void*, std::size_t)>
void BM_SegmentChecksum(benchmark::State& state) {
    const auto& data = Segment();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Crc(0, data.data(), data.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
    state.SetLabel(SegmentCrcUsesClmul() ? "clmul available" : "no clmul");
}

BENCHMARK(BM_SegmentChecksum<SegmentCrc>)->Name("SegmentCrc/4MiB");
BENCHMARK(BM_SegmentChecksum<SegmentCrcTable>)->Name("SegmentCrcTable/4MiB");
BENCHMARK(BM_SegmentChecksum<SegmentCrcBitwise>)->Name("SegmentCrcBitwise/4MiB");

}  // namespace
