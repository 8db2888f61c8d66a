#include "backup_state.h"

namespace velmora::agent {

std::string describeBackupState(uint32_t state) {
    switch (state) {
        case 0:
            return "no backup was started";
        case 1:
            return "the backup did not finish starting";
        case 2:
            return "the backup is started but no snapshot was taken";
        case 4:
            return "the snapshot is taken";
        case 5:
            return "the map of blocks to copy is being loaded";
        case 6:
            return "the snapshot is taken and the blocks to copy are loaded";
        case 7:
            return "the backup is being closed";
        case 8:
            return "the old contents of a block could not be read from the disk before a "
                   "write replaced them";
        case 9:
            return "the map of blocks to copy could not be loaded";
        case 10:
            return "the copy-on-write cache is full (its block limit was reached or memory ran "
                   "out) while writers went on";
        case 12:
            return "another backup was running when this one was started";
        case 13:
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
