// A whole backup of one device: full, or incremental onto the image of the
// previous backup, with the session key carried from one to the next.
#pragma once

#include "backup_destination.h"
#include "block_bitmap.h"
#include "image_file.h"
#include "session_key.h"
#include "system_calls.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace velmora::agent {

// How far the copy is.
struct BackupProgress {
    uint32_t blocksDone = 0, blocksToCopy = 0;
    uint32_t blockSize = 0;
    double seconds = 0;  // since the copy began
};

struct BackupRequest {
    std::string devicePath = "/dev/velmora";
    // The kernel the device is reached through; none: this process's.
    std::shared_ptr<SystemCalls> system;
    unsigned major = 0, minor = 0;
    std::string deviceName = "the device";  // for messages: "sda1"
    // The image file: written whole by a full backup; an incremental one
    // writes a new image from baseImage (none: the image file itself) and
    // the changed blocks. The image is replaced only by a backup that
    // succeeded (image_file.h).
    std::string imagePath;
    std::string baseImage;
    // Where the blocks go instead of imagePath (a store's point), when set.
    std::shared_ptr<BackupDestination> destination;
    // The key kept from the previous backup; none for a full backup.
    std::optional<SessionKey> previousKey;
    // What the previous backup kept at the destination is: an incremental
    // is written only onto that (BackupDestination::open). None: not checked.
    std::optional<ImageIdentity> expectBase;
    // The block size and count the previous backup had; 0: not known.
    uint32_t expectBlockSize = 0, expectTotalBlocks = 0;
    // Blocks a stopped run was to copy onto the base image: copied too.
    std::optional<BlockBitmap> carriedBlocks;
    // When the previous key cannot be used, take a full backup (true) or
    // throw FullBackupNeeded (false).
    bool fallBackToFull = false;
    uint32_t maxCacheBlocks = 1u << 20;
    // Called once the snapshot is taken, with the new key and the blocks to
    // copy, before any is read: a run stopped after this can be resumed.
    std::function<void(const SessionKey &, const BlockBitmap &)> onSnapshot;
    std::function<void(const BackupProgress &)> progress;
    // Called right after the snapshot is taken (tests use it to go on
    // writing to the device while the image is read).
    std::function<void()> afterSnapshot;
    // Called once the blocks to copy are loaded, before the first read.
    std::function<void()> beforeReads;
};

struct BackupReport {
    bool incremental = false;  // false also when an incremental had to copy everything
    std::string fullReason;    // why an incremental asked for became full
    uint32_t blockSize = 0;
    uint32_t totalBlocks = 0;
    uint32_t blocksChanged = 0;  // written since the previous snapshot (incremental)
    uint32_t blocksCopied = 0;
    SessionKey newKey;         // present at the next backup
    BlockBitmap copied{0};     // the blocks this backup read
    ImageIdentity image;       // of the backup now kept (the image file, or the point)
    std::string snapshotTime;  // UTC, ISO 8601
    double snapshotSeconds = 0, copySeconds = 0, commitSeconds = 0;
};

// The previous key cannot be used: what() says why and that a full backup
// is needed. The image and the key are as they were.
class FullBackupNeeded : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Throws BackupFailed when the driver gave up on the snapshot, CommandError
// when it refused a command, FullBackupNeeded (see above), and
// std::runtime_error when the image cannot be written; the image file is
// then left as it was.
BackupReport runBackup(const BackupRequest &request);

}  // namespace velmora::agent
