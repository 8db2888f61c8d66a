// velmora-agent as an administrator runs it against a running machine
// (velmorad mounting its partitions itself, so no root is needed): backup
// falls back to a full backup for each reason a kept key cannot serve and
// says which; the other commands answer in words, JSON and exit codes; a
// refusal of the driver reaches the person as its meaning.
#include "host_commands.h"

#include <disk_image.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <png.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using namespace velmora::live;
using nlohmann::json;

std::string slurp(const std::string &path) {
    return velmora::sim::readWholeFile(path);
}

std::string quoted(const std::string &s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Agent {
    int status = -1;
    std::string out, err;
    json object;  // stdout parsed, when it is JSON
};

// A PNG's text chunk by key, or empty.
std::string pngText(const std::string &path, const std::string &key) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return {};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::string value;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_read_info(png, info);
        png_textp texts = nullptr;
        int n = png_get_text(png, info, &texts, nullptr);
        for (int i = 0; i < n; ++i)
            if (key == texts[i].key)
                value = texts[i].text;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return value;
}

class AgentCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        disk_ = dir_.file("disk.img");
        table_ = velmora::sim::buildPartitionedImage(
            disk_, 24, {{8, "ext4", 4096}, {8, "ext2", 1024}, {4, "", 4096}});
        start();
    }
    void TearDown() override {
        if (HasFailure())
            std::cerr << slurp(dir_.file("kernel.log")).substr(0, 4000);
    }

    void start(const std::vector<std::string> &more = {}) {
        std::vector<std::string> argv{VELMORAD_PATH,
                                      "--image",
                                      disk_,
                                      "--mount",
                                      "sda1",
                                      "--mount",
                                      "sda2",
                                      "--socket",
                                      socket(),
                                      "--log",
                                      dir_.file("kernel.log")};
        argv.insert(argv.end(), more.begin(), more.end());
        service_ = std::make_unique<Background>(argv, dir_.file("velmorad.out"));
        ASSERT_TRUE(waitForPath(socket() + ".devices", 30)) << slurp(dir_.file("velmorad.out"));
    }
    void restart(const std::vector<std::string> &more = {}) {
        service_->signal(SIGTERM);
        ASSERT_EQ(service_->wait(), 0) << slurp(dir_.file("velmorad.out"));
        std::filesystem::remove(socket() + ".devices");
        start(more);
    }
    std::string socket() const { return dir_.file("control.sock"); }

    Agent agent(const std::vector<std::string> &args) const {
        std::string cmd = "VELMORA_MACHINE=" + quoted(socket()) +
                          " VELMORA_KEY_DIR=" + quoted(dir_.file("keys")) + " " +
                          quoted(AGENT_PATH);
        for (const std::string &a : args)
            cmd += " " + quoted(a);
        CommandResult r = shell(cmd + " 2>" + quoted(dir_.file("stderr")));
        Agent a{r.status, r.output, slurp(dir_.file("stderr")), nullptr};
        if (!a.out.empty() && a.out[0] == '{')
            a.object = json::parse(a.out, nullptr, false);
        return a;
    }
    // `backup` of sda1 into image, which must succeed as a full backup for
    // a reason that says `why`, and hold the partition's bytes.
    void expectFullBecause(const std::string &why, const std::string &image,
                           const std::vector<std::string> &more = {}) {
        std::vector<std::string> args{"backup", "--device", "sda1", "--image", image, "--json"};
        args.insert(args.end(), more.begin(), more.end());
        Agent a = agent(args);
        ASSERT_EQ(a.status, 0) << a.err;
        EXPECT_EQ(a.object["kind"], "full") << a.out;
        EXPECT_NE(a.object["why"].get<std::string>().find(why), std::string::npos) << a.out;
        EXPECT_EQ(a.object["blocksCopied"], a.object["blocks"]);
        EXPECT_TRUE(slurp(image) == partitionBytes(1)) << "the image is not the partition";
    }
    std::string partitionBytes(int number) const {
        for (const auto &p : table_)
            if (p.number == number)
                return slurp(disk_).substr(p.startSector * 512, p.sectors * 512);
        return {};
    }

    velmora::sim::TempDir dir_;
    std::string disk_;
    std::vector<velmora::sim::PartitionInfo> table_;
    std::unique_ptr<Background> service_;
};

TEST_F(AgentCommands, BackupFallsBackToFullForEachReasonAndSaysWhy) {
    const std::string image = dir_.file("sda1.img"), keys = dir_.file("keys");
    expectFullBecause("no earlier backup of sda1 is recorded", image);
    Agent inc = agent({"backup", "--device", "sda1", "--image", image, "--json"});
    ASSERT_EQ(inc.status, 0) << inc.err;
    EXPECT_EQ(inc.object["kind"], "incremental");
    EXPECT_EQ(inc.object["blocksChanged"], 0);
    EXPECT_EQ(inc.object["driverStatistics"]["state"], 7);
    EXPECT_TRUE(slurp(image) == partitionBytes(1));

    // Another agent's backup moved the machine's key on: the kept one is refused.
    Agent other = agent({"full", "--device", "sda1", "--image", dir_.file("other.img"), "--key-dir",
                         dir_.file("other-keys"), "--quiet"});
    ASSERT_EQ(other.status, 0) << other.err;
    Agent refused = agent({"incremental", "--device", "sda1", "--image", image});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("the key does not match the last backup of sda1"), std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("a full backup is needed"), std::string::npos) << refused.err;
    expectFullBecause("the machine refused the key", image);
    // The run that was refused is reported by the next one.
    Agent next = agent({"backup", "--device", "sda1", "--image", image, "--json"});
    EXPECT_EQ(next.object["kind"], "incremental") << next.out;
    EXPECT_FALSE(next.object.contains("earlierRun")) << "the refusal was reported already";

    // Images and keys that belong elsewhere.
    const std::string sda2Image = dir_.file("sda2.img");
    ASSERT_EQ(agent({"full", "--device", "sda2", "--image", sda2Image, "-q"}).status, 0);
    expectFullBecause("went to " + image, sda2Image);
    std::filesystem::copy_file(keys + "/sda2.key", keys + "/sda1.key",
                               std::filesystem::copy_options::overwrite_existing);
    expectFullBecause("belongs to device 8:2", image);
    std::filesystem::remove(image);
    expectFullBecause("is missing", image);
    std::ofstream(image, std::ios::app) << "x";
    std::filesystem::resize_file(image, std::filesystem::file_size(image) - 1);
    expectFullBecause("was changed, copied or replaced", image);

    // A key kept for another block size.
    ASSERT_EQ(agent({"backup", "--device", "sda1", "--image", image, "-q"}).status, 0);
    json kept = json::parse(slurp(keys + "/sda1.key"));
    kept["blockSize"] = 1024;
    std::ofstream(keys + "/sda1.key") << kept.dump();
    expectFullBecause("the last backup had blocks of 1024 bytes and sda1 now has blocks of 4096",
                      image);

    // A machine restarted keeps no record of what changed.
    restart();
    expectFullBecause("kept no record of the blocks changed", image);
}

TEST_F(AgentCommands, CommandsAnswerInWordsJsonAndExitCodes) {
    for (const char *command :
         {"full", "incremental", "backup", "verify", "map", "status", "log"}) {
        Agent help = agent({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_NE(help.out.find("Usage:"), std::string::npos) << command << help.out;
    }
    struct Bad {
        std::vector<std::string> args;
        std::string says;
    } bad[] = {
        {{}, "A subcommand is required"},
        {{"weekly"}, "weekly"},
        {{"full", "--device", "sda1"}, "--image is required"},
        {{"full", "--image", "x", "--disk", dir_.file("none.img"), "--partition", "1"},
         "the disk image " + dir_.file("none.img") + " does not exist"},
        {{"full", "--image", "x", "--disk", disk_}, "say --partition N (1 to 15)"},
        {{"full", "--image", "x", "--disk", disk_, "--partition", "1", "--device", "sda1"},
         "goes with --machine"},
        {{"full", "--image", "x"}, "say which device of the machine: --device sda1"},
        {{"verify", "x", "--block-size", "7"}, "--block-size"},
    };
    for (const Bad &b : bad) {
        Agent a = agent(b.args);
        EXPECT_EQ(a.status, 2) << testing::PrintToString(b.args) << a.err;
        EXPECT_NE(a.err.find(b.says), std::string::npos) << testing::PrintToString(b.args) << a.err;
    }

    // The driver's refusals, in words, with the driver's own lines.
    Agent none = agent({"full", "--device", "sda3", "--image", dir_.file("x.img"), "--json"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no mounted file system was found on the device"), std::string::npos)
        << none.err;
    EXPECT_EQ(none.object["outcome"], "failed");
    EXPECT_EQ(none.object["error"]["status"], 8);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("x.img")));
    Agent unknown = agent({"full", "--device", "sdz9", "--image", dir_.file("x.img")});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("the machine has no device sdz9 (it has: sda, sda1"),
              std::string::npos)
        << unknown.err;

    const std::string image = dir_.file("sda1.img");
    Agent full = agent({"full", "--device", "sda1", "--image", image, "--verify"});
    ASSERT_EQ(full.status, 0) << full.err;
    EXPECT_NE(full.out.find("verify: the image is a clean ext4 file system"), std::string::npos)
        << full.out;

    Agent status = agent({"status", "--json"});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(status.object["driver"]["version"], "3.1") << status.out;
    EXPECT_EQ(status.object["service"]["controlFiles"], 0) << status.out;
    bool sawSda1 = false;
    for (const json &d : status.object["devices"])
        if (d["name"] == "sda1") {
            sawSda1 = true;
            EXPECT_EQ(d["kept"]["kind"], "full") << d.dump();
            EXPECT_EQ(d["driver"]["lastBackup"]["meaning"], "ended normally") << d.dump();
        }
    EXPECT_TRUE(sawSda1) << status.out;

    // The map of a full backup: every block, in the picture and in runs.
    Agent map = agent({"map", "--device", "sda1", "--png", dir_.file("map.png"), "--json"});
    ASSERT_EQ(map.status, 0) << map.err;
    EXPECT_EQ(map.object["changed"], map.object["blocks"]);
    EXPECT_EQ(pngText(dir_.file("map.png"), "velmora.changed"),
              std::to_string(map.object["changed"].get<unsigned>()));
    Agent runs = agent({"map", "--device", "sda1", "--runs"});
    EXPECT_NE(runs.out.find("\n0 "), std::string::npos) << runs.out.substr(0, 200);

    // verify: clean, different from a reference, nothing to check.
    Agent same = agent({"verify", image, "--against", dir_.file("ref.img"), "--json"});
    EXPECT_EQ(same.status, 1) << "a missing reference is a failure";
    std::filesystem::copy_file(image, dir_.file("ref.img"));
    {
        std::fstream f(dir_.file("ref.img"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(5 * 4096 + 7);
        f.put('\x5a');
    }
    Agent differs = agent({"verify", image, "--against", dir_.file("ref.img"), "--json"});
    EXPECT_EQ(differs.status, 1) << differs.out;
    EXPECT_EQ(differs.object["comparison"]["differingBlocks"], 1) << differs.out;
    std::ofstream(dir_.file("noise.img")) << std::string(65536, 'n');
    EXPECT_EQ(agent({"verify", dir_.file("noise.img")}).status, 3);
}

// Who may back up: a client of another user reaches the socket only when
// its group is let in, and then the driver's own check refuses it.
TEST_F(AgentCommands, AnotherUsersClientIsRefusedByTheDriver) {
    if (geteuid() != 0)
        GTEST_SKIP() << "running a client as another user needs root";
    if (shell("command -v setpriv && getent group nogroup").status != 0)
        GTEST_SKIP() << "no setpriv or no group nogroup here";
    const std::string theirs = dir_.file("theirs");
    std::filesystem::create_directories(theirs);
    std::filesystem::permissions(dir_.file(""), std::filesystem::perms::all);
    std::filesystem::permissions(theirs, std::filesystem::perms::all);
    auto asNobody = [&] {
        return shell("setpriv --reuid=nobody --regid=nogroup --clear-groups " + quoted(AGENT_PATH) +
                     " full --machine " + quoted(socket()) + " --device sda1 --image " +
                     quoted(theirs + "/x.img") + " --key-dir " + quoted(theirs + "/keys") +
                     " 2>&1");
    };
    CommandResult shut = asNobody();
    EXPECT_EQ(shut.status, 1) << shut.output;
    EXPECT_NE(shut.output.find("Permission denied"), std::string::npos) << shut.output;

    restart({"--socket-group", "nogroup"});
    CommandResult refused = asNobody();
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_NE(refused.output.find("only an administrator of the machine may back up"),
              std::string::npos)
        << refused.output;
    EXPECT_NE(slurp(dir_.file("kernel.log")).find("<4>velOpen: open refused"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(theirs + "/x.img"));
    // The machine's own user is its administrator.
    EXPECT_EQ(agent({"full", "--device", "sda1", "--image", dir_.file("mine.img"), "-q"}).status,
              0);
}

}  // namespace
