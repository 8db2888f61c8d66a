// velmora-agent on a disk image file (a machine booted for each run): the
// partition's bytes in the image, the key kept in its directory, and what
// cannot be done said in words. The commands against a running machine are
// tested in tests/machine.
#include <gtest/gtest.h>
#include <disk_image.h>

#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using velmora::sim::PartitionInfo;
using velmora::sim::TempDir;

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

std::string slurp(const std::string &path) {
    return velmora::sim::readWholeFile(path);
}

std::string quoted(const std::string &s) {
    return "'" + s + "'";
}

class AgentCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        disk = dir.file("disk.img");
        table = velmora::sim::buildPartitionedImage(
            disk, 16, {{6, "ext4", 4096}, {4, "ext3", 1024}, {2, "", 4096}});
    }

    Outcome agent(const std::vector<std::string> &args) const {
        std::string cmd = quoted(VELMORA_AGENT_PATH);
        for (const auto &a : args)
            cmd += " " + quoted(a);
        cmd += " >" + quoted(dir.file("stdout")) + " 2>" + quoted(dir.file("stderr"));
        Outcome r;
        int status = std::system(cmd.c_str());
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = slurp(dir.file("stdout"));
        r.err = slurp(dir.file("stderr"));
        return r;
    }

    const PartitionInfo &partition(int number) const {
        for (const auto &p : table)
            if (p.number == number)
                return p;
        throw std::runtime_error("no partition " + std::to_string(number));
    }
    std::string partitionBytes(int number) const {
        const PartitionInfo &p = partition(number);
        std::string all = slurp(disk);
        return all.substr(p.startSector * 512, p.sectors * 512);
    }
    void writeIntoPartition(int number, uint64_t offset, const std::string &data) const {
        std::fstream f(disk, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(partition(number).startSector * 512 + offset));
        f.write(data.data(), static_cast<std::streamsize>(data.size()));
    }

    TempDir dir;
    std::string disk;
    std::vector<PartitionInfo> table;
};

TEST_F(AgentCommand, BackupsOfADiskImagesPartition) {
    writeIntoPartition(2, 1 << 20, std::string(3000, 'a'));
    const std::string image = dir.file("backup.img"), keys = dir.file("keys");
    Outcome full =
        agent({"full", "--disk", disk, "--partition", "2", "--image", image, "--key-dir", keys});
    ASSERT_EQ(full.exitCode, 0) << full.err;
    EXPECT_NE(full.out.find("full backup of partition 2 of " + disk), std::string::npos)
        << full.out;
    EXPECT_NE(full.out.find("file system ext3, block size 1024, 4096 blocks"), std::string::npos)
        << full.out;
    EXPECT_NE(full.out.find("copied 4096 blocks"), std::string::npos) << full.out;
    EXPECT_TRUE(slurp(image) == partitionBytes(2));
    const std::string keyFile = keys + "/disk.img-part2.key";
    const std::string firstKey = slurp(keyFile);
    EXPECT_NE(firstKey.find("\"blockSize\": 1024"), std::string::npos) << firstKey;

    // Changed behind the backup's back; a new boot has no change record for
    // the kept key, so backup copies everything and says why.
    writeIntoPartition(2, 2 << 20, std::string(5000, 'b'));
    Outcome again = agent({"backup", "--disk", disk, "--partition", "2", "--image", image,
                           "--key-dir", keys, "--verify"});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("every block was copied: the machine kept no record"),
              std::string::npos)
        << again.out;
    EXPECT_NE(again.out.find("verify: the image is a clean ext3 file system"), std::string::npos)
        << again.out;
    EXPECT_TRUE(slurp(image) == partitionBytes(2));
    EXPECT_NE(slurp(keyFile), firstKey);

    // A damaged record is named, with the way out; the image stays.
    std::ofstream(keyFile) << "{ not json";
    Outcome damaged =
        agent({"backup", "--disk", disk, "--partition", "2", "--image", image, "--key-dir", keys});
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_NE(damaged.err.find(keyFile + " is damaged"), std::string::npos) << damaged.err;
    EXPECT_NE(damaged.err.find("remove it to start again with a full backup"), std::string::npos)
        << damaged.err;
    EXPECT_TRUE(slurp(image) == partitionBytes(2));

    // What the stand-in's own mount refuses, in words.
    Outcome raw =
        agent({"full", "--disk", disk, "--partition", "3", "--image", image, "--key-dir", keys});
    EXPECT_EQ(raw.exitCode, 1);
    EXPECT_NE(raw.err.find("partition 3 holds no ext2, ext3 or ext4 file system"),
              std::string::npos)
        << raw.err;
}

}  // namespace
