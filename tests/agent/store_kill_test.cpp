// The store killed at every step of writing a point and of a prune: each time
// the process dies there, the next reader finds every point it had before (or,
// after a prune's switch, every point the prune kept) restoring byte for byte,
// verify finds nothing, and the next writer and prune succeed.
#include <crash_points.h>
#include <device_chain.h>

#include "store_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace velmora::agent::store {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kBlocks = 256, kBlockSize = 1024;
constexpr int kKilled = 42;

using Image = std::vector<char>;

Image restoredImage(const DeviceChain &chain, uint32_t id) {
    Image out;
    chain.restore(
        id, [&](uint32_t, const char *bytes) { out.insert(out.end(), bytes, bytes + kBlockSize); });
    return out;
}

// Writes a point of the blocks of image that differ from base (all of them for a full point).
void writePoint(DeviceChain &chain, const Image &image, const Image *base) {
    auto writer = chain.begin(base ? "incremental" : "full",
                              "2026-12-0" + std::to_string(1 + image[0] % 9) + "T00:00:00Z",
                              kBlockSize, kBlocks);
    for (uint32_t b = 0; b < kBlocks; ++b)
        if (!base || std::memcmp(image.data() + b * kBlockSize, base->data() + b * kBlockSize,
                                 kBlockSize) != 0)
            writer.add(b, image.data() + b * kBlockSize);
    writer.commit();
}

// A device's images over time: random blocks, some repeated, a few changed each time.
std::vector<Image> history(int points) {
    std::mt19937 random(1209);
    std::vector<Image> images(1, Image(kBlocks * kBlockSize));
    for (char &c : images[0])
        c = static_cast<char>(random() % 4 == 0 ? 0 : random());
    while (static_cast<int>(images.size()) < points) {
        Image next = images.back();
        for (int n = 0; n < 24; ++n) {
            const uint32_t b = random() % kBlocks;
            if (n % 3 == 0)
                std::memcpy(next.data() + b * kBlockSize,
                            next.data() + (random() % kBlocks) * kBlockSize, kBlockSize);
            else
                for (uint32_t i = 0; i < kBlockSize; ++i)
                    next[b * kBlockSize + i] = static_cast<char>(random());
        }
        images.push_back(std::move(next));
    }
    return images;
}

// Runs work in a child that exits at the stop-th crash point whose name
// passes `counts`. Returns whether the child was stopped there (false: it
// finished first).
bool runStoppedAt(int stop, const std::function<bool(const char *)> &counts,
                  const std::function<void()> &work) {
    const pid_t child = ::fork();
    if (child == 0) {
        int seen = 0;
        setCrashPointHook([&](const char *where) {
            if (counts(where) && ++seen == stop)
                ::_exit(kKilled);
        });
        try {
            work();
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 1) << "the work failed before its stop " << stop;
    return WEXITSTATUS(status) == kKilled;
}

bool isStep(const char *where) {
    return std::strcmp(where, "point: frame appended") != 0;
}
// Frames are many: stop at every fifth.
bool isSampledFrame(const char *where) {
    static int n = 0;
    return !isStep(where) && n++ % 5 == 0;
}

// Every point the chain lists restores to its image; the ids are one of the allowed sets.
void expectWhole(const DeviceChain &chain, const std::map<uint32_t, Image> &images,
                 const std::vector<std::vector<uint32_t>> &allowed, const std::string &when) {
    std::vector<uint32_t> ids;
    for (const PointInfo &p : chain.points())
        ids.push_back(p.id);
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), ids), allowed.end()) << when;
    for (uint32_t id : ids)
        EXPECT_TRUE(restoredImage(chain, id) == images.at(id)) << when << ": point " << id;
    EXPECT_EQ(chain.verify(), std::vector<std::string>{}) << when;
}

void sweep(const std::string &what, const std::function<bool(const char *)> &counts,
           const std::function<void(DeviceChain &)> &work,
           const std::function<void(DeviceChain &, bool finished, const std::string &)> &check) {
    const std::vector<Image> images = history(6);
    StoreDir box;
    const std::string pristine = box.path() + "/pristine";
    {
        DeviceChain chain(pristine, "sda1");
        for (std::size_t n = 0; n < images.size(); ++n)
            writePoint(chain, images[n], n ? &images[n - 1] : nullptr);
    }
    int stop = 1;
    for (;; ++stop) {
        const std::string store = box.path() + "/run";
        fs::remove_all(store);
        fs::copy(pristine, store, fs::copy_options::recursive);
        DeviceChain chain(store, "sda1");
        const bool stopped = runStoppedAt(stop, counts, [&] { work(chain); });
        const std::string when = what + " stopped at step " + std::to_string(stop);
        check(chain, !stopped, when);
        if (!stopped || ::testing::Test::HasFailure())
            break;
    }
    EXPECT_GT(stop, 3) << what << " has too few crash points to sweep";
}

class StoreKilled : public ::testing::TestWithParam<bool> {};

TEST_P(StoreKilled, WritingAPointLeavesEveryEarlierPointAndTheNextWriterWorks) {
    const bool frames = GetParam();
    const std::vector<Image> images = history(7);
    std::map<uint32_t, Image> byId;
    for (uint32_t n = 0; n < images.size(); ++n)
        byId[n + 1] = images[n];
    const std::vector<uint32_t> before{1, 2, 3, 4, 5, 6}, after{1, 2, 3, 4, 5, 6, 7};
    sweep(
        "a point's writer", frames ? isSampledFrame : isStep,
        [&](DeviceChain &chain) { writePoint(chain, images[6], &images[5]); },
        [&](DeviceChain &chain, bool finished, const std::string &when) {
            expectWhole(chain, byId,
                        finished ? std::vector<std::vector<uint32_t>>{after}
                                 : std::vector<std::vector<uint32_t>>{before, after},
                        when);
            if (chain.points().size() == 6)
                writePoint(chain, images[6], &images[5]);
            expectWhole(chain, byId, {after}, when + ", then written again");
        });
}

TEST_P(StoreKilled, APruneLeavesTheOldChainOrTheNewOneAndTheNextPruneWorks) {
    const bool frames = GetParam();
    const std::vector<Image> images = history(6);
    std::map<uint32_t, Image> byId;
    for (uint32_t n = 0; n < images.size(); ++n)
        byId[n + 1] = images[n];
    const std::vector<uint32_t> all{1, 2, 3, 4, 5, 6}, kept{4, 5, 6};
    sweep(
        "a prune", frames ? isSampledFrame : isStep,
        [](DeviceChain &chain) { chain.prune({.keepLast = 3, .keepSince = {}}); },
        [&](DeviceChain &chain, bool finished, const std::string &when) {
            expectWhole(chain, byId,
                        finished ? std::vector<std::vector<uint32_t>>{kept}
                                 : std::vector<std::vector<uint32_t>>{all, kept},
                        when);
            const PruneResult again = chain.prune({.keepLast = 3, .keepSince = {}});
            expectWhole(chain, byId, {kept}, when + ", then pruned again");
            const std::vector<PointInfo> points = chain.points();
            EXPECT_EQ(points.front().kind, "full") << when;
            EXPECT_EQ(points.front().mergedFrom, 1u) << when;
            std::size_t chains = 0;
            for (const auto &entry :
                 fs::directory_iterator(fs::path(chain.pointsDirectory()).parent_path()))
                chains += entry.path().filename().string().starts_with("chain-");
            EXPECT_EQ(chains, 1u) << when << ": the replaced chain is removed";
            if (finished) {
                EXPECT_EQ(again.mergedInto, 0u) << "a second prune of a pruned chain does nothing";
            }
        });
}

INSTANTIATE_TEST_SUITE_P(AtEachStepOrFrame, StoreKilled, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Frames" : "Steps"; });

}  // namespace
}  // namespace velmora::agent::store
