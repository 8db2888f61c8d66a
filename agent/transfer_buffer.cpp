#include "transfer_buffer.h"

#include "control_device.h"

#include <standin/syscalls.h>
#include <sys/mman.h>

#include <cerrno>

namespace velmora::agent {

TransferBuffer::TransferBuffer(const ControlDevice &dev, std::size_t bytes) : size_(bytes) {
    // The driver lends its pages read-only and private to this mapping.
    void *p = sys::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, dev.fd(), 0);
    if (p == MAP_FAILED)
        throw SystemError("mmap of the transfer buffer", errno);
    data_ = static_cast<char *>(p);
}

TransferBuffer::~TransferBuffer() {
    if (data_)
        sys::munmap(data_, size_);
}

}  // namespace velmora::agent
