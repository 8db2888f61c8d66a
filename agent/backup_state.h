// What the driver's backup states mean to the person running a backup, and
// the error that ends a backup the driver gave up on.
#pragma once

#include <velmora.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velmora::agent {

// The meaning of a state value of the driver's backup record.
std::string describeBackupState(uint32_t state);

// Whether a backup in this state still delivers the image of its snapshot.
inline bool backupStateIsSound(uint32_t state) {
    return state == VEL_STATE_SNAPSHOT || state == VEL_STATE_LOADING_MAP ||
           state == VEL_STATE_MAP_LOADED;
}

// The driver stopped protecting the snapshot: nothing read counts.
class BackupFailed : public std::runtime_error {
  public:
    explicit BackupFailed(uint32_t state);
    uint32_t state() const { return state_; }

  private:
    uint32_t state_;
};

}  // namespace velmora::agent
