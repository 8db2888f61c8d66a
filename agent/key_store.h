// The keys of a device's backups, kept in a directory: for each device the
// key of its last backup with what it belongs to (the device, its block
// size, the image and the time), the map of blocks that backup copied, the
// key of a run that took its snapshot but did not finish, and the record of
// the run under way. Every file is replaced durably and whole.
#pragma once

#include "block_bitmap.h"
#include "image_file.h"
#include "session_key.h"

#include <optional>
#include <string>

namespace velmora::agent {

// The backup a key belongs to.
struct KeyRecord {
    std::string device;  // as the user names it: "sda1", "8:1"
    unsigned major = 0, minor = 0;
    uint32_t blockSize = 0, totalBlocks = 0;
    std::string kind;   // "full" or "incremental"
    std::string time;   // of the snapshot, UTC, ISO 8601
    std::string image;  // absolute path
    ImageIdentity imageIdentity;
    SessionKey key;
};

// A run that took its snapshot and then stopped: the key the driver drew,
// the blocks it was to copy, and the image they were to be copied onto. The
// next run presents this key and copies these blocks too.
struct PendingKey {
    SessionKey key;
    ImageIdentity base;
    BlockBitmap blocks{0};
};

// A run that did not end well, as the next run finds it.
struct EarlierRun {
    bool killed = false;  // true: it stopped without a word; false: it failed
    std::string started, kind, image, reason;
    long pid = 0;
};

class KeyStore {
  public:
    // The records of one device (a name fit for a file: "sda1", "8-1") in
    // dir, which is made (mode 0700) when missing. Throws std::runtime_error
    // when it cannot be.
    KeyStore(const std::string &dir, const std::string &device);
    ~KeyStore();
    KeyStore(const KeyStore &) = delete;
    KeyStore &operator=(const KeyStore &) = delete;

    // The default directory: $VELMORA_KEY_DIR, else /var/lib/velmora/keys for
    // root, else $XDG_STATE_HOME/velmora/keys (~/.local/state/velmora/keys).
    static std::string defaultDirectory();

    // The last backup's key, or none. Throws std::runtime_error when the
    // record is there but unreadable.
    std::optional<KeyRecord> last() const;
    // The blocks the last backup copied; none without a backup.
    std::optional<BlockBitmap> lastBlocks() const;
    std::optional<PendingKey> pending() const;

    // Starts a run: takes the device's lock (throws std::runtime_error when
    // another agent holds it) and returns what an earlier run left undone.
    std::optional<EarlierRun> beginRun(const std::string &kind, const std::string &image);
    void savePending(const PendingKey &pending);
    // The run succeeded: its key replaces the last one, the pending key and
    // the run record go.
    void saveBackup(const KeyRecord &record, const BlockBitmap &blocks);
    // The run failed: the record says why for the next run.
    void failRun(const std::string &reason);

    std::string keyPath() const { return base_ + ".key"; }
    std::string blocksPath() const { return base_ + ".blocks"; }

  private:
    std::string pendingPath() const { return base_ + ".pending"; }
    std::string runPath() const { return base_ + ".run"; }
    std::string base_;
    int lockFd_ = -1;
    std::string runRecord_;
};

// Now, as the records write it.
std::string utcNow();

}  // namespace velmora::agent
