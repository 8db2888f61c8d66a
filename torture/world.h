// The machine room of a torture run: three devices with writers stamping
// their sectors (two partitions of one disk and a second disk), the keys the
// driver handed out with the freeze that went with each, and the checks that
// need the writers' complete logs, made when a phase ends.
#pragma once

#include "checks.h"

#include <velmora.h>
#include <standin/disk.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace velmora::torture {

struct Device {
    const char *name;
    unsigned dev;  // device number: major << 20 | minor
    unsigned blockSize;
    uint32_t blocks;  // file-system blocks of the device
    int writers;
    int mode;        // STANDIN_FS_DIRECT or STANDIN_FS_BUFFERED
    unsigned depth;  // direct writes each writer keeps in flight
};

class World {
  public:
    World(Checks &checks, uint64_t seed);
    ~World();
    World(const World &) = delete;
    World &operator=(const World &) = delete;

    const std::vector<Device> &devices() const { return devices_; }

    // A phase: writers run from its start to its end; at the end the devices
    // must hold every logged write, and the maps fetched meanwhile every
    // block written between their two snapshots.
    void startPhase(unsigned phase);
    void endPhase();

    // A key handed out by a snapshot that completed the device's freeze
    // number `freezes`, and what a key presented later stands for.
    void recordKey(size_t device, const AMSessionKey &key, unsigned long freezes);
    std::optional<AMSessionKey> latestKey(size_t device);
    std::optional<unsigned long> freezesOf(size_t device, const AMSessionKey &key);
    // Sessions are gone (shutdown, unload): no key stands for anything.
    void forgetKeys();
    // A changed-block map the driver handed out for freezes [from, to).
    void deferMapCheck(size_t device, unsigned long from, unsigned long to,
                       std::vector<unsigned char> map);
    // The device's content at freeze `epoch`: at the phase's end, each block
    // must hold the last write logged before that freeze, so a write that
    // lands out of order is seen even if a later one covers it up.
    void deferCaptureCheck(size_t device, unsigned long epoch,
                           const std::vector<unsigned char> &image);

  private:
    // What a captured block holds: the write stamped whole in it, if any,
    // and whether it is still what the phase began with.
    struct BlockSeen {
        uint64_t generation = 0;
        uint32_t writer = 0;
        bool stamped = false;
        bool unchanged = false;
    };
    struct CaptureCheck {
        size_t device;
        unsigned long epoch;
        std::vector<BlockSeen> blocks;
    };
    BlockSeen seen(size_t device, uint32_t block, const unsigned char *at) const;
    void checkStamps(size_t device, int workload);
    void checkCapture(const CaptureCheck &c, const std::vector<standin_write_record> &log);

    Checks &checks_;
    uint64_t seed_;
    std::vector<Device> devices_;
    std::vector<int> workloads_;
    std::vector<std::vector<unsigned char>> base_;

    struct KeyRecord {
        size_t device;
        AMSessionKey key;
        unsigned long freezes;
    };
    struct MapCheck {
        size_t device;
        unsigned long from, to;
        std::vector<unsigned char> map;
    };
    std::mutex mutex_;
    std::vector<KeyRecord> keys_;
    std::vector<MapCheck> maps_;
    std::vector<CaptureCheck> captures_;
};

}  // namespace velmora::torture
