// The subcommands of velmora-agent: what each is given once its command
// line is parsed, and the function that runs it. Each returns the exit
// code: 0 done, 1 failed (the message says why), 3 verify found nothing it
// could check.
#pragma once

#include "backup_target.h"

#include <device_backup.h>
#include <image_check.h>

#include <cstdint>
#include <optional>
#include <string>

namespace velmora::cli {

struct Output {
    bool json = false;   // one JSON object on stdout instead of words
    bool quiet = false;  // no progress, and only errors in words
};

// A device's chain in a store.
struct StoreOptions {
    std::string store;   // empty: the default store
    std::string device;  // the chain's device ("sda1"); empty: the store's only one
};

struct BackupCommand {
    agent::BackupKind kind = agent::BackupKind::Automatic;
    TargetOptions target;
    std::string image;  // a plain image file instead of the store, when given
    std::string store;  // empty: the default store
    std::string keyDirectory;
    uint32_t maxCacheBlocks = 1u << 20;
    bool verify = false;
    Output output;
};

struct VerifyCommand {
    std::string image;
    // Instead of an image: every stored block of the store's chains, or with
    // point the file system of one point restored to a temporary file.
    std::optional<StoreOptions> store;
    std::string point;
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

struct RestoreCommand {
    StoreOptions chain;
    std::string point = "latest";
    std::string to;
    Output output;
};

struct ListCommand {
    StoreOptions chain;  // no device: every device of the store
    Output output;
};

struct PruneCommand {
    StoreOptions chain;
    uint32_t keep = 0;
    std::string keepWithin;  // an age: "7d"
    Output output;
};

int runBackupCommand(const BackupCommand &command);
int runRestoreCommand(const RestoreCommand &command);
int runListCommand(const ListCommand &command);
int runPruneCommand(const PruneCommand &command);
int runVerifyStoreCommand(const VerifyCommand &command);
int runVerifyCommand(const VerifyCommand &command);
int runMapCommand(const MapCommand &command);
int runStatusCommand(const StatusCommand &command);
int runLogCommand(const std::string &machine);

// The store directory the options name, and the device whose chain they name.
std::string storeDirectory(const StoreOptions &options);
// Throws std::invalid_argument when no device is named and the store has
// none or several.
std::string chainDevice(const StoreOptions &options);
// The file-system check of a point, restored to a temporary file that is
// removed after it.
agent::ImageCheck checkPoint(const std::string &store, const std::string &device, uint32_t id,
                             uint32_t blockSize);
std::string mib(uint64_t bytes);

// Prints an error as the command's output asks: a line on stderr, and with
// --json the object {"command", "outcome": "failed", "error"} on stdout.
int reportFailure(const char *command, const Output &output, const std::string &message);

}  // namespace velmora::cli
