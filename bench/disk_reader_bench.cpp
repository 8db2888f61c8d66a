// A whole device read through the driver's disk reader into the agent's
// mapping (read commands of 256 blocks), against pread of the same bytes
// from the disk's image file in chunks of the same size. All run in every
// iteration; "ratio" is the reader's throughput over pread's. The disk serves
// each bio in its submitter's context, as a RAM disk driver does, so the
// ratio is the cost of the driver and the block layer; "async_ratio" is the
// same with the disk's own thread serving the bios, which adds two task
// switches per read command. "bios_ratio" sets the reader against the same
// one-block bios, 256 in flight, sent to the disk without the driver.
#include <backup_session.h>
#include <benchmark/benchmark.h>
#include <disk_image.h>
#include <machine.h>
#include <standin/disk.h>
#include <transfer_buffer.h>

#include "block_bios.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kMajor = 3;
constexpr unsigned kDev = STANDIN_MKDEV(kMajor, 0);
constexpr unsigned kBlockSize = 4096;
constexpr unsigned kPerCommand = 256;
constexpr std::size_t kChunk = std::size_t{kPerCommand} * kBlockSize;
constexpr std::size_t kBytes = 64u << 20;
constexpr std::uint32_t kBlocks = kBytes / kBlockSize;

// An image disk of random bytes with a mounted file system, and the module.
class Rig {
  public:
    Rig() : image_(dir_.file("disk.img")) {
        std::vector<char> chunk(kChunk);
        std::mt19937_64 rng(42);
        int out = ::open(image_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (std::size_t off = 0; off < kBytes; off += kChunk) {
            for (std::size_t i = 0; i < kChunk; i += 8) {
                std::uint64_t v = rng();
                std::memcpy(&chunk[i], &v, 8);
            }
            if (::pwrite(out, chunk.data(), kChunk, static_cast<off_t>(off)) !=
                static_cast<ssize_t>(kChunk))
                throw std::runtime_error("cannot write the image");
        }
        ::close(out);
        if (standin_imagedisk_create("rdbench", image_.c_str(), kMajor, 0, 1) != 0 ||
            standin_disk_set_direct(kDev, 1) != 0 || standin_mount(kDev, "testfs", kBlockSize) != 0)
            throw std::runtime_error("cannot set up the image disk");
        machine_.load(velmora::sim::velmoraModulePath());
        fd_ = ::open(image_.c_str(), O_RDONLY);
    }
    ~Rig() {
        ::close(fd_);
        machine_.unload("velmora");
        standin_umount(kDev);
        standin_disk_remove(kDev);
    }
    int imageFd() const { return fd_; }

  private:
    velmora::sim::Machine machine_;
    velmora::sim::TempDir dir_;
    std::string image_;
    int fd_ = -1;
};

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void BM_ReaderAgainstPread(benchmark::State &state) {
    Rig rig;
    using namespace velmora::agent;
    void *own = bench_swap_queue_fn(kDev, nullptr);
    BackupSession session;
    session.start(kMajor, 0, kBlocks, 16);
    session.noStartAutoMap();
    session.snapshot(SessionKey::none());
    TransferBuffer buffer(session.device(), kChunk);
    std::vector<char> plain(kChunk);

    // The reader must bring the image's bytes before its speed means anything.
    session.readBlocks(kBlocks - kPerCommand, kPerCommand, buffer);
    if (::pread(rig.imageFd(), plain.data(), kChunk, static_cast<off_t>(kBytes - kChunk)) !=
            static_cast<ssize_t>(kChunk) ||
        std::memcmp(buffer.data(), plain.data(), kChunk) != 0) {
        state.SkipWithError("the reader's bytes differ from the image");
        return;
    }

    auto readAll = [&] {
        for (std::uint32_t start = 0; start < kBlocks; start += kPerCommand)
            session.readBlocks(start, kPerCommand, buffer);
    };
    double reader = 0, pread = 0, bios = 0, async = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        readAll();
        auto t1 = Clock::now();
        for (std::size_t off = 0; off < kBytes; off += kChunk)
            benchmark::DoNotOptimize(
                ::pread(rig.imageFd(), plain.data(), kChunk, static_cast<off_t>(off)));
        auto t2 = Clock::now();
        // The snapshot's hook is off the queue for the bare bios.
        void *hook = bench_swap_queue_fn(kDev, own);
        int failed = bench_read_blocks(kDev, 0, kBlocks, kPerCommand);
        bench_swap_queue_fn(kDev, hook);
        auto t3 = Clock::now();
        standin_disk_set_direct(kDev, 0);
        readAll();
        standin_disk_set_direct(kDev, 1);
        async += seconds(Clock::now() - t3);
        if (failed) {
            state.SkipWithError("a bare read failed");
            return;
        }
        reader += seconds(t1 - t0);
        pread += seconds(t2 - t1);
        bios += seconds(t3 - t2);
    }
    const double mib = static_cast<double>(state.iterations()) * kBytes / (1 << 20);
    state.counters["reader_MiBps"] = mib / reader;
    state.counters["pread_MiBps"] = mib / pread;
    state.counters["bios_MiBps"] = mib / bios;
    state.counters["async_MiBps"] = mib / async;
    state.counters["async_ratio"] = pread / async;
    state.counters["ratio"] = pread / reader;
    state.counters["bios_ratio"] = bios / reader;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
}

BENCHMARK(BM_ReaderAgainstPread)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
