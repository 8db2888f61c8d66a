#include "backup_session.h"

#include "transfer_buffer.h"

namespace velmora::agent {

void BackupSession::check(const char *command, int status) const {
    if (status != 0)
        throw CommandError(command, status);
}

BlockSize BackupSession::blockSize(unsigned major, unsigned minor) const {
    BlockSize bs{};
    GetBlockSize rec{major, minor, &bs, sizeof(bs), 0};
    check("VEL_GET_BLOCK_SIZE", dev_.command(VEL_GET_BLOCK_SIZE, &rec));
    return bs;
}

void BackupSession::start(unsigned major, unsigned minor, uint32_t totalBlocks,
                          uint32_t maxCacheBlocks) const {
    StartBackup rec{major, minor, totalBlocks, maxCacheBlocks};
    check("VEL_START_BACKUP", dev_.command(VEL_START_BACKUP, &rec));
}

void BackupSession::noStartAutoMap() const {
    check("VEL_NO_START_AUTOMAP", dev_.command(VEL_NO_START_AUTOMAP, nullptr));
}

void BackupSession::noLoadFromAutoMap() const {
    check("VEL_NO_LOAD_FROM_AUTOMAP", dev_.command(VEL_NO_LOAD_FROM_AUTOMAP, nullptr));
}

void BackupSession::snapshot(const SessionKey &key) const {
    AMSessionKey raw = key.raw;
    SnapShot rec{&raw, sizeof(raw), 0};
    check("VEL_SNAPSHOT", dev_.command(VEL_SNAPSHOT, &rec));
}

AutoMapState BackupSession::automapState() const {
    AutoMapState st{};
    GetAutoMapState rec{&st, sizeof(st), 0};
    check("VEL_GET_AUTOMAP_STATE", dev_.command(VEL_GET_AUTOMAP_STATE, &rec));
    return st;
}

BlockBitmap BackupSession::automap(uint32_t blocks) const {
    BlockBitmap map(blocks);
    UserBlockMap ubm{map.data(), blocks, 0};
    GetAutoMap rec{&ubm, sizeof(ubm), 0};
    check("VEL_GET_AUTOMAP", dev_.command(VEL_GET_AUTOMAP, &rec));
    return map;
}

void BackupSession::loadBlockMap(const BlockBitmap &map) const {
    UserBlockMap ubm{const_cast<unsigned char *>(map.bytes().data()), map.blocks(), 0};
    LoadBlockMap rec{&ubm, sizeof(ubm), 0};
    check("VEL_LOAD_BLOCK_MAP", dev_.command(VEL_LOAD_BLOCK_MAP, &rec));
}

void BackupSession::readBlocks(uint32_t start, uint32_t n, const TransferBuffer &buffer) const {
    ReadBlocks rec{start, n, const_cast<char *>(buffer.data())};
    check("VEL_READ_BLOCKS", dev_.command(VEL_READ_BLOCKS, &rec));
}

uint32_t BackupSession::dirtyBlock() const {
    uint32_t block = 0;
    DirtyBlock rec{&block};
    check("VEL_GET_DIRTY_BLOCK", dev_.command(VEL_GET_DIRTY_BLOCK, &rec));
    return block;
}

void BackupSession::sync() const {
    check("VEL_SYNC", dev_.command(VEL_SYNC, nullptr));
}

}  // namespace velmora::agent
