// A whole backup of one device: full, or incremental onto the image of the
// previous backup, with the session key carried from one to the next.
#pragma once

#include "block_bitmap.h"
#include "session_key.h"
#include "system_calls.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velmora::agent {

struct BackupRequest {
    std::string devicePath = "/dev/velmora";
    // The kernel the device is reached through; none: this process's.
    std::shared_ptr<SystemCalls> system;
    unsigned major = 0, minor = 0;
    // The image file: written whole by a full backup, patched by an
    // incremental one; replaced only by a backup that succeeded.
    std::string imagePath;
    // The key kept from the previous backup; none for a full backup.
    std::optional<SessionKey> previousKey;
    uint32_t maxCacheBlocks = 1u << 20;
    // Called right after the snapshot is taken (tests use it to go on
    // writing to the device while the image is read).
    std::function<void()> afterSnapshot;
    // Called once the blocks to copy are loaded, before the first read.
    std::function<void()> beforeReads;
};

struct BackupReport {
    bool incremental = false;  // false also when an incremental had to copy everything
    uint32_t blockSize = 0;
    uint32_t totalBlocks = 0;
    uint32_t blocksCopied = 0;
    SessionKey newKey;      // present at the next backup
    BlockBitmap copied{0};  // the blocks this backup read
};

// Throws BackupFailed when the driver gave up on the snapshot; the image
// file is then left as it was.
BackupReport runBackup(const BackupRequest &request);

}  // namespace velmora::agent
