// The backup of one device as a person asks for it: full, incremental, or
// whichever the kept key and image allow, with the key kept per device in a
// directory (key_store.h) and the image replaced only whole (image_file.h).
#pragma once

#include "backup_destination.h"
#include "backup_runner.h"
#include "driver_statistics.h"
#include "key_store.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velmora::agent {

enum class BackupKind { Full, Incremental, Automatic };

struct DeviceBackupRequest {
    BackupKind kind = BackupKind::Automatic;
    std::shared_ptr<SystemCalls> system;  // none: this process's kernel
    std::string devicePath = "/dev/velmora";
    std::string device;  // the name the records and messages use: "sda1", "8:1"
    unsigned major = 0, minor = 0;
    std::string image;
    // Where the backup goes instead of image (a store's chain), when set.
    std::shared_ptr<BackupDestination> destination;
    std::string keyDirectory;  // empty: KeyStore::defaultDirectory()
    uint32_t maxCacheBlocks = 1u << 20;
    std::function<void(const BackupProgress &)> progress;
    std::function<void()> afterSnapshot, beforeReads;  // for tests: see BackupRequest
};

struct DeviceBackupResult {
    BackupReport report;
    // Why the backup copied every block, when it did ("a full backup was
    // asked for", "no earlier backup ..."); empty for an incremental.
    std::string fullReason;
    bool resumed = false;  // it also copied the blocks of a run stopped after its snapshot
    std::optional<EarlierRun> earlierRun;
    std::string image, keyFile;  // absolute paths; image: where the backup went
    std::string snapshotTime;
    DriverStatistics statistics;  // what the driver logged at the backup's end
    double seconds = 0;
};

// The file name the records of a device have: its name with '/' and ':'
// made safe ("8:1" -> "8-1").
std::string deviceRecordName(const std::string &device);

// Backs the device up into request.destination (else request.image) and
// keeps the new key. Throws
// FullBackupNeeded when an incremental was asked for and cannot be made
// (the kept key and image stay usable), BackupFailed or CommandError when
// the driver gave up or refused (their what() says what it means), and
// std::runtime_error for files that cannot be read or written; the previous
// image and key stay as they were, and the next run is told.
DeviceBackupResult backUpDevice(const DeviceBackupRequest &request);

}  // namespace velmora::agent
