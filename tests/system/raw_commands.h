// The driver's commands with their statuses as they come, for tests that
// look at refusals (the agent library turns them into exceptions).
#pragma once

#include <control_device.h>
#include <velmora.h>

#include <cstdint>

namespace velmora::test {

inline int startBackup(const agent::ControlDevice &dev, unsigned major, unsigned minor,
                       uint32_t totalBlocks, uint32_t maxCacheBlocks = 1u << 20) {
    StartBackup rec{major, minor, totalBlocks, maxCacheBlocks};
    return dev.command(VEL_START_BACKUP, &rec);
}

inline int snapshot(const agent::ControlDevice &dev, const AMSessionKey &key,
                    unsigned len = sizeof(AMSessionKey)) {
    SnapShot rec{const_cast<AMSessionKey *>(&key), len, 0};
    return dev.command(VEL_SNAPSHOT, &rec);
}

inline int automapState(const agent::ControlDevice &dev, void *out, unsigned len) {
    GetAutoMapState rec{static_cast<AutoMapState *>(out), len, 0};
    return dev.command(VEL_GET_AUTOMAP_STATE, &rec);
}

inline AutoMapState automapState(const agent::ControlDevice &dev) {
    AutoMapState st{};
    automapState(dev, &st, sizeof st);
    return st;
}

inline int getAutomap(const agent::ControlDevice &dev, void *map, uint32_t mapLen) {
    UserBlockMap ubm{static_cast<unsigned char *>(map), mapLen, 0};
    GetAutoMap rec{&ubm, sizeof ubm, 0};
    return dev.command(VEL_GET_AUTOMAP, &rec);
}

inline int loadBlockMap(const agent::ControlDevice &dev, const void *map, uint32_t mapLen) {
    UserBlockMap ubm{static_cast<unsigned char *>(const_cast<void *>(map)), mapLen, 0};
    LoadBlockMap rec{&ubm, sizeof ubm, 0};
    return dev.command(VEL_LOAD_BLOCK_MAP, &rec);
}

inline int readBlocks(const agent::ControlDevice &dev, uint32_t start, uint32_t n,
                      const void *data) {
    ReadBlocks rec{start, n, static_cast<char *>(const_cast<void *>(data))};
    return dev.command(VEL_READ_BLOCKS, &rec);
}

inline int dirtyBlock(const agent::ControlDevice &dev, uint32_t *block) {
    DirtyBlock rec{block};
    return dev.command(VEL_GET_DIRTY_BLOCK, &rec);
}

}  // namespace velmora::test
