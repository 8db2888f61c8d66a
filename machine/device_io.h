// One device of the stand-in opened for the host: reads at any byte offset,
// writes in whole sectors, every one of them bios of the stand-in's block
// layer (see <standin/byte_io.h>), and a flush that waits for the writes
// already begun on the device before it makes them durable.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

struct standin_bdev_io;

namespace velmora::machine {

// The writes in progress on one device, whichever handle made them, so that
// a flush waits for those begun before it and not for those that keep coming.
class WritesInFlight {
  public:
    std::uint64_t begin();
    void end(std::uint64_t ticket);
    void waitForEarlier();

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::uint64_t next_ = 0;
    std::set<std::uint64_t> open_;
};

class DeviceIo {
  public:
    // nullptr and *error (a negative errno) when the device cannot be opened.
    static std::unique_ptr<DeviceIo> open(unsigned dev, std::shared_ptr<WritesInFlight> writes,
                                          int *error);
    ~DeviceIo();
    DeviceIo(const DeviceIo &) = delete;
    DeviceIo &operator=(const DeviceIo &) = delete;

    unsigned dev() const { return dev_; }
    std::uint64_t size() const;
    // Bytes moved, short at the end of the device (0 at or past it for a
    // read), or a negative errno: -EIO for any failure of the device.
    long read(std::uint64_t offset, char *buf, std::size_t len) const;
    // -EINVAL unless offset and length are whole sectors (the host's loop
    // driver sends nothing else; a read-modify-write of a partial sector
    // could lose a neighbour's write), -ENOSPC at or past the end.
    long write(std::uint64_t offset, const char *buf, std::size_t len) const;
    // 0, or -EIO when a write could not be made durable.
    int flush() const;

  private:
    DeviceIo(unsigned dev, standin_bdev_io *handle, std::shared_ptr<WritesInFlight> writes)
        : dev_(dev), handle_(handle), writes_(std::move(writes)) {}

    unsigned dev_;
    standin_bdev_io *handle_;
    std::shared_ptr<WritesInFlight> writes_;
};

}  // namespace velmora::machine
