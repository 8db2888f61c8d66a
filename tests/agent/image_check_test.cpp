// The check of a backup image, on file systems made by mke2fs in a directory
// whose name has a space and a quote, as a user's paths may.
#include <image_check.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::agent {
namespace {

namespace fs = std::filesystem;
constexpr uintmax_t imageBytes = 8 << 20;

std::string findTool(const std::string &name) {
    std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
    dirs += ":/sbin:/usr/sbin";
    for (size_t start = 0; start <= dirs.size();) {
        const size_t colon = std::min(dirs.find(':', start), dirs.size());
        const fs::path candidate = fs::path(dirs.substr(start, colon - start)) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = colon + 1;
    }
    return "";
}

// Runs a tool without a shell, its output discarded; its exit status.
int run(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (auto &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string readAll(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeAll(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Expects `call` to throw a std::runtime_error whose message holds `text`.
template <typename Call>
void expectErrorNaming(Call call, const std::string &text) {
    try {
        call();
        ADD_FAILURE() << "no error naming " << text;
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
}

class ImageCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *tool : {"mkfs.ext2", "mkfs.ext3", "mkfs.ext4", "e2fsck", "debugfs"})
            if (findTool(tool).empty())
                GTEST_SKIP() << tool << " is not installed (package e2fsprogs)";
        std::string pattern = (fs::temp_directory_path() / "velmora image 'check' XXXXXX");
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (!dir_.empty())
            fs::remove_all(dir_);
    }

    fs::path makeImage(const std::string &kind) {
        const fs::path path = dir_ / (kind + ".img");
        writeAll(path, "");
        fs::resize_file(path, imageBytes);
        if (kind != "zeros") {
            EXPECT_EQ(run({findTool("mkfs." + kind), "-q", "-F", path}), 0) << kind;
        }
        return path;
    }

    fs::path dir_;
};

TEST_F(ImageCheckTest, ProbeNamesTheExtFlavourOrNothing) {
    for (const std::string kind : {"ext2", "ext3", "ext4"})
        EXPECT_EQ(probeFileSystem(makeImage(kind)), kind);
    EXPECT_EQ(probeFileSystem(makeImage("zeros")), "");
    writeAll(dir_ / "short", std::string(1500, '\0'));
    EXPECT_EQ(probeFileSystem(dir_ / "short"), "") << "a file ending inside the superblock";
    expectErrorNaming([&] { probeFileSystem(dir_ / "missing.img"); }, dir_ / "missing.img");
}

TEST_F(ImageCheckTest, E2fsckJudgesTheFileSystemWithoutWritingIt) {
    const fs::path image = makeImage("ext4");
    const std::string bytes = readAll(image);
    const ImageCheck clean = checkImage(image, {});
    EXPECT_EQ(clean.outcome, CheckOutcome::Passed) << clean.summary;
    EXPECT_EQ(clean.fsckExit, 0) << clean.fsckOutput;
    EXPECT_EQ(clean.bytes, imageBytes);
    EXPECT_EQ(clean.summary, "the image is a clean ext4 file system");

    // A wrong link count on the root directory, which pass 4 always reports.
    ASSERT_EQ(run({findTool("debugfs"), "-w", "-R", "sif <2> links_count 9", image}), 0);
    const std::string corrupted = readAll(image);
    const ImageCheck broken = checkImage(image, {});
    EXPECT_EQ(broken.outcome, CheckOutcome::Failed);
    EXPECT_EQ(broken.fsckExit, 4) << broken.fsckOutput;
    EXPECT_NE(broken.summary.find("(exit 4: errors left uncorrected): Inode 2 ref count is 9"),
              std::string::npos)
        << broken.summary;
    EXPECT_LE(broken.fsckOutput.size(), 4096u);
    EXPECT_TRUE(readAll(image) == corrupted) << "e2fsck -n changed the image";

    const fs::path truncated = dir_ / "truncated.img";
    writeAll(truncated, bytes.substr(0, imageBytes / 2));
    const ImageCheck cut = checkImage(truncated, {});
    EXPECT_EQ(cut.outcome, CheckOutcome::Failed) << "e2fsck -fn lets a truncated image file pass";
    EXPECT_EQ(cut.fileSystemBytes, imageBytes);
    EXPECT_NE(cut.summary.find("truncated: it is 4194304 bytes long but its ext4 file system "
                               "spans 8388608 bytes"),
              std::string::npos)
        << cut.summary;

    ImageCheckOptions noFsck;
    noFsck.fileSystemCheck = false;
    EXPECT_EQ(checkImage(image, noFsck).outcome, CheckOutcome::Unchecked);
    EXPECT_EQ(checkImage(makeImage("zeros"), {}).outcome, CheckOutcome::Unchecked);

    ImageCheckOptions noProgram;
    noProgram.e2fsck = "velmora-absent-e2fsck";
    expectErrorNaming([&] { checkImage(image, noProgram); }, "e2fsprogs");
    expectErrorNaming([&] { checkImage(dir_ / "missing.img", {}); }, dir_ / "missing.img");
}

TEST_F(ImageCheckTest, ComparisonCountsDifferingBlocks) {
    const fs::path image = makeImage("ext4");
    const std::string bytes = readAll(image);
    const fs::path reference = dir_ / "reference";
    ImageCheckOptions options;
    options.against = reference;

    writeAll(reference, bytes);
    const ImageCheck same = checkImage(image, options);
    EXPECT_EQ(same.outcome, CheckOutcome::Passed);
    EXPECT_EQ(same.summary, "the image is a clean ext4 file system and equals " +
                                reference.string() + " byte for byte");

    // Two changes in block 2, one where the second 1 MiB read starts, one in
    // the last byte: three blocks.
    std::string changed = bytes;
    for (uintmax_t at :
         {uintmax_t{2 * 4096 + 100}, uintmax_t{2 * 4096 + 200}, uintmax_t{1 << 20}, imageBytes - 1})
        changed[at] = static_cast<char>(~changed[at]);
    writeAll(reference, changed);
    const ImageCheck differs = checkImage(image, options);
    EXPECT_EQ(differs.outcome, CheckOutcome::Failed);
    EXPECT_EQ(differs.fsckExit, 0) << "the image itself is clean";
    EXPECT_EQ(differs.differingBlocks, 3u);
    EXPECT_EQ(differs.firstDifference, 2u * 4096 + 100);
    EXPECT_NE(differs.summary.find("but differs from " + reference.string() +
                                   " in 3 blocks of 4096 bytes, the first at byte 8292"),
              std::string::npos)
        << differs.summary;

    writeAll(reference, bytes.substr(0, imageBytes / 2));
    const ImageCheck shorter = checkImage(image, options);
    EXPECT_EQ(shorter.outcome, CheckOutcome::Failed);
    EXPECT_TRUE(shorter.sizesDiffer);
    EXPECT_EQ(shorter.differingBlocks, 0u);
    EXPECT_EQ(shorter.firstDifference, imageBytes / 2);
    EXPECT_NE(shorter.summary.find("8388608 bytes long but " + reference.string() + " is 4194304"),
              std::string::npos)
        << shorter.summary;

    options.against = dir_ / "missing reference";
    expectErrorNaming([&] { checkImage(image, options); }, options.against);
}

}  // namespace
}  // namespace velmora::agent
