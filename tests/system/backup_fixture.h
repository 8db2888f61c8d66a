// The fixture of the backup system tests: the module loaded, a disk rig made
// by the test, writers on it, and helpers that run a backup through the
// agent library and the system calls only.
#pragma once

#include "backup_rig.h"
#include "system_test.h"

#include <backup_runner.h>
#include <backup_session.h>
#include <session_key.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace velmora::test {

class BackupTest : public LoadedModule {
  protected:
    void TearDown() override;

    DiskRig &makeRig(const RigSpec &layout);
    Workload &startWorkload(unsigned dev, const Workload::Options &options);
    // A request for the rig's partition, written to a file of the test.
    agent::BackupRequest request() const;
    // A whole backup with no writers about; returns the key it left.
    agent::SessionKey fullBackup();
    // Loads an all-set map when the snapshot is not followed by one yet, and
    // reads every block of the image through the transfer buffer.
    Bytes readWholeImage(const agent::BackupSession &session) const;

    std::unique_ptr<DiskRig> rig;
    std::vector<std::unique_ptr<Workload>> workloads;
    sim::TempDir dir;
};

// One rig and writer mode of a parameterised backup test, named after it.
struct RigCase {
    const char *name;
    RigSpec layout;
    int mode;
    unsigned syncEvery;
};

inline void PrintTo(const RigCase &c, std::ostream *os) {
    *os << c.name;
}

inline std::string rigCaseName(const ::testing::TestParamInfo<RigCase> &info) {
    return info.param.name;
}

}  // namespace velmora::test
