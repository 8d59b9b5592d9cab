// The cost of one allocation and release through the global operators. Built twice:
// osmel_bench_allocation with the runtime library's operators, and
// osmel_bench_allocation_tracked with the allocation tracker's.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

void BM_NewDelete(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        auto block = std::make_unique<char[]>(size);
        benchmark::DoNotOptimize(block.get());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewDelete)->Arg(16)->Arg(4096);

// A string built piece by piece, as the log and path code do.
void BM_GrowString(benchmark::State& state) {
    for (auto _ : state) {
        std::string text;
        for (int i = 0; i < 64; ++i) {
            text += "segment of a path\\";
        }
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_GrowString);

// Two threads allocating at once contend for the tracker's one lock.
void BM_NewDeleteTwoThreads(benchmark::State& state) {
    for (auto _ : state) {
        auto block = std::make_unique<char[]>(64);
        benchmark::DoNotOptimize(block.get());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewDeleteTwoThreads)->Threads(2);

}  // namespace
