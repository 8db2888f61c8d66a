// The fault sweep: a backup run in phases on a RAM disk with writers, where
// one phase has exactly one failure site of the driver made to fail (or its
// calls counted), and everything the driver promises is checked afterwards:
// a refusal with a status and a message, no read that reports success with
// wrong data, writers unharmed, every bio ended once, nothing leaked, and a
// fresh backup afterwards right byte for byte.
#pragma once

#include "backup_rig.h"

#include <machine.h>

#include <standin/fault.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace velmora::test {

enum class Phase {
    Load,
    Open,
    Start,
    SnapshotCreate,
    SnapshotLoad,
    SnapshotResize,
    SnapshotNone,
    MapFetch,
    MapLoad,
    DiskReads,
    CopyOnWrite,
    CacheReads,
    DirtyReads,
    Close,
    Shutdown,
    Unload,
};
const char *phaseName(Phase phase);
inline void PrintTo(Phase phase, std::ostream *os) {
    *os << phaseName(phase);
}

// The one site made to fail in a run: `times` calls from it after the first
// `skip` (-1 would be every call; a sweep uses a large count, so that a site
// the driver retries in a loop, as it must for bios, ends too).
struct InjectedFault {
    unsigned site = 0;  // FAULT_* bit
    unsigned long offset = 0;
    unsigned skip = 0;
    int times = 0;
    std::string where;
};

struct SweepRun {
    std::vector<standin_fault_site_seen> sites;  // the census of the phase, when counting
    unsigned long hits = 0;                      // calls the fault failed
    std::string refusal;                         // the command that failed, and how
    std::vector<std::string> problems;           // broken promises
};

class FaultSweep {
  public:
    // On a file system of this block size (4096, or 1024 for pages of
    // several blocks).
    explicit FaultSweep(unsigned blockSize);
    ~FaultSweep();
    FaultSweep(const FaultSweep &) = delete;
    FaultSweep &operator=(const FaultSweep &) = delete;

    // One run: `fault` in `phase`, or the census of the phase when it is empty.
    SweepRun run(Phase phase, const std::optional<InjectedFault> &fault);

  private:
    class Attempt;
    void freshBackup(SweepRun &result);
    void mountWith(unsigned blockSize);

    unsigned blockSize_;
    sim::Machine machine_;  // boots the kernel before the rig's disk is made
    DiskRig rig_;
    std::optional<unsigned long> settledAllocations_;
};

}  // namespace velmora::test
