// What a status code of the driver means to the person running a backup, and
// what to do about it: a code alone says nothing to an administrator.
#pragma once

#include <string>

namespace velmora::agent {

// "the snapshot was refused: another backup is running on the machine; ..."
// for a command by its name ("VEL_SNAPSHOT") and the status it returned.
std::string commandStatusMeaning(const std::string &command, int status);

}  // namespace velmora::agent
