#include "backup_state.h"

#include <velmora.h>

namespace velmora::agent {

std::string describeBackupState(uint32_t state) {
    switch (state) {
        case VEL_STATE_IDLE:
            return "no backup was started";
        case VEL_STATE_STARTING:
            return "the backup did not finish starting";
        case VEL_STATE_STARTED:
            return "the backup is started but no snapshot was taken";
        case VEL_STATE_SNAPSHOT:
            return "the snapshot is taken";
        case VEL_STATE_LOADING_MAP:
            return "the map of blocks to copy is being loaded";
        case VEL_STATE_MAP_LOADED:
            return "the snapshot is taken and the blocks to copy are loaded";
        case VEL_STATE_CLOSING:
            return "the backup is being closed";
        case VEL_STATE_READ_ERROR:
            return "the old contents of a block could not be read from the disk before a "
                   "write replaced them";
        case VEL_STATE_MAP_FAILED:
            return "the map of blocks to copy could not be loaded";
        case VEL_STATE_CACHE_FULL:
            return "the copy-on-write cache is full (its block limit was reached or memory ran "
                   "out) while writers went on";
        case VEL_STATE_REFUSED:
            return "another backup was running when this one was started";
        case VEL_STATE_REQUEST_LOST:
            return "a write could not be held back for copy-on-write (out of memory)";
        default:
            return "the driver reports an unknown backup state";
    }
}

BackupFailed::BackupFailed(uint32_t state)
    : std::runtime_error(
          "the backup failed and its image is not the snapshot: " + describeBackupState(state) +
          " (backup state " + std::to_string(state) + ")"),
      state_(state) {}

}  // namespace velmora::agent
