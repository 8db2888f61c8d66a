// A mapping of the driver's transfer buffer: the pages that the block read
// command fills, seen in this process without a copy.
#pragma once

#include <cstddef>

namespace velmora::agent {

class ControlDevice;

class TransferBuffer {
  public:
    TransferBuffer(const ControlDevice &dev, std::size_t bytes);
    ~TransferBuffer();
    TransferBuffer(const TransferBuffer &) = delete;
    TransferBuffer &operator=(const TransferBuffer &) = delete;

    const char *data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    char *data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace velmora::agent
