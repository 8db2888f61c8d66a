// The control device through the system calls, as an agent sees it.
#include "kernel_log.h"
#include "system_test.h"

#include <control_device.h>
#include <standin/creds.h>
#include <standin/machine.h>
#include <standin/syscalls.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

namespace velmora::test {
namespace {

using agent::ControlDevice;
using sim::Machine;

class ControlDeviceTest : public LoadedModule {};

TEST_F(ControlDeviceTest, VersionsAndTheStateOfAFreshFile) {
    ControlDevice dev;
    EXPECT_EQ(dev.versionMajor(), 3u);
    EXPECT_EQ(dev.versionMinor(), 1u);
    State s = dev.state();
    EXPECT_EQ(s.state, VEL_STATE_IDLE);
    EXPECT_EQ(s.major, 0u);
    EXPECT_EQ(s.minor, 0u);
    EXPECT_EQ(s.blockSize, 0);
    EXPECT_EQ(s.mmapSize, 0);
}

TEST_F(ControlDeviceTest, AnswersOfTheDispatcher) {
    ControlDevice dev;
    EXPECT_EQ(dev.command(VEL_COMMAND_16, nullptr), VEL_ERR_COMMAND_16);
    Machine::clearLog();
    EXPECT_EQ(dev.command(VEL_IOC(VEL_IOC_WRITE, 11, 16), nullptr), VEL_ERR_UNKNOWN_COMMAND);
    EXPECT_TRUE(Machine::logHas("velIOCTL: ioctl command not found"));
    // A version into memory the process may not write: 7 and the message.
    void *ro = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(ro, MAP_FAILED);
    Machine::clearLog();
    EXPECT_EQ(dev.command(VEL_GET_VERSION_MAJOR, ro), VEL_ERR_COPY_TO_USER);
    EXPECT_TRUE(Machine::logHas("velIOCTL: copy to user space failed"));
    // A record the process cannot read: 6 and no message.
    Machine::clearLog();
    EXPECT_EQ(dev.command(VEL_GET_STATE, reinterpret_cast<void *>(16)), VEL_ERR_COPY_FROM_USER);
    EXPECT_TRUE(Machine::log().empty());
    munmap(ro, 4096);
}

// An open file reads every mounted file system: an ordinary user's task is
// refused at the open itself, and never reaches a command.
TEST_F(ControlDeviceTest, OnlyAnAdministratorOpensIt) {
    ControlDevice();  // the node exists, made by root
    const int references = standin_module_refcount("velmora");
    Machine::clearLog();
    std::thread user([] {
        standin_task_set_creds(1000, 1000, 0);
        errno = 0;
        EXPECT_EQ(sys::open("/dev/velmora", O_RDWR), -1);
        EXPECT_EQ(errno, EPERM);
        try {
            ControlDevice refused;
            ADD_FAILURE() << "an ordinary user opened the control device";
        } catch (const agent::SystemError &e) {
            EXPECT_EQ(e.error(), EPERM);
            EXPECT_NE(std::string(e.what()).find("only an administrator of the machine"),
                      std::string::npos)
                << e.what();
        }
    });
    user.join();
    EXPECT_EQ(logCount("velOpen: open refused: the caller lacks CAP_SYS_ADMIN"), 2);
    EXPECT_TRUE(logHasLine(4, "velOpen: open refused: the caller lacks CAP_SYS_ADMIN"));
    EXPECT_EQ(standin_module_refcount("velmora"), references);
    ControlDevice admin;
    EXPECT_EQ(admin.versionMajor(), 3u);
}

TEST_F(ControlDeviceTest, TwoOpensAreIndependent) {
    ControlDevice a, b;
    EXPECT_NE(a.fd(), b.fd());
    a.close();
    EXPECT_EQ(b.state().state, VEL_STATE_IDLE);
    EXPECT_EQ(b.versionMajor(), 3u);
}

TEST_F(ControlDeviceTest, ReadWriteAndPollDoNothing) {
    ControlDevice dev;
    char buf[16] = "untouched";
    EXPECT_EQ(sys::read(dev.fd(), buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(sys::write(dev.fd(), buf, sizeof(buf)), 0);
    sys::pollfd p{dev.fd(), POLLIN | POLLOUT, 0};
    EXPECT_EQ(sys::poll(&p, 1, 0), 0);
    EXPECT_EQ(p.revents, 0);
    EXPECT_EQ(dev.state().state, VEL_STATE_IDLE);
}

TEST_F(ControlDeviceTest, ShutdownLeavesTheDeviceUsable) {
    ControlDevice dev;
    EXPECT_EQ(dev.command(VEL_SHUTDOWN, nullptr), VEL_OK);
    EXPECT_EQ(dev.versionMajor(), 3u);
    ControlDevice again;
    EXPECT_EQ(again.state().state, VEL_STATE_IDLE);
}

TEST_F(ControlDeviceTest, SystemCallErrors) {
    EXPECT_EQ(sys::open("/dev/none", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sys::ioctl(999, VEL_COMMAND_16, 0ul), -1);
    EXPECT_EQ(errno, EBADF);
    // A node of a major no driver has registered.
    ASSERT_EQ(sys::mknod("/dev/nodriver", S_IFCHR | 0600, (121u << 20)), 0);
    EXPECT_EQ(sys::open("/dev/nodriver", O_RDWR), -1);
    EXPECT_EQ(errno, ENXIO);
}

}  // namespace
}  // namespace velmora::test
