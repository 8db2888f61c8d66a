#include "export_state.h"

namespace velmora::machine {

void ExportCounters::noteWrite(std::size_t len) {
    writes++;
    writeBytes += len;
    std::uint64_t n = len;
    std::uint64_t small = smallestWrite.load();
    while ((small == 0 || n < small) && !smallestWrite.compare_exchange_weak(small, n)) {
    }
    std::uint64_t large = largestWrite.load();
    while (n > large && !largestWrite.compare_exchange_weak(large, n)) {
    }
}

ExportStats ExportCounters::snapshot() const {
    return {reads,         writes,   readBytes, writeBytes,    unalignedReads,
            refusedWrites, failures, flushes,   smallestWrite, largestWrite};
}

DeviceIo *DiskExport::State::open(unsigned dev, int *error) {
    std::shared_ptr<WritesInFlight> writes;
    {
        std::lock_guard lock(mutex_);
        auto &slot = writes_[dev];
        if (!slot)
            slot = std::make_shared<WritesInFlight>();
        writes = slot;
    }
    std::unique_ptr<DeviceIo> io = DeviceIo::open(dev, std::move(writes), error);
    if (!io)
        return nullptr;
    DeviceIo *raw = io.get();
    std::lock_guard lock(mutex_);
    open_.emplace(raw, std::move(io));
    return raw;
}

// The device is closed outside the lock: its last close may write back.
void DiskExport::State::close(DeviceIo *io) {
    std::unique_ptr<DeviceIo> closing;
    {
        std::lock_guard lock(mutex_);
        auto it = open_.find(io);
        if (it == open_.end())
            return;
        closing = std::move(it->second);
        open_.erase(it);
    }
}

int DiskExport::State::openCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(open_.size());
}

void DiskExport::State::closeAll() {
    std::map<DeviceIo *, std::unique_ptr<DeviceIo>> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(open_);
    }
}

}  // namespace velmora::machine
