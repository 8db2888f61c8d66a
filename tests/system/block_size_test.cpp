// VEL_GET_BLOCK_SIZE as an agent sees it: the block size and the size of the
// file system on each partition of an image partitioned by sfdisk and made by
// mke2fs, the refusals, the length the caller accepts, and a backup running
// on another device that the command must leave alone.
#include "system_test.h"

#include <backup_session.h>
#include <control_device.h>
#include <disk_image.h>
#include <standin/disk.h>

#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace velmora::test {
namespace {

using agent::BackupSession;
using agent::ControlDevice;
using sim::Machine;

constexpr unsigned kImageMajor = 8;
constexpr unsigned kImageDisk = STANDIN_MKDEV(kImageMajor, 0);
constexpr unsigned kRamMajor = 1;
constexpr unsigned kRamDisk = STANDIN_MKDEV(kRamMajor, 0);
constexpr unsigned kRamPart = STANDIN_MKDEV(kRamMajor, 1);
constexpr unsigned char kUntouched = 0xa5;

// Every file system type with every block size: three primary partitions,
// six logical ones.
const std::vector<sim::PartitionSpec> kSpecs = {
    {16, "ext2", 1024, false}, {16, "ext3", 2048, false}, {16, "ext4", 4096, false},
    {16, "ext2", 2048, true},  {16, "ext2", 4096, true},  {16, "ext3", 1024, true},
    {16, "ext3", 4096, true},  {16, "ext4", 1024, true},  {16, "ext4", 2048, true}};

struct Filled {
    BlockSize bs;
    unsigned char after[16];
    Filled() { std::memset(this, kUntouched, sizeof(*this)); }
    bool untouchedFrom(std::size_t offset) const {
        auto *p = reinterpret_cast<const unsigned char *>(this);
        for (std::size_t i = offset; i < sizeof(*this); ++i)
            if (p[i] != kUntouched)
                return false;
        return true;
    }
};

int getBlockSize(const ControlDevice &dev, unsigned device, BlockSize *bs, unsigned len) {
    GetBlockSize rec{STANDIN_MAJOR(device), STANDIN_MINOR(device), bs, len, 0};
    return dev.command(VEL_GET_BLOCK_SIZE, &rec);
}

int levelOf(const std::string &text) {
    for (const auto &l : Machine::log())
        if (l.text == text)
            return l.level;
    return -1;
}

class BlockSizeCommand : public LoadedModule {
  protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<sim::TempDir>();
        image_ = dir_->file("disk.img");
        table_ = sim::buildPartitionedImage(image_, 160, kSpecs);
    }
    static void TearDownTestSuite() { dir_.reset(); }

    void SetUp() override {
        ASSERT_EQ(standin_imagedisk_create("sda", image_.c_str(), kImageMajor, 0, 16), 0);
        ASSERT_EQ(standin_ramdisk_create("ram0", kRamMajor, 0, 16, 20000), 0);
        ASSERT_EQ(standin_disk_set_partition(kRamDisk, 1, 2048, 8192), 0);
        LoadedModule::SetUp();
    }
    void TearDown() override {
        LoadedModule::TearDown();
        for (int minor = 1; minor < 16; ++minor) {
            standin_umount(STANDIN_MKDEV(kImageMajor, minor));
            standin_umount(STANDIN_MKDEV(kRamMajor, minor));
        }
        standin_disk_remove(kImageDisk);
        standin_disk_remove(kRamDisk);
    }

    // The file system partitions of the image, as the table numbers them.
    static std::vector<sim::PartitionInfo> fsPartitions() {
        std::vector<sim::PartitionInfo> parts;
        for (const auto &p : table_)
            if (p.type != "5")
                parts.push_back(p);
        return parts;
    }

    static std::unique_ptr<sim::TempDir> dir_;
    static std::string image_;
    static std::vector<sim::PartitionInfo> table_;
};

std::unique_ptr<sim::TempDir> BlockSizeCommand::dir_;
std::string BlockSizeCommand::image_;
std::vector<sim::PartitionInfo> BlockSizeCommand::table_;

TEST_F(BlockSizeCommand, ReportsTheFileSystemOfEachPartition) {
    auto parts = fsPartitions();
    ASSERT_EQ(parts.size(), kSpecs.size());
    ControlDevice dev;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const unsigned part = STANDIN_MKDEV(kImageMajor, parts[i].number);
        SCOPED_TRACE(kSpecs[i].fsType + " " + std::to_string(kSpecs[i].blockSize) +
                     " on partition " + std::to_string(parts[i].number));
        ASSERT_EQ(standin_mount(part, nullptr, 0), 0);
        Filled out;
        ASSERT_EQ(getBlockSize(dev, part, &out.bs, sizeof(BlockSize)), 0);
        EXPECT_EQ(out.bs.major, kImageMajor);
        EXPECT_EQ(out.bs.minor, static_cast<unsigned>(parts[i].number));
        EXPECT_EQ(out.bs.blockSize, static_cast<int>(kSpecs[i].blockSize));
        EXPECT_EQ(out.bs.partitionSizeKB, parts[i].sectors / 2);
        EXPECT_TRUE(out.untouchedFrom(sizeof(BlockSize)));
    }
    EXPECT_EQ(dev.state().state,
              VEL_STATE_IDLE);  // the file's own state is not the command's business
}

TEST_F(BlockSizeCommand, RefusesADeviceWithoutAFileSystem) {
    ControlDevice dev;
    // An unmounted partition, the whole disk (it holds the table), a number
    // with no partition behind it.
    for (unsigned minor : {1u, 0u, 15u}) {
        SCOPED_TRACE("minor " + std::to_string(minor));
        Machine::clearLog();
        Filled out;
        EXPECT_EQ(getBlockSize(dev, STANDIN_MKDEV(kImageMajor, minor), &out.bs, 16),
                  VEL_ERR_NO_FILE_SYSTEM);
        const std::string line = "getDiskInfo: device major=8 minor=" + std::to_string(minor) +
                                 " not found, getting super block failed";
        EXPECT_EQ(levelOf(line), 3);
        EXPECT_TRUE(out.untouchedFrom(0));
    }
}

TEST_F(BlockSizeCommand, RefusesABlockBelowASector) {
    ControlDevice dev;
    ASSERT_EQ(standin_mount(kRamPart, "testfs", 256), 0);
    Machine::clearLog();
    Filled out;
    EXPECT_EQ(getBlockSize(dev, kRamPart, &out.bs, 16), VEL_ERR_BAD_BLOCK_SIZE);
    EXPECT_EQ(levelOf("getDiskInfo: device 100001 has bad block size 256"), 4);
    EXPECT_TRUE(out.untouchedFrom(0));
    // A sector is the smallest block it accepts.
    ASSERT_EQ(standin_umount(kRamPart), 0);
    ASSERT_EQ(standin_mount(kRamPart, "testfs", 512), 0);
    EXPECT_EQ(getBlockSize(dev, kRamPart, &out.bs, 16), 0);
    EXPECT_EQ(out.bs.blockSize, 512);
    EXPECT_EQ(out.bs.partitionSizeKB, 4096u);
}

TEST_F(BlockSizeCommand, WritesOnlyTheLengthTheCallerAccepts) {
    ControlDevice dev;
    const unsigned part = STANDIN_MKDEV(kImageMajor, 3);
    ASSERT_EQ(standin_mount(part, nullptr, 0), 0);
    Filled out;
    EXPECT_EQ(getBlockSize(dev, part, &out.bs, 8), 0);
    EXPECT_EQ(out.bs.major, kImageMajor);
    EXPECT_EQ(out.bs.minor, 3u);
    EXPECT_TRUE(out.untouchedFrom(8));
    Filled twelve;
    EXPECT_EQ(getBlockSize(dev, part, &twelve.bs, 12), 0);
    EXPECT_EQ(twelve.bs.blockSize, 4096);
    EXPECT_TRUE(twelve.untouchedFrom(12));
    // More than the record: the record and nothing beyond it.
    Filled longer;
    EXPECT_EQ(getBlockSize(dev, part, &longer.bs, sizeof(longer)), 0);
    EXPECT_EQ(longer.bs.partitionSizeKB, 16u * 1024);
    EXPECT_TRUE(longer.untouchedFrom(sizeof(BlockSize)));

    // A place the process may not write: 7 and the message.
    void *ro = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(ro, MAP_FAILED);
    Machine::clearLog();
    EXPECT_EQ(getBlockSize(dev, part, static_cast<BlockSize *>(ro), 16), VEL_ERR_COPY_TO_USER);
    EXPECT_EQ(levelOf("ioctlGetBlockSize: copy to user space failed"), 3);
    munmap(ro, 4096);
}

TEST_F(BlockSizeCommand, LeavesABackupOfAnotherDeviceAlone) {
    ASSERT_EQ(standin_mount(kRamPart, "testfs", 4096), 0);
    const unsigned part = STANDIN_MKDEV(kImageMajor, 2);
    ASSERT_EQ(standin_mount(part, nullptr, 0), 0);
    BackupSession backup;
    backup.start(kRamMajor, 1, 1024, 64);
    backup.snapshot(agent::SessionKey::none());
    const State state = backup.state();
    const AutoMapState automap = backup.automapState();
    ASSERT_EQ(state.state, VEL_STATE_SNAPSHOT);

    // Asked on the backup's own file and on another one.
    ControlDevice other;
    for (const ControlDevice *dev :
         {&backup.device(), static_cast<const ControlDevice *>(&other)}) {
        Machine::clearLog();
        Filled out;
        ASSERT_EQ(getBlockSize(*dev, part, &out.bs, 16), 0);
        EXPECT_EQ(out.bs.minor, 2u);
        EXPECT_EQ(out.bs.blockSize, 2048);
        EXPECT_TRUE(Machine::log().empty());
    }
    const State after = backup.state();
    EXPECT_EQ(std::memcmp(&after, &state, sizeof(State)), 0);
    const AutoMapState automapAfter = backup.automapState();
    EXPECT_EQ(std::memcmp(&automapAfter, &automap, sizeof(AutoMapState)), 0);
}

}  // namespace
}  // namespace velmora::test
