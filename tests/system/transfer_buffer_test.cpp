// The transfer buffer as an agent sees it before a backup is started: every
// mapping is refused with the driver's status, and a refused mapping keeps no
// hold on the file.
#include "../mmap_error.h"
#include "system_test.h"

#include <control_device.h>
#include <standin/syscalls.h>

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>

namespace velmora::test {
namespace {

using agent::ControlDevice;

constexpr unsigned long kPage = 4096;

using TransferBufferTest = LoadedModule;

TEST_F(TransferBufferTest, NoMappingBeforeABackupStarts) {
    ControlDevice dev;
    EXPECT_EQ(dev.state().mmapSize, 0);
    int ro = sys::open("/dev/velmora", O_RDONLY);
    ASSERT_GE(ro, 0);
    // The driver's refusal fails the call (a kernel would hand any positive
    // answer back as the mapping's address).
    EXPECT_EQ(mmapError(dev.fd(), kPage, PROT_READ, MAP_PRIVATE, 0), EINVAL);
    EXPECT_EQ(mmapError(dev.fd(), 256 * kPage, PROT_READ, MAP_PRIVATE, 0), EINVAL);
    EXPECT_EQ(mmapError(ro, kPage, PROT_READ, MAP_SHARED, 0), EINVAL);
    EXPECT_EQ(mmapError(dev.fd(), kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE, 0), EINVAL);
    EXPECT_EQ(mmapError(dev.fd(), kPage, PROT_READ, MAP_SHARED, 0), EINVAL);
    EXPECT_EQ(mmapError(dev.fd(), kPage, PROT_READ, MAP_PRIVATE, kPage), EINVAL);
    // Refused by the kernel before the driver is asked.
    EXPECT_EQ(mmapError(ro, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, 0), EACCES);
    EXPECT_EQ(mmapError(dev.fd(), 0, PROT_READ, MAP_PRIVATE, 0), EINVAL);
    EXPECT_EQ(dev.state().state, VEL_STATE_IDLE);
    sys::close(ro);
}

TEST_F(TransferBufferTest, ARefusedMappingHoldsNothing) {
    {
        ControlDevice dev;
        int held = standin_module_refcount("velmora");
        EXPECT_EQ(mmapError(dev.fd(), 4 * kPage, PROT_READ, MAP_PRIVATE, 0), EINVAL);
        EXPECT_EQ(standin_module_refcount("velmora"), held);
    }
    // The file was released with its descriptor: the module is free to go.
    EXPECT_EQ(standin_module_refcount("velmora"), 0);
}

}  // namespace
}  // namespace velmora::test
