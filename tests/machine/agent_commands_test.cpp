// velmora-agent as an administrator runs it against a running machine
// (velmorad mounting its partitions itself, so no root is needed): backup
// falls back to a full backup for each reason a kept key cannot serve and
// says which; the other commands answer in words, JSON and exit codes; a
// refusal of the driver reaches the person as its meaning.
#include "agent_machine.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace velmora::live;

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
    for (const char *command : {"full", "incremental", "backup", "restore", "list", "prune",
                                "verify", "map", "status", "log"}) {
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
        {{"full", "--device", "sda1", "--image", "x", "--store", "y"}, "excludes"},
        {{"restore", "--point", "1"}, "--to is required"},
        {{"prune"}, "say which points to keep"},
        {{"prune", "--keep", "0"}, "--keep"},
        {{"verify"}, "say an image file, or --store DIR"},
        {{"verify", "x", "--store", "y"}, "say an image file, or --store DIR"},
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
