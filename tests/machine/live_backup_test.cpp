// Backups of a file system the host's own kernel writes: velmorad exports its
// disk, the host mounts ext4 on the partition through a loop device, fio (with
// verification) and a copy of a directory tree write to it, and separate
// velmora-agent processes take a full backup and a chain of incrementals.
// Every image must equal the partition's content at its snapshot, pass
// e2fsck and hold the files that were closed before it was taken.
#include "live_machine.h"

#include <disk_image.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace {

using namespace velmora::live;
using nlohmann::json;

constexpr unsigned kPartitionMiB = 192;

class LiveBackup : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string missing = missingForLiveTests(
            {"fio", "mkfs.ext4", "e2fsck", "losetup", "cmp", "sha256sum", "sfdisk"});
        if (!missing.empty())
            GTEST_SKIP() << "the live machine cannot run here: " << missing;
        machine_ = std::make_unique<LiveMachine>(dir_.file("live"), kPartitionMiB);
    }

    void TearDown() override {
        if (HasFailure() && machine_)
            std::cerr << shell("tail -n 40 " + machine_->log()).output;
    }

    // Files written and closed now, listed with their checksums: every
    // later image must hold them as they are.
    void writeStableFiles(unsigned round) {
        std::mt19937_64 rng(round);
        const std::string stable = machine_->mountPoint() + "/stable";
        std::filesystem::create_directories(stable);
        for (int j = 0; j < 8; ++j) {
            std::ofstream out(stable + "/" + std::to_string(round) + "-" + std::to_string(j),
                              std::ios::binary);
            std::vector<char> bytes(4096 * (1 + rng() % 80));
            for (char &c : bytes)
                c = static_cast<char>(rng());
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        CommandResult sums = shell("cd " + stable + " && sha256sum " + std::to_string(round) +
                                   "-* >> " + dir_.file("stable.sums"));
        ASSERT_EQ(sums.status, 0) << described(sums);
    }

    // The image equals the capture of the n-th freeze, passes e2fsck and
    // holds every stable file.
    void checkImage(const std::string &image, unsigned freeze) {
        ASSERT_TRUE(waitForPath(machine_->capture(freeze), 30))
            << "no capture of freeze " << freeze;
        CommandResult same = run({"cmp", image, machine_->capture(freeze)});
        EXPECT_EQ(same.status, 0) << "image of freeze " << freeze << ": " << described(same);
        CommandResult fsck = run({"e2fsck", "-fn", image});
        EXPECT_EQ(fsck.status, 0) << described(fsck);
        const std::string check = dir_.file("check");
        std::filesystem::create_directories(check);
        CommandResult mount = run({"mount", "-o", "ro,loop,noload", image, check});
        ASSERT_EQ(mount.status, 0) << described(mount);
        CommandResult sums =
            shell("cd " + check + "/stable && sha256sum --quiet -c " + dir_.file("stable.sums"));
        EXPECT_EQ(sums.status, 0) << described(sums);
        run({"umount", check});
    }

    unsigned snapshotsInLog() {
        return static_cast<unsigned>(std::stoul(
            shell("grep -c 'ioctlSnapShot: Going to freez' " + machine_->log() + " || true")
                .output));
    }

    std::unique_ptr<Background> writers() {
        const std::string mnt = machine_->mountPoint(), stop = dir_.file("stop");
        const std::string script =
            "mkdir -p " + mnt +
            "/fio; "
            "( while [ ! -e " +
            stop + " ]; do fio --name=live --directory=" + mnt +
            "/fio --size=24M --bs=4k --rw=randwrite --ioengine=psync --verify=crc32c "
            "--verify_fatal=1 --verify_state_save=0 --fsync=64 --output=/dev/null || exit 1; done "
            ") & fio=$!; "
            "i=0; while [ ! -e " +
            stop + " ]; do cp -a /usr/include/c++ " + mnt + "/tree.$i || exit 2; rm -rf " + mnt +
            "/tree.$((i-1)); i=$((i+1)); done; "
            "wait $fio || exit 3";
        return std::make_unique<Background>(std::vector<std::string>{"sh", "-c", script},
                                            dir_.file("writers.out"));
    }

    velmora::sim::TempDir dir_;
    std::unique_ptr<LiveMachine> machine_;
};

TEST_F(LiveBackup, FullAndIncrementalsUnderHostWritersAreExact) {
    auto load = writers();
    const std::string image = dir_.file("backup.img"), keys = dir_.file("keys");
    unsigned freezes = 0;
    json last;
    for (unsigned round = 1; round <= 4; ++round) {
        writeStableFiles(round);
        CommandResult r =
            run({AGENT_PATH, round == 1 ? "full" : "incremental", "--machine", machine_->socket(),
                 "--device", "sda1", "--image", image, "--key-dir", keys, "--json"});
        ASSERT_EQ(r.status, 0) << described(r);
        last = json::parse(r.output);
        EXPECT_EQ(last["kind"], round == 1 ? "full" : "incremental") << r.output;
        checkImage(image, ++freezes);
    }
    // The picture of the last incremental: the blocks it copied.
    const std::string png = dir_.file("map.png");
    CommandResult map = run({AGENT_PATH, "map", "--machine", machine_->socket(), "--device", "sda1",
                             "--key-dir", keys, "--png", png, "--json"});
    ASSERT_EQ(map.status, 0) << described(map);
    json m = json::parse(map.output);
    EXPECT_EQ(m["changed"], last["blocksCopied"]) << map.output;
    EXPECT_LT(m["changed"].get<unsigned>(), m["blocks"].get<unsigned>());
    EXPECT_GT(std::filesystem::file_size(png), 1000u);

    std::ofstream(dir_.file("stop")).close();
    EXPECT_EQ(load->wait(), 0) << shell("cat " + dir_.file("writers.out")).output;

    // The machine's kernel log, asked for by a client: the newest lines,
    // the last backup's end among them.
    CommandResult log = run({AGENT_PATH, "log", "--machine", machine_->socket()});
    EXPECT_EQ(log.status, 0) << described(log);
    EXPECT_NE(log.output.find("<6>closeBackup: backup finished device major=8 minor=1"),
              std::string::npos)
        << log.output;
}

// Agents killed at many points of an incremental, under writers: the image
// is always whole (the last backup's, or this run's once it was renamed in
// place), it verifies, and the next backup is exact, going on from the
// stopped run's snapshot where it can.
TEST_F(LiveBackup, AgentsKilledDuringIncrementalsLeaveAWholeImage) {
    auto load = writers();
    const std::string image = dir_.file("backup.img"), keys = dir_.file("keys");
    writeStableFiles(1);
    CommandResult full = agentBackup(*machine_, "full", image, keys);
    ASSERT_EQ(full.status, 0) << described(full);
    unsigned good = snapshotsInLog();
    checkImage(image, good);
    // How long a whole incremental takes sets where the kills fall.
    auto started = std::chrono::steady_clock::now();
    CommandResult whole = agentBackup(*machine_, "incremental", image, keys);
    const auto length = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(whole.status, 0) << described(whole);
    good = snapshotsInLog();
    checkImage(image, good);

    unsigned resumed = 0;
    constexpr int kKills = 8;
    for (int k = 0; k < kKills; ++k) {
        const unsigned before = snapshotsInLog();
        {
            Background agent({AGENT_PATH, "incremental", "--machine", machine_->socket(),
                              "--device", "sda1", "--image", image, "--key-dir", keys},
                             dir_.file("killed.out"));
            // The first kills fall anywhere in the run, the others once it has
            // kept the key of its snapshot (while it copies and commits).
            while (k >= 3 && !std::filesystem::exists(keys + "/sda1.pending") && agent.running())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(length * (k < 3 ? k + 0.5 : (k - 3) / 4.0) / kKills);
            agent.signal(SIGKILL);
            agent.wait();
        }
        const unsigned after = snapshotsInLog();
        if (after > before) {
            ASSERT_TRUE(waitForPath(machine_->capture(after), 30));
        }
        const bool isLast = run({"cmp", "-s", image, machine_->capture(good)}).status == 0;
        const bool isNew =
            after > before && run({"cmp", "-s", image, machine_->capture(after)}).status == 0;
        EXPECT_TRUE(isLast || isNew) << "kill " << k << " left an image that is neither";
        CommandResult verify = run({AGENT_PATH, "verify", image});
        EXPECT_EQ(verify.status, 0) << "kill " << k << ": " << described(verify);

        CommandResult next = run({AGENT_PATH, "backup", "--machine", machine_->socket(), "--device",
                                  "sda1", "--image", image, "--key-dir", keys, "--json"});
        ASSERT_EQ(next.status, 0) << "after kill " << k << ": " << described(next);
        json j = json::parse(next.output);
        resumed += j["resumed"].get<bool>();
        good = snapshotsInLog();
        checkImage(image, good);
        EXPECT_FALSE(std::filesystem::exists(image + ".partial"));
    }
    EXPECT_GT(resumed, 0u) << "no backup went on from a stopped run's snapshot";
    std::ofstream(dir_.file("stop")).close();
    EXPECT_EQ(load->wait(), 0) << shell("cat " + dir_.file("writers.out")).output;
}

// The service stopped while the host writes: it waits for the host to let go
// of its disk, and what the host synced is on the image, whole.
TEST_F(LiveBackup, StoppingUnderWritersLosesNothingSynced) {
    auto load = writers();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    writeStableFiles(1);
    ASSERT_EQ(run({"sync"}).status, 0);
    machine_->service().signal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(machine_->service().running()) << "the service left while the host held its disk";
    std::ofstream(dir_.file("stop")).close();
    EXPECT_EQ(load->wait(), 0) << shell("cat " + dir_.file("writers.out")).output;
    EXPECT_EQ(machine_->stop(), 0);

    // The partition of the image file, as the host's tools see it.
    CommandResult loop =
        run({"losetup", "-f", "--show", "-r", "-o", std::to_string(machine_->partitionOffset()),
             "--sizelimit", std::to_string(uint64_t{kPartitionMiB} << 20), machine_->image()});
    ASSERT_EQ(loop.status, 0) << described(loop);
    const std::string dev = loop.output.substr(0, loop.output.find('\n'));
    CommandResult fsck = run({"e2fsck", "-fn", dev});
    EXPECT_EQ(fsck.status, 0) << described(fsck);
    const std::string check = dir_.file("check");
    std::filesystem::create_directories(check);
    ASSERT_EQ(run({"mount", "-o", "ro", dev, check}).status, 0);
    CommandResult sums =
        shell("cd " + check + "/stable && sha256sum --quiet -c " + dir_.file("stable.sums"));
    EXPECT_EQ(sums.status, 0) << described(sums);
    run({"umount", check});
    run({"losetup", "-d", dev});
}

}  // namespace
