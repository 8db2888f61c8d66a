// The cost of one operation on a driver block map: setBlock and blockInMap on
// a map of 2^20 blocks (32 bitmap pages), the block numbers striding across
// the pages; from one thread, and from two at once as two writers' hooks do.
#include <benchmark/benchmark.h>
#include <standin/machine.h>

#include "tracking_bench_kernel.h"

namespace {

constexpr unsigned kBlocks = 1u << 20;
void *g_map = nullptr;

// An odd stride visits every block, and a different page almost every time.
unsigned nextBlock(unsigned n) {
    return (n + 40503u) & (kBlocks - 1);
}

void BM_SetBlock(benchmark::State &state) {
    unsigned n = static_cast<unsigned>(state.thread_index()) * 7919u;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench_set_block(g_map, n));
        n = nextBlock(n);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_BlockInMap(benchmark::State &state) {
    unsigned n = static_cast<unsigned>(state.thread_index()) * 7919u;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench_block_in_map(g_map, n));
        n = nextBlock(n);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_SetBlock)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_BlockInMap)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    standin_boot();
    if (standin_insmod(VELMORA_MODULE_PATH) != 0 || !(g_map = bench_map_new(kBlocks))) {
        standin_klog_dump();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    bench_map_free(g_map);
    standin_rmmod("velmora");
    benchmark::Shutdown();
    return 0;
}
