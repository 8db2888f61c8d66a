// One backup session on the control device: the driver's commands, typed,
// each throwing CommandError with its status when the driver refuses it.
#pragma once

#include "block_bitmap.h"
#include "control_device.h"
#include "session_key.h"

#include <cstdint>
#include <memory>

namespace velmora::agent {

class TransferBuffer;

class BackupSession {
  public:
    explicit BackupSession(const std::string &devicePath = "/dev/velmora",
                           std::shared_ptr<SystemCalls> system = inProcessSystemCalls())
        : dev_(devicePath, std::move(system)) {}

    const ControlDevice &device() const { return dev_; }

    BlockSize blockSize(unsigned major, unsigned minor) const;
    void start(unsigned major, unsigned minor, uint32_t totalBlocks, uint32_t maxCacheBlocks) const;
    void noStartAutoMap() const;
    void noLoadFromAutoMap() const;
    // Takes the point-in-time snapshot; the key is the one kept from the
    // previous backup of the device (SessionKey::none() for a first one).
    void snapshot(const SessionKey &key) const;
    State state() const { return dev_.state(); }
    AutoMapState automapState() const;
    // The blocks written since the previous snapshot; the driver hands them
    // out once. Throws CommandError(2) when the snapshot loaded none.
    BlockBitmap automap(uint32_t blocks) const;
    // The blocks this backup copies; from now on only they are protected.
    void loadBlockMap(const BlockBitmap &map) const;
    // Fills the first n blocks of the buffer with blocks start .. start+n-1.
    void readBlocks(uint32_t start, uint32_t n, const TransferBuffer &buffer) const;
    // A block whose saved copy is still in the driver's cache, or 0xFFFFFFFF.
    uint32_t dirtyBlock() const;
    void sync() const;

  private:
    void check(const char *command, int status) const;
    ControlDevice dev_;
};

}  // namespace velmora::agent
