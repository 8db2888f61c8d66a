// A mapping of the driver's transfer buffer: the pages that the block read
// command fills, seen in this process without a copy.
#pragma once

#include <cstddef>
#include <memory>

namespace velmora::agent {

class ControlDevice;
class SystemCalls;

class TransferBuffer {
  public:
    TransferBuffer(const ControlDevice &dev, std::size_t bytes);
    ~TransferBuffer();
    TransferBuffer(const TransferBuffer &) = delete;
    TransferBuffer &operator=(const TransferBuffer &) = delete;

    const char *data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    std::shared_ptr<SystemCalls> system_;
    char *data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace velmora::agent
