// 4 KiB write throughput through generic_make_request to the stand-in's RAM
// disk, by the number of bios kept in flight.
#include <benchmark/benchmark.h>
#include <standin/disk.h>
#include <standin/machine.h>

#include "block_bios.h"

namespace {

constexpr unsigned kDev = STANDIN_MKDEV(1, 200);
constexpr unsigned long long kSectors = 64ull << 11;  // 64 MiB

void BM_RamDiskWrite4K(benchmark::State &state) {
    standin_boot();
    if (standin_ramdisk_create("rambench", 1, 200, 1, kSectors) != 0) {
        state.SkipWithError("cannot create the RAM disk");
        return;
    }
    const auto depth = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        if (bench_write_4k(kDev, depth * 16, depth) != 0) {
            state.SkipWithError("a write failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * depth * 16 * 4096);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * depth * 16);
    standin_disk_remove(kDev);
}

BENCHMARK(BM_RamDiskWrite4K)->Arg(1)->Arg(8)->Arg(32)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
