#include "device_io.h"

#include <standin/byte_io.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace velmora::machine {

namespace {

constexpr std::uint64_t kSector = 512;

}  // namespace

std::uint64_t WritesInFlight::begin() {
    std::lock_guard lock(mutex_);
    std::uint64_t ticket = next_++;
    open_.insert(ticket);
    return ticket;
}

void WritesInFlight::end(std::uint64_t ticket) {
    std::lock_guard lock(mutex_);
    open_.erase(ticket);
    done_.notify_all();
}

void WritesInFlight::waitForEarlier() {
    std::unique_lock lock(mutex_);
    std::uint64_t before = next_;
    done_.wait(lock, [&] { return open_.empty() || *open_.begin() >= before; });
}

std::unique_ptr<DeviceIo> DeviceIo::open(unsigned dev, std::shared_ptr<WritesInFlight> writes,
                                         int *error) {
    standin_bdev_io *handle = nullptr;
    *error = standin_bdev_io_open(dev, &handle);
    if (*error)
        return nullptr;
    return std::unique_ptr<DeviceIo>(new DeviceIo(dev, handle, std::move(writes)));
}

DeviceIo::~DeviceIo() {
    standin_bdev_io_close(handle_);
}

std::uint64_t DeviceIo::size() const {
    return standin_bdev_io_size(handle_);
}

long DeviceIo::read(std::uint64_t offset, char *buf, std::size_t len) const {
    std::uint64_t end = size();
    if (offset >= end)
        return 0;
    len = static_cast<std::size_t>(std::min<std::uint64_t>(len, end - offset));
    if (offset % kSector == 0 && len % kSector == 0)
        return standin_bdev_io_read(handle_, offset, buf, len) ? -EIO : static_cast<long>(len);
    // The sectors around an unaligned range, read whole.
    std::uint64_t first = offset / kSector * kSector;
    std::uint64_t last = (offset + len + kSector - 1) / kSector * kSector;
    std::vector<char> bounce(static_cast<std::size_t>(last - first));
    if (standin_bdev_io_read(handle_, first, bounce.data(), bounce.size()))
        return -EIO;
    std::memcpy(buf, bounce.data() + (offset - first), len);
    return static_cast<long>(len);
}

long DeviceIo::write(std::uint64_t offset, const char *buf, std::size_t len) const {
    if (offset % kSector || len % kSector)
        return -EINVAL;
    std::uint64_t end = size();
    if (len == 0)
        return 0;
    if (offset >= end)
        return -ENOSPC;
    len = static_cast<std::size_t>(std::min<std::uint64_t>(len, end - offset));
    std::uint64_t ticket = writes_->begin();
    int r = standin_bdev_io_write(handle_, offset, buf, len);
    writes_->end(ticket);
    return r ? -EIO : static_cast<long>(len);
}

int DeviceIo::flush() const {
    writes_->waitForEarlier();
    return standin_bdev_io_sync(handle_) ? -EIO : 0;
}

}  // namespace velmora::machine
