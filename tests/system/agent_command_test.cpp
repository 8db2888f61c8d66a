// The velmora-agent command as a user runs it: a full and then an
// incremental backup of one partition of a disk image, each leaving the
// partition's bytes in the image file and a key; and bad input refused with
// a reason and a non-zero exit.
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
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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

TEST_F(AgentCommand, FullThenIncrementalOfOnePartition) {
    writeIntoPartition(2, 1 << 20, std::string(3000, 'a'));
    const std::string image = dir.file("backup.img"), key = dir.file("backup.key");
    Outcome full =
        agent({"full", "--disk", disk, "--partition", "2", "--image", image, "--key", key});
    ASSERT_EQ(full.exitCode, 0) << full.err;
    EXPECT_NE(full.out.find("full backup of partition 2 of " + disk), std::string::npos)
        << full.out;
    EXPECT_NE(full.out.find("file system ext3, block size 1024, 4096 blocks"), std::string::npos)
        << full.out;
    EXPECT_NE(full.out.find("copied 4096 blocks"), std::string::npos) << full.out;
    EXPECT_TRUE(slurp(image) == partitionBytes(2));
    const std::string firstKey = slurp(key);
    EXPECT_EQ(firstKey.size(), 56u);

    // Changed behind the backup's back; the next run patches the image.
    writeIntoPartition(2, 2 << 20, std::string(5000, 'b'));
    Outcome inc =
        agent({"incremental", "--disk", disk, "--partition", "2", "--image", image, "--key", key});
    ASSERT_EQ(inc.exitCode, 0) << inc.err;
    EXPECT_NE(inc.out.find("incremental backup of partition 2"), std::string::npos) << inc.out;
    // A new boot has no change record for the old key: everything is copied.
    EXPECT_NE(inc.out.find("every block was copied"), std::string::npos) << inc.out;
    EXPECT_TRUE(slurp(image) == partitionBytes(2));
    EXPECT_EQ(slurp(key).size(), 56u);
    EXPECT_NE(slurp(key), firstKey);
}

TEST_F(AgentCommand, BadInputIsRefusedWithAReason) {
    const std::string image = dir.file("x.img"), key = dir.file("x.key");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string says;
    } cases[] = {
        {{}, 2, "say full or incremental"},
        {{"weekly"}, 2, "unknown backup kind 'weekly'"},
        {{"full", "--disk", disk, "--partition", "1", "--image", image}, 2, "--key is missing"},
        {{"full", "--disk", disk, "--partition", "x", "--image", image, "--key", key},
         2,
         "--partition takes a partition number from 1 to 15, not 'x'"},
        {{"full", "--disk", disk, "--partition", "1", "--image", image, "--key", key, "--fast",
          "yes"},
         2,
         "unknown option --fast"},
        {{"full", "--disk", dir.file("none.img"), "--partition", "1", "--image", image, "--key",
          key},
         2,
         "the disk image " + dir.file("none.img") + " does not exist"},
        {{"incremental", "--disk", disk, "--partition", "1", "--image", image, "--key", key},
         2,
         "the image of the previous backup " + image + " does not exist"},
        {{"full", "--disk", disk, "--partition", "7", "--image", image, "--key", key},
         1,
         "the disk has no partition 7"},
        {{"full", "--disk", disk, "--partition", "3", "--image", image, "--key", key},
         1,
         "partition 3 holds no ext2, ext3 or ext4 file system"},
    };
    for (const auto &c : cases) {
        Outcome r = agent(c.args);
        std::string line;
        for (const auto &a : c.args)
            line += a + " ";
        EXPECT_EQ(r.exitCode, c.exitCode) << line << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << line << "\n" << r.err;
    }

    // A key file that holds no whole key.
    std::ofstream(image) << "previous";
    std::ofstream(key) << "short";
    Outcome r =
        agent({"incremental", "--disk", disk, "--partition", "1", "--image", image, "--key", key});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("session key file " + key + " is truncated"), std::string::npos) << r.err;
}

}  // namespace
