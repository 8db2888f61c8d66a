// ext2, ext3 and ext4 made by mke2fs with each block size are recognised when
// mounted, through a super block read of the block layer; the type asked for
// must match what is on the disk.
#include <gtest/gtest.h>
#include <disk_image.h>
#include <machine.h>
#include <standin/disk.h>

#include <string>
#include <tuple>

namespace {

constexpr unsigned kMajor = 8;
constexpr unsigned kDisk = STANDIN_MKDEV(kMajor, 16);
constexpr unsigned kPart = STANDIN_MKDEV(kMajor, 17);

class ExtFileSystem : public ::testing::TestWithParam<std::tuple<std::string, unsigned>> {
  protected:
    void TearDown() override {
        standin_umount(kPart);
        standin_disk_remove(kDisk);
        if (HasFailure())
            velmora::sim::Machine::dumpLog();
    }
    velmora::sim::Machine machine;
    velmora::sim::TempDir dir;
};

TEST_P(ExtFileSystem, RecognisedWithItsBlockSize) {
    const auto &[type, blockSize] = GetParam();
    std::string image = dir.file("disk.img");
    velmora::sim::buildPartitionedImage(image, 40, {{32, type, blockSize, false}});
    ASSERT_EQ(standin_imagedisk_create("sde", image.c_str(), kMajor, 16, 16), 0);

    EXPECT_EQ(standin_mount(kDisk, nullptr, 0), -EINVAL);  // the whole disk holds the table
    const std::string other = type == "ext2" ? "ext4" : "ext2";
    EXPECT_EQ(standin_mount(kPart, other.c_str(), 0), -EINVAL);

    ASSERT_EQ(standin_mount(kPart, nullptr, 0), 0);
    char name[16] = {};
    unsigned size = 0;
    ASSERT_EQ(standin_fs_info(kPart, name, sizeof name, &size), 0);
    EXPECT_EQ(std::string(name), type);
    EXPECT_EQ(size, blockSize);
    EXPECT_EQ(standin_fs_io_size(kPart), blockSize);
    EXPECT_EQ(standin_umount(kPart), 0);
    EXPECT_EQ(standin_mount(kPart, type.c_str(), 0), 0);
}

INSTANTIATE_TEST_SUITE_P(Mke2fs, ExtFileSystem,
                         ::testing::Combine(::testing::Values("ext2", "ext3", "ext4"),
                                            ::testing::Values(1024u, 2048u, 4096u)),
                         [](const auto &info) {
                             return std::get<0>(info.param) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

}  // namespace
