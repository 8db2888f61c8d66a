// 4 KiB write throughput of a RAM disk whose queue carries the automap-only
// hook (velAMRF: every write recorded in the device's automap session),
// against the same disk with its queue bare, in the same run: each iteration
// writes one batch with the hook and one without, in alternating order, on
// one disk, so that both see the same disk and the same completion thread.
// The `ratio` counter is the hooked throughput over the bare one (goal: at
// least 0.95).
#include <benchmark/benchmark.h>
#include <standin/disk.h>
#include <standin/machine.h>

#include <chrono>

#include "block_bios.h"
#include "tracking_bench_kernel.h"

namespace {

constexpr unsigned kDev = STANDIN_MKDEV(7, 0);
constexpr unsigned long long kSectors = 64ull << 11;  // 64 MiB

using Clock = std::chrono::steady_clock;

double secondsOfBatch(bool hooked, unsigned long count, unsigned depth, bool *failed) {
    bench_tracking_hook(hooked);
    auto start = Clock::now();
    *failed = *failed || bench_write_4k(kDev, count, depth) != 0;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_Write4KHookedVsBare(benchmark::State &state) {
    const auto depth = static_cast<unsigned>(state.range(0));
    const unsigned long count = depth * 16ul;
    double bare = 0, hooked = 0;
    bool failed = false;
    bool hookedFirst = false;
    for (auto _ : state) {
        if (hookedFirst)
            hooked += secondsOfBatch(true, count, depth, &failed);
        bare += secondsOfBatch(false, count, depth, &failed);
        if (!hookedFirst)
            hooked += secondsOfBatch(true, count, depth, &failed);
        hookedFirst = !hookedFirst;
    }
    if (failed) {
        state.SkipWithError("a write failed");
        return;
    }
    const double bytes = static_cast<double>(state.iterations()) * count * 4096;
    state.counters["bare_MiBps"] = bytes / bare / (1 << 20);
    state.counters["hooked_MiBps"] = bytes / hooked / (1 << 20);
    state.counters["ratio"] = bare / hooked;
}

// The machine is shared: five repetitions, of which the median is the figure.
BENCHMARK(BM_Write4KHookedVsBare)
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Iterations(100)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

bool setUp() {
    standin_boot();
    return standin_insmod(VELMORA_MODULE_PATH) == 0 &&
           standin_ramdisk_create("ramhook", STANDIN_MAJOR(kDev), 0, 1, kSectors) == 0 &&
           standin_mount(kDev, "testfs", 4096) == 0 && bench_tracking_begin(kDev) == 0;
}

void tearDown() {
    bench_tracking_hook(1);
    bench_tracking_end();
    standin_umount(kDev);
    standin_disk_remove(kDev);
    standin_rmmod("velmora");
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (!setUp()) {
        standin_klog_dump();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    tearDown();
    benchmark::Shutdown();
    return 0;
}
