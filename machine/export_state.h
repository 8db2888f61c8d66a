// The inside of a disk export, shared by its FUSE operations (on the FUSE
// threads) and its owner: the devices shown, the files the host holds open,
// the writes in flight per device and the counts of what the host sent.
#pragma once

#include "device_io.h"
#include "disk_export.h"
#include "exported_devices.h"

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct fuse;
struct fuse_loop_config;

namespace velmora::machine {

struct ExportCounters {
    std::atomic<std::uint64_t> reads{0}, writes{0}, readBytes{0}, writeBytes{0};
    std::atomic<std::uint64_t> unalignedReads{0}, refusedWrites{0}, failures{0}, flushes{0};
    std::atomic<std::uint64_t> smallestWrite{0}, largestWrite{0};

    void noteWrite(std::size_t len);
    ExportStats snapshot() const;
};

struct DiskExport::State {
    State(std::string mountPoint, const std::vector<unsigned> &disks)
        : mountPoint(std::move(mountPoint)), devices(disks) {}

    // A handle for the host; nullptr and *error (-errno) when the device
    // cannot be opened. Owned here until close() or closeAll().
    DeviceIo *open(unsigned dev, int *error);
    void close(DeviceIo *io);
    int openCount() const;
    // At the end: the handles a cut-off host never released.
    void closeAll();

    const std::string mountPoint;
    const ExportedDevices devices;
    ExportCounters counters;
    fuse *session = nullptr;
    fuse_loop_config *loopConfig = nullptr;
    std::thread loop;

  private:
    mutable std::mutex mutex_;
    std::map<unsigned, std::shared_ptr<WritesInFlight>> writes_;
    std::map<DeviceIo *, std::unique_ptr<DeviceIo>> open_;
};

}  // namespace velmora::machine
