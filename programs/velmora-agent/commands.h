// The subcommands of velmora-agent: what each is given once its command
// line is parsed, and the function that runs it. Each returns the exit
// code: 0 done, 1 failed (the message says why), 3 verify found nothing it
// could check.
#pragma once

#include "backup_target.h"

#include <device_backup.h>

#include <cstdint>
#include <string>

namespace velmora::cli {

struct Output {
    bool json = false;   // one JSON object on stdout instead of words
    bool quiet = false;  // no progress, and only errors in words
};

struct BackupCommand {
    agent::BackupKind kind = agent::BackupKind::Automatic;
    TargetOptions target;
    std::string image;
    std::string keyDirectory;
    uint32_t maxCacheBlocks = 1u << 20;
    bool verify = false;
    Output output;
};

struct VerifyCommand {
    std::string image;
    std::string against;
    uint32_t blockSize = 4096;
    bool fileSystemCheck = true;
    Output output;
};

struct MapCommand {
    TargetOptions target;  // names the device; the machine is not asked
    std::string keyDirectory;
    std::string png;
    bool runs = false;
    Output output;
};

struct StatusCommand {
    std::string machine;
    std::string keyDirectory;
    Output output;
};

int runBackupCommand(const BackupCommand &command);
int runVerifyCommand(const VerifyCommand &command);
int runMapCommand(const MapCommand &command);
int runStatusCommand(const StatusCommand &command);
int runLogCommand(const std::string &machine);

// Prints an error as the command's output asks: a line on stderr, and with
// --json the object {"command", "outcome": "failed", "error"} on stdout.
int reportFailure(const char *command, const Output &output, const std::string &message);

}  // namespace velmora::cli
