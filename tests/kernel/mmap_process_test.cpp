// The stand-in's mmap as a process sees it: refusals as errno, the bus error
// of a refused fault, and a module kept in use while a mapping holds its file.
#include <gtest/gtest.h>
#include <standin/machine.h>
#include <standin/syscalls.h>

#include "../mmap_error.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <string>

namespace {

using velmora::test::mmapError;

constexpr unsigned kMapperMajor = 122;
constexpr unsigned long kPage = 4096;

class MmapProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        standin_boot();
        ASSERT_EQ(standin_insmod(MAPPER_MODULE_PATH), 0);
        for (unsigned minor = 0; minor < 4; ++minor)
            sys::mknod(node(minor).c_str(), S_IFCHR | 0600, (kMapperMajor << 20) | minor);
    }
    void TearDown() override { EXPECT_EQ(standin_rmmod("mapper"), 0); }

    static std::string node(unsigned minor) { return "/dev/mapper" + std::to_string(minor); }
    static int openMinor(unsigned minor) { return sys::open(node(minor).c_str(), O_RDONLY); }
};

TEST_F(MmapProcess, DriverRefusalsReachTheCallerAsErrno) {
    // Negative answers are errors; a positive one is what Linux makes of it:
    // the caller's "address", with no mapping behind it.
    const struct {
        unsigned minor;
        int err;
        unsigned long address;
    } cases[] = {{0, 0, 0}, {1, 0, 2}, {2, 0, 5}, {3, ENOMEM, 0}};
    for (const auto &c : cases) {
        int fd = openMinor(c.minor);
        ASSERT_GE(fd, 0);
        if (c.address) {
            errno = 0;
            EXPECT_EQ(sys::mmap(nullptr, kPage, PROT_READ, MAP_PRIVATE, fd, 0),
                      reinterpret_cast<void *>(c.address))
                << "minor " << c.minor;
            EXPECT_EQ(errno, 0);
        } else {
            EXPECT_EQ(mmapError(fd, kPage, PROT_READ, MAP_PRIVATE, 0), c.err)
                << "minor " << c.minor;
        }
        EXPECT_EQ(sys::close(fd), 0);
    }
}

TEST_F(MmapProcess, CallsRefusedBeforeTheDriverIsAsked) {
    int fd = openMinor(0);
    EXPECT_EQ(mmapError(999, kPage, PROT_READ, MAP_PRIVATE, 0), EBADF);
    EXPECT_EQ(mmapError(fd, 0, PROT_READ, MAP_PRIVATE, 0), EINVAL);
    EXPECT_EQ(mmapError(fd, kPage, PROT_READ, MAP_PRIVATE, 512), EINVAL);
    EXPECT_EQ(mmapError(fd, kPage, PROT_READ, MAP_PRIVATE | MAP_FIXED, 0), EINVAL);
    EXPECT_EQ(mmapError(fd, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, 0), EACCES);
    errno = 0;
    EXPECT_EQ(sys::munmap(reinterpret_cast<void *>(kPage + 1), kPage), -1);
    EXPECT_EQ(errno, EINVAL);
    sys::close(fd);
}

TEST_F(MmapProcess, MappingKeepsTheModuleInUse) {
    int fd = openMinor(0);
    void *p = sys::mmap(nullptr, kPage, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(p, MAP_FAILED);
    sys::close(fd);
    EXPECT_STREQ(static_cast<const char *>(p), "mapper page");
    EXPECT_EQ(standin_module_refcount("mapper"), 1);
    EXPECT_EQ(standin_rmmod("mapper"), -EWOULDBLOCK);
    EXPECT_EQ(sys::munmap(p, kPage), 0);
    EXPECT_EQ(standin_module_refcount("mapper"), 0);
}

TEST_F(MmapProcess, RefusedFaultIsABusError) {
    int fd = openMinor(0);
    void *map = sys::mmap(nullptr, 2 * kPage, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto *p = static_cast<volatile const char *>(map);
    EXPECT_EQ(p[0], 'm');
    EXPECT_EXIT(
        {
            // The default action: a sanitizer's own handler would turn the
            // signal into an exit status.
            signal(SIGBUS, SIG_DFL);
            (void)p[kPage];
        },
        ::testing::KilledBySignal(SIGBUS), "");
    EXPECT_EQ(sys::munmap(map, 2 * kPage), 0);
    sys::close(fd);
}

}  // namespace
