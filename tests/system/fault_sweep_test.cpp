// Every failure site the driver reaches in a phase of a backup, found by a
// census of the phase, made to fail in turn: at its first call, at its last
// (what a loop built before it must be undone), and on every call.
#include "fault_sweep.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

namespace velmora::test {
namespace {

// The number of calls a "for ever" fault fails: far more than any phase makes
// from one site, and an end for the loops that must retry until they succeed.
constexpr int kForEver = 2000;

class FaultSweepTest : public ::testing::TestWithParam<std::tuple<Phase, unsigned>> {};

TEST_P(FaultSweepTest, EverySiteOfThePhase) {
    const auto [phase, blockSize] = GetParam();
    FaultSweep sweep(blockSize);
    SweepRun census = sweep.run(phase, std::nullopt);
    for (const auto &p : census.problems)
        ADD_FAILURE() << phaseName(phase) << " without a fault: " << p;

    int swept = 0, runs = 0, reached = 0;
    for (const auto &site : census.sites) {
        // The driver makes no writes of its own: the writes it passes on are
        // the writers', failed by the disk-error tests instead.
        if (site.site == FAULT_DISK_WRITE)
            continue;
        ++swept;
        struct Variant {
            unsigned skip;
            int times;
            const char *name;
        };
        std::vector<Variant> variants{{0, 1, "first call"}, {0, kForEver, "for ever"}};
        if (site.calls > 1)
            variants.push_back({static_cast<unsigned>(site.calls - 1), 1, "last call"});
        for (const auto &[skip, times, how] : variants) {
            InjectedFault fault{site.site, site.offset, skip, times, site.where};
            SweepRun r = sweep.run(phase, fault);
            ++runs;
            reached += r.hits > 0;
            for (const auto &p : r.problems)
                ADD_FAILURE() << phaseName(phase) << ", " << standin_fault_site_name(site.site)
                              << " at " << site.where << ", " << how << ": " << p;
            std::printf("  %s at %s %s: %s\n", standin_fault_site_name(site.site), site.where, how,
                        r.hits == 0         ? "not reached again"
                        : r.refusal.empty() ? "the backup went on"
                                            : r.refusal.c_str());
        }
    }
    // Phases that build or fetch something must reach sites: a census that
    // finds none is broken, not clean.
    if (phase != Phase::Load && phase != Phase::MapFetch && phase != Phase::DirtyReads &&
        phase != Phase::Unload) {
        EXPECT_GT(swept, 0) << "no failure site found in " << phaseName(phase);
    }
    std::printf("%s, %u-byte blocks: %d sites swept, %d runs, %d reached their site\n",
                phaseName(phase), blockSize, swept, runs, reached);
    RecordProperty("sites", swept);
    RecordProperty("runs", runs);
}

std::string name(const ::testing::TestParamInfo<std::tuple<Phase, unsigned>> &info) {
    std::string n = phaseName(std::get<0>(info.param));
    for (char &c : n)
        if (c == '-')
            c = '_';
    return n + "_" + std::to_string(std::get<1>(info.param));
}

// 1024-byte blocks put several blocks in each page of the cache and the reader.
INSTANTIATE_TEST_SUITE_P(
    Phases, FaultSweepTest,
    ::testing::Combine(::testing::Values(Phase::Load, Phase::Open, Phase::Start,
                                         Phase::SnapshotCreate, Phase::SnapshotLoad,
                                         Phase::SnapshotResize, Phase::SnapshotNone,
                                         Phase::MapFetch, Phase::MapLoad, Phase::DiskReads,
                                         Phase::CopyOnWrite, Phase::CacheReads, Phase::DirtyReads,
                                         Phase::Close, Phase::Shutdown, Phase::Unload),
                       ::testing::Values(4096u, 1024u)),
    name);

}  // namespace
}  // namespace velmora::test
