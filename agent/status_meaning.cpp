#include "status_meaning.h"

#include <velmora.h>

#include <cstring>
#include <map>

namespace velmora::agent {

namespace {

// What the agent was doing when the command failed.
std::string doing(const std::string &command) {
    static const std::map<std::string, std::string> what = {
        {"VEL_GET_BLOCK_SIZE", "the device's geometry could not be read"},
        {"VEL_START_BACKUP", "the backup could not start"},
        {"VEL_SNAPSHOT", "the snapshot was refused"},
        {"VEL_GET_STATE", "the backup's state could not be read"},
        {"VEL_GET_AUTOMAP_STATE", "the new session key could not be read"},
        {"VEL_NO_LOAD_FROM_AUTOMAP", "change tracking could not be restarted"},
        {"VEL_NO_START_AUTOMAP", "change tracking could not be turned off"},
        {"VEL_LOAD_BLOCK_MAP", "the map of blocks to copy was refused"},
        {"VEL_GET_AUTOMAP", "the map of changed blocks could not be fetched"},
        {"VEL_GET_DIRTY_BLOCK", "the cache could not be queried"},
        {"VEL_READ_BLOCKS", "reading the snapshot's blocks failed"},
        {"VEL_GET_VERSION_MAJOR", "the driver's version could not be read"},
        {"VEL_GET_VERSION_MINOR", "the driver's version could not be read"},
        {"VEL_SYNC", "the device could not be flushed"},
        {"VEL_SHUTDOWN", "the driver could not shut down"},
    };
    auto it = what.find(command);
    return it != what.end() ? it->second : command + " failed";
}

// Codes whose meaning depends on the command; the rest mean one thing.
std::string meaning(const std::string &command, int status) {
    const bool starting = command == "VEL_START_BACKUP" || command == "VEL_GET_BLOCK_SIZE";
    switch (status) {
        case 1:
            if (command == "VEL_START_BACKUP")
                return "the driver could not find the device's request function, so it cannot "
                       "watch its writes";
            return "the driver is not ready (its load did not finish); reload the module";
        case 2:
            if (starting)
                return "the machine has no such device, or it is not a partition the driver can "
                       "back up; check the name with velmora-agent status";
            if (command == "VEL_SNAPSHOT")
                return "the key does not match the last backup of the device, or its file system "
                       "could not be frozen; a full backup is needed when the key is refused";
            if (command == "VEL_GET_AUTOMAP")
                return "the machine kept no changed-block record for this backup's key";
            if (command == "VEL_READ_BLOCKS" || command == "VEL_LOAD_BLOCK_MAP")
                return "the driver refused the request for the backup's present state (it may "
                       "have given the backup up)";
            return "the driver refused the request in the backup's present state";
        case 3:
            if (starting)
                return "the file system's block size is below 512 bytes, which the driver "
                       "cannot back up";
            if (command == "VEL_LOAD_BLOCK_MAP")
                return "the backup left the state in which its cache can be cleaned";
            return "the driver does not serve this command";
        case 4:
            return "the driver does not know the command; the agent and the driver are of "
                   "different versions";
        case 5:
            return "the machine ran out of memory; free memory on it, or give a smaller "
                   "--max-cache-blocks";
        case 6:
            return "the driver could not read the agent's memory (a fault of the agent; please "
                   "report it)";
        case 7:
            return "the driver could not write into the agent's memory (a fault of the agent; "
                   "please report it)";
        case 8:
            return "no mounted file system was found on the device; the driver backs up mounted "
                   "file systems only, so mount it on the machine first";
        case 9:
            return "another backup is running on the machine; wait for it to end "
                   "(velmora-agent status shows it) and run again";
        case 11:
            return "this file of the control device already ran a backup; open it anew";
        case 12:
            return "a disk read failed on the machine: the device has an I/O error";
        default:
            if (status < 0)
                return std::string("the kernel refused it: ") + std::strerror(-status);
            return "the driver returned an unknown status";
    }
}

}  // namespace

std::string commandStatusMeaning(const std::string &command, int status) {
    return doing(command) + ": " + meaning(command, status) + " (" + command + ", status " +
           std::to_string(status) + ")";
}

}  // namespace velmora::agent
