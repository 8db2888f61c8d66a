// Partition tables written by sfdisk into an image file come out of the
// stand-in's scan as the kernel numbers them, primary and logical; and a
// partition's bytes are where the table says in the file.
#include <gtest/gtest.h>
#include <disk_image.h>
#include <machine.h>
#include <standin/disk.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

using velmora::sim::PartitionInfo;
using velmora::sim::PartitionSpec;

constexpr unsigned kMajor = 8;
constexpr unsigned kDisk = STANDIN_MKDEV(kMajor, 0);

class PartitionTable : public ::testing::Test {
  protected:
    void TearDown() override {
        standin_disk_remove(kDisk);
        if (HasFailure())
            velmora::sim::Machine::dumpLog();
    }

    // The partitions the kernel's records hold, by number.
    static std::vector<PartitionInfo> kernelPartitions() {
        std::vector<PartitionInfo> parts;
        for (int n = 1; n < 16; ++n) {
            unsigned long long start = 0, sectors = 0;
            if (standin_disk_partition(kDisk, n, &start, &sectors) == 0)
                parts.push_back({n, start, sectors, ""});
        }
        return parts;
    }

    velmora::sim::Machine machine;
    velmora::sim::TempDir dir;
};

TEST_F(PartitionTable, PrimaryAndLogicalPartitionsOfAnSfdiskImage) {
    std::string image = dir.file("disk.img");
    auto table = velmora::sim::buildPartitionedImage(image, 64,
                                                     {{6, "", 4096, false},
                                                      {5, "", 4096, false},
                                                      {4, "", 4096, true},
                                                      {7, "", 4096, true},
                                                      {3, "", 4096, true}});
    ASSERT_EQ(table.size(), 6u);  // two primary, the extended one, three logical
    velmora::sim::Machine::clearLog();
    ASSERT_EQ(standin_imagedisk_create("sdt", image.c_str(), kMajor, 0, 16), 0);

    auto parts = kernelPartitions();
    ASSERT_EQ(parts.size(), table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE("partition " + std::to_string(table[i].number));
        EXPECT_EQ(parts[i].number, table[i].number);
        EXPECT_EQ(parts[i].startSector, table[i].startSector);
        // The extended partition is kept as a stub nobody can put a file system on.
        EXPECT_EQ(parts[i].sectors, table[i].type == "5" ? 2u : table[i].sectors);
        if (table[i].type != "5") {
            EXPECT_EQ(standin_dev_sectors(STANDIN_MKDEV(kMajor, table[i].number)),
                      table[i].sectors);
        }
    }
    EXPECT_TRUE(velmora::sim::Machine::logHas(" sdt: sdt1 sdt2 sdt3 < sdt5 sdt6 sdt7 >"));
}

TEST_F(PartitionTable, RescanReadsTheTableAgain) {
    std::string image = dir.file("disk.img");
    velmora::sim::buildPartitionedImage(image, 32, {{8, "", 4096, false}});
    ASSERT_EQ(standin_imagedisk_create("sdt", image.c_str(), kMajor, 0, 16), 0);
    ASSERT_EQ(kernelPartitions().size(), 1u);

    // A new table written into the file behind the kernel's back.
    auto table = velmora::sim::buildPartitionedImage(
        image, 32, {{4, "", 4096, false}, {4, "", 4096, false}, {4, "", 4096, true}});
    ASSERT_EQ(standin_disk_rescan(kDisk), 0);
    auto parts = kernelPartitions();
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[1].startSector, table[1].startSector);
    EXPECT_EQ(parts[3].number, 5);
    EXPECT_EQ(parts[3].startSector, table[3].startSector);

    // A blank first sector is no table: every partition goes.
    std::vector<char> zeros(512, 0);
    ASSERT_EQ(standin_dev_write_raw(kDisk, 0, zeros.data(), zeros.size()), 0);
    ASSERT_EQ(standin_disk_rescan(kDisk), 0);
    EXPECT_TRUE(kernelPartitions().empty());
    EXPECT_TRUE(velmora::sim::Machine::logHas(" sdt: unknown partition table"));
}

TEST_F(PartitionTable, PartitionBytesAreWhereTheTableSays) {
    std::string image = dir.file("disk.img");
    auto table = velmora::sim::buildPartitionedImage(
        image, 32, {{4, "", 4096, false}, {6, "", 4096, true}, {6, "", 4096, true}});
    ASSERT_EQ(standin_imagedisk_create("sdt", image.c_str(), kMajor, 0, 16), 0);
    const PartitionInfo &logical = table.back();
    ASSERT_EQ(logical.number, 6);
    unsigned dev = STANDIN_MKDEV(kMajor, 6);
    ASSERT_EQ(standin_mount(dev, "testfs", 4096), 0);
    std::vector<unsigned char> block(4096);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i * 31 + 7);
    ASSERT_EQ(standin_fs_write_block(dev, 5, block.data(), STANDIN_FS_DIRECT), 0);
    ASSERT_EQ(standin_umount(dev), 0);

    std::ifstream file(image, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(logical.startSector * 512 + 5 * 4096));
    std::vector<unsigned char> onFile(4096);
    file.read(reinterpret_cast<char *>(onFile.data()), static_cast<std::streamsize>(onFile.size()));
    EXPECT_EQ(onFile, block);
}

}  // namespace
