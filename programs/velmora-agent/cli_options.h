// The command line of velmora-agent:
//   velmora-agent full|incremental --disk IMAGE --partition N --image OUT --key KEYFILE
//   velmora-agent full|incremental --machine SOCKET --device NAME --image OUT --key KEYFILE
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::cli {

struct CliOptions {
    bool incremental = false;
    std::string disk;     // the disk image file to attach
    int partition = 0;    // 1 .. 15
    std::string machine;  // a running machine's control socket, instead of --disk
    std::string device;   // with --machine: "sda1", or "MAJOR:MINOR"
    std::string image;    // the backup image: written whole, or patched
    std::string keyFile;  // read by an incremental backup; written by both
};

// Bad input: the message says what is wrong, in words for the user.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

extern const char *const kUsage;

// Throws UsageError for anything it cannot take, including files that an
// incremental backup needs and that are missing. `machineFromEnv` is
// VELMORA_MACHINE's value: the socket when neither --disk nor --machine is given.
CliOptions parseCommandLine(const std::vector<std::string> &args,
                            const std::string &machineFromEnv = "");

}  // namespace velmora::cli
