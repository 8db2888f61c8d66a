/*
 * velmora: the commands and records shared by the driver and its agents.
 *
 * The records cross the boundary between a 64-bit process and the kernel on
 * x86-64, so every offset and size below is part of the interface and is
 * checked at compile time. Usable from C and C++.
 */
#ifndef VELMORA_H
#define VELMORA_H

#ifdef __cplusplus
#define VEL_ASSERT(cond, msg) static_assert(cond, msg)
#define VEL_OFFSETOF(type, member) __builtin_offsetof(type, member)
#else
#define VEL_ASSERT(cond, msg) _Static_assert(cond, msg)
#define VEL_OFFSETOF(type, member) __builtin_offsetof(type, member)
#endif

/* The control device: a character device with this major; user space makes
 * the node itself. */
#define VEL_DEVICE_MAJOR 120
#define VEL_DEVICE_NAME "velmora"

/* Driver version reported by the version commands. */
#define VEL_VERSION_MAJOR 3
#define VEL_VERSION_MINOR 1

/* Command values: the kernel's ioctl encoding, type character '*'. */
#define VEL_IOC_TYPE 0x2A
#define VEL_IOC_WRITE 1U
#define VEL_IOC(dir, nr, size) \
    (((unsigned int)(dir) << 30) | ((unsigned int)(size) << 16) | (VEL_IOC_TYPE << 8) | (nr))

typedef struct AMSessionKey {
    unsigned char key[56];
} AMSessionKey;

typedef struct BlockSize {
    unsigned int major;
    unsigned int minor;
    int blockSize;
    unsigned int partitionSizeKB;
} BlockSize;

typedef struct GetBlockSize {
    unsigned int major;
    unsigned int minor;
    BlockSize *bs;
    unsigned int len;
    unsigned int pad;
} GetBlockSize;

typedef struct StartBackup {
    unsigned int major;
    unsigned int minor;
    unsigned int totalBlocks;
    unsigned int maxCacheBlocks;
} StartBackup;

typedef struct SnapShot {
    AMSessionKey *amsKey;
    unsigned int len;
    unsigned int pad;
} SnapShot;

typedef struct State {
    unsigned int major;
    unsigned int minor;
    unsigned int state;
    int blockSize;
    int mmapSize;
} State;

typedef struct GetState {
    State *s;
    unsigned int len;
    unsigned int pad;
} GetState;

typedef struct AutoMapState {
    unsigned int major;
    unsigned int minor;
    unsigned int state;
    unsigned int mapLen;
    unsigned int mapSize;
    AMSessionKey amsKey;
} AutoMapState;

typedef struct GetAutoMapState {
    AutoMapState *ams;
    unsigned int len;
    unsigned int pad;
} GetAutoMapState;

typedef struct UserBlockMap {
    unsigned char *map;
    unsigned int mapLen;
    unsigned int pad;
} UserBlockMap;

typedef struct LoadBlockMap {
    UserBlockMap *bm;
    unsigned int len;
    unsigned int pad;
} LoadBlockMap;

typedef struct GetAutoMap {
    UserBlockMap *bm;
    unsigned int len;
    unsigned int pad;
} GetAutoMap;

typedef struct DirtyBlock {
    unsigned int *blockNum;
} DirtyBlock;

typedef struct ReadBlocks {
    unsigned int startBlockNum;
    unsigned int numBlocks;
    char *data;
} ReadBlocks;

#define VEL_GET_BLOCK_SIZE VEL_IOC(VEL_IOC_WRITE, 0, sizeof(GetBlockSize))
#define VEL_START_BACKUP VEL_IOC(VEL_IOC_WRITE, 1, sizeof(StartBackup))
#define VEL_SNAPSHOT VEL_IOC(VEL_IOC_WRITE, 2, sizeof(SnapShot))
#define VEL_GET_STATE VEL_IOC(VEL_IOC_WRITE, 3, sizeof(GetState))
#define VEL_GET_AUTOMAP_STATE VEL_IOC(VEL_IOC_WRITE, 4, sizeof(GetAutoMapState))
#define VEL_NO_LOAD_FROM_AUTOMAP VEL_IOC(0, 5, 0)
#define VEL_NO_START_AUTOMAP VEL_IOC(0, 6, 0)
#define VEL_LOAD_BLOCK_MAP VEL_IOC(VEL_IOC_WRITE, 7, sizeof(LoadBlockMap))
#define VEL_GET_AUTOMAP VEL_IOC(VEL_IOC_WRITE, 8, sizeof(GetAutoMap))
#define VEL_GET_DIRTY_BLOCK VEL_IOC(VEL_IOC_WRITE, 9, sizeof(DirtyBlock))
#define VEL_READ_BLOCKS VEL_IOC(VEL_IOC_WRITE, 10, sizeof(ReadBlocks))
#define VEL_GET_VERSION_MAJOR VEL_IOC(VEL_IOC_WRITE, 12, 4)
#define VEL_GET_VERSION_MINOR VEL_IOC(VEL_IOC_WRITE, 13, 4)
#define VEL_SYNC VEL_IOC(VEL_IOC_WRITE, 14, 4)
#define VEL_SHUTDOWN VEL_IOC(VEL_IOC_WRITE, 15, 4)
#define VEL_COMMAND_16 VEL_IOC(VEL_IOC_WRITE, 16, 4)

/* Status codes of the commands. The same code can mean different things in
 * different commands (a name for each meaning); the kernel log says which. */
#define VEL_OK 0
#define VEL_ERR_NOT_READY 1
#define VEL_ERR_NO_REAL_FUNCTION 1 /* the start: the device's queue gives no function */
#define VEL_ERR_INVALID 2
#define VEL_ERR_BAD_BLOCK_SIZE 3
#define VEL_ERR_WRONG_STATE 3 /* loading a block map: the backup left state 6 */
#define VEL_ERR_COMMAND_16 3
#define VEL_ERR_UNKNOWN_COMMAND 4
#define VEL_ERR_NO_MEMORY 5
#define VEL_ERR_COPY_FROM_USER 6
#define VEL_ERR_COPY_TO_USER 7
#define VEL_ERR_NO_FILE_SYSTEM 8
#define VEL_ERR_OTHER_BACKUP 9
#define VEL_ERR_NOT_IDLE 11
#define VEL_ERR_READ_FAILED 12

/* VEL_GET_DIRTY_BLOCK's answer when the cache holds no block. */
#define VEL_NO_DIRTY_BLOCK 0xFFFFFFFFu

/* The state of a file's backup, as State.state reports it. 3 and 11 do not
 * occur. The error states (8 and up) are final until the file is closed. */
enum VelBackupState {
    VEL_STATE_IDLE = 0,         /* no backup started on this file */
    VEL_STATE_STARTING = 1,     /* start in progress, or a start that failed after the geometry */
    VEL_STATE_STARTED = 2,      /* started: nothing hooked, no snapshot yet */
    VEL_STATE_SNAPSHOT = 4,     /* snapshot taken: every unsettled block is copied on write */
    VEL_STATE_LOADING_MAP = 5,  /* the map of blocks to copy is being loaded */
    VEL_STATE_MAP_LOADED = 6,   /* only blocks of the loaded map are copied on write */
    VEL_STATE_CLOSING = 7,      /* the file is being released */
    VEL_STATE_READ_ERROR = 8,   /* the old contents of a block could not be read */
    VEL_STATE_MAP_FAILED = 9,   /* the block map could not be loaded or the cache cleaned */
    VEL_STATE_CACHE_FULL = 10,  /* the copy-on-write cache is full or out of memory */
    VEL_STATE_REFUSED = 12,     /* the start was refused: another backup was open */
    VEL_STATE_REQUEST_LOST = 13 /* a write could not be held for its copy */
};

/* The state of a device's change tracking, as AutoMapState.state reports it. */
enum VelAutoMapState {
    VEL_AMS_NOT_IN_SYNC = 0, /* writes are not recorded: the map is no change record */
    VEL_AMS_IN_SYNC = 1      /* every write is recorded */
};

/* The layout is the interface. */
VEL_ASSERT(sizeof(AMSessionKey) == 56, "AMSessionKey");
VEL_ASSERT(sizeof(BlockSize) == 16, "BlockSize");
VEL_ASSERT(VEL_OFFSETOF(BlockSize, blockSize) == 8, "BlockSize.blockSize");
VEL_ASSERT(VEL_OFFSETOF(BlockSize, partitionSizeKB) == 12, "BlockSize.partitionSizeKB");
VEL_ASSERT(sizeof(GetBlockSize) == 24, "GetBlockSize");
VEL_ASSERT(VEL_OFFSETOF(GetBlockSize, bs) == 8, "GetBlockSize.bs");
VEL_ASSERT(VEL_OFFSETOF(GetBlockSize, len) == 16, "GetBlockSize.len");
VEL_ASSERT(sizeof(StartBackup) == 16, "StartBackup");
VEL_ASSERT(VEL_OFFSETOF(StartBackup, totalBlocks) == 8, "StartBackup.totalBlocks");
VEL_ASSERT(VEL_OFFSETOF(StartBackup, maxCacheBlocks) == 12, "StartBackup.maxCacheBlocks");
VEL_ASSERT(sizeof(SnapShot) == 16, "SnapShot");
VEL_ASSERT(VEL_OFFSETOF(SnapShot, len) == 8, "SnapShot.len");
VEL_ASSERT(sizeof(State) == 20, "State");
VEL_ASSERT(VEL_OFFSETOF(State, state) == 8, "State.state");
VEL_ASSERT(VEL_OFFSETOF(State, blockSize) == 12, "State.blockSize");
VEL_ASSERT(VEL_OFFSETOF(State, mmapSize) == 16, "State.mmapSize");
VEL_ASSERT(sizeof(GetState) == 16, "GetState");
VEL_ASSERT(VEL_OFFSETOF(GetState, len) == 8, "GetState.len");
VEL_ASSERT(sizeof(AutoMapState) == 76, "AutoMapState");
VEL_ASSERT(VEL_OFFSETOF(AutoMapState, mapLen) == 12, "AutoMapState.mapLen");
VEL_ASSERT(VEL_OFFSETOF(AutoMapState, mapSize) == 16, "AutoMapState.mapSize");
VEL_ASSERT(VEL_OFFSETOF(AutoMapState, amsKey) == 20, "AutoMapState.amsKey");
VEL_ASSERT(sizeof(GetAutoMapState) == 16, "GetAutoMapState");
VEL_ASSERT(sizeof(UserBlockMap) == 16, "UserBlockMap");
VEL_ASSERT(VEL_OFFSETOF(UserBlockMap, mapLen) == 8, "UserBlockMap.mapLen");
VEL_ASSERT(sizeof(LoadBlockMap) == 16, "LoadBlockMap");
VEL_ASSERT(sizeof(GetAutoMap) == 16, "GetAutoMap");
VEL_ASSERT(sizeof(DirtyBlock) == 8, "DirtyBlock");
VEL_ASSERT(sizeof(ReadBlocks) == 16, "ReadBlocks");
VEL_ASSERT(VEL_OFFSETOF(ReadBlocks, numBlocks) == 4, "ReadBlocks.numBlocks");
VEL_ASSERT(VEL_OFFSETOF(ReadBlocks, data) == 8, "ReadBlocks.data");

VEL_ASSERT(VEL_GET_BLOCK_SIZE == 0x40182A00u, "VEL_GET_BLOCK_SIZE");
VEL_ASSERT(VEL_START_BACKUP == 0x40102A01u, "VEL_START_BACKUP");
VEL_ASSERT(VEL_SNAPSHOT == 0x40102A02u, "VEL_SNAPSHOT");
VEL_ASSERT(VEL_GET_STATE == 0x40102A03u, "VEL_GET_STATE");
VEL_ASSERT(VEL_GET_AUTOMAP_STATE == 0x40102A04u, "VEL_GET_AUTOMAP_STATE");
VEL_ASSERT(VEL_NO_LOAD_FROM_AUTOMAP == 0x00002A05u, "VEL_NO_LOAD_FROM_AUTOMAP");
VEL_ASSERT(VEL_NO_START_AUTOMAP == 0x00002A06u, "VEL_NO_START_AUTOMAP");
VEL_ASSERT(VEL_LOAD_BLOCK_MAP == 0x40102A07u, "VEL_LOAD_BLOCK_MAP");
VEL_ASSERT(VEL_GET_AUTOMAP == 0x40102A08u, "VEL_GET_AUTOMAP");
VEL_ASSERT(VEL_GET_DIRTY_BLOCK == 0x40082A09u, "VEL_GET_DIRTY_BLOCK");
VEL_ASSERT(VEL_READ_BLOCKS == 0x40102A0Au, "VEL_READ_BLOCKS");
VEL_ASSERT(VEL_GET_VERSION_MAJOR == 0x40042A0Cu, "VEL_GET_VERSION_MAJOR");
VEL_ASSERT(VEL_GET_VERSION_MINOR == 0x40042A0Du, "VEL_GET_VERSION_MINOR");
VEL_ASSERT(VEL_SYNC == 0x40042A0Eu, "VEL_SYNC");
VEL_ASSERT(VEL_SHUTDOWN == 0x40042A0Fu, "VEL_SHUTDOWN");
VEL_ASSERT(VEL_COMMAND_16 == 0x40042A10u, "VEL_COMMAND_16");

#endif
