#include "transfer_buffer.h"

#include "control_device.h"

#include <sys/mman.h>

#include <cerrno>

namespace velmora::agent {

TransferBuffer::TransferBuffer(const ControlDevice &dev, std::size_t bytes)
    : system_(dev.system()), size_(bytes) {
    // The driver lends its pages read-only and private to this mapping.
    void *p = system_->mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, dev.fd(), 0);
    if (p == MAP_FAILED && errno == EEXIST)
        throw SystemError(
            "mmap of the transfer buffer: the machine placed it at an address this "
            "process already uses",
            errno);
    if (p == MAP_FAILED)
        throw SystemError("mmap of the transfer buffer", errno);
    data_ = static_cast<char *>(p);
}

TransferBuffer::~TransferBuffer() {
    if (data_)
        system_->munmap(data_, size_);
}

}  // namespace velmora::agent
