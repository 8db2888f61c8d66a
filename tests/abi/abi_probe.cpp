// velmora-abi-probe: an agent built against include/velmora.h alone asks a
// fixed series of questions and prints what it sees, one line each. Every
// kernel build must print the same lines: the same command values, record
// layouts and answers.
#include <standin/disk.h>
#include <standin/machine.h>
#include <standin/syscalls.h>
#include <velmora.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned kMajor = 1, kMinor = 1;
constexpr unsigned kDisk = STANDIN_MKDEV(kMajor, 0), kPart = STANDIN_MKDEV(kMajor, kMinor);
constexpr unsigned kBlockSize = 1024, kBlocks = 2048;

int fd = -1;

int command(unsigned long request, const void *arg) {
    int r = sys::ioctl(fd, request, arg);
    return r < 0 ? -errno : r;
}

void layout() {
#define SIZE(rec) std::printf("sizeof %s %zu\n", #rec, sizeof(rec))
#define OFF(rec, m) std::printf("offsetof %s.%s %zu\n", #rec, #m, offsetof(rec, m))
    SIZE(BlockSize), SIZE(GetBlockSize), SIZE(StartBackup), SIZE(AMSessionKey), SIZE(SnapShot);
    SIZE(State), SIZE(GetState), SIZE(AutoMapState), SIZE(GetAutoMapState), SIZE(UserBlockMap);
    SIZE(LoadBlockMap), SIZE(GetAutoMap), SIZE(DirtyBlock), SIZE(ReadBlocks);
    OFF(GetBlockSize, bs), OFF(GetBlockSize, len), OFF(AutoMapState, amsKey);
    OFF(ReadBlocks, data), OFF(State, mmapSize), OFF(UserBlockMap, mapLen);
    const unsigned long commands[] = {VEL_GET_BLOCK_SIZE,    VEL_START_BACKUP,
                                      VEL_SNAPSHOT,          VEL_GET_STATE,
                                      VEL_GET_AUTOMAP_STATE, VEL_NO_LOAD_FROM_AUTOMAP,
                                      VEL_NO_START_AUTOMAP,  VEL_LOAD_BLOCK_MAP,
                                      VEL_GET_AUTOMAP,       VEL_GET_DIRTY_BLOCK,
                                      VEL_READ_BLOCKS,       VEL_GET_VERSION_MAJOR,
                                      VEL_GET_VERSION_MINOR, VEL_SYNC,
                                      VEL_SHUTDOWN,          VEL_COMMAND_16};
    for (unsigned long c : commands)
        std::printf("command 0x%08lx\n", c);
}

void answers() {
    // Each command runs before its results are printed.
    unsigned v = 0;
    int r = command(VEL_GET_VERSION_MAJOR, &v);
    std::printf("version major %d %u\n", r, v);
    r = command(VEL_GET_VERSION_MINOR, &v);
    std::printf("version minor %d %u\n", r, v);
    std::printf("command 16 %d\n", command(VEL_COMMAND_16, nullptr));
    std::printf("unknown %d\n", command(VEL_IOC(VEL_IOC_WRITE, 11, 4), &v));

    BlockSize bs{};
    GetBlockSize gbs{kMajor, kMinor, &bs, sizeof(bs), 0};
    r = command(VEL_GET_BLOCK_SIZE, &gbs);
    std::printf("block size %d %d %u\n", r, bs.blockSize, bs.partitionSizeKB);
    StartBackup sb{kMajor, kMinor, kBlocks, 100};
    std::printf("start %d\n", command(VEL_START_BACKUP, &sb));
    AMSessionKey key{};
    SnapShot snap{&key, sizeof(key), 0};
    std::printf("snapshot %d\n", command(VEL_SNAPSHOT, &snap));
    AutoMapState ams{};
    GetAutoMapState gams{&ams, sizeof(ams), 0};
    r = command(VEL_GET_AUTOMAP_STATE, &gams);
    std::printf("automap state %d %u %u %u %u:%u\n", r, ams.state, ams.mapLen, ams.mapSize,
                ams.major, ams.minor);
    std::vector<unsigned char> bits(kBlocks / 8, 0xFF);
    UserBlockMap ubm{bits.data(), kBlocks, 0};
    GetAutoMap gam{&ubm, sizeof(ubm), 0};
    std::printf("automap %d\n", command(VEL_GET_AUTOMAP, &gam));
    LoadBlockMap lbm{&ubm, sizeof(ubm), 0};
    std::printf("load map %d\n", command(VEL_LOAD_BLOCK_MAP, &lbm));
    State st{};
    GetState gs{&st, sizeof(st), 0};
    r = command(VEL_GET_STATE, &gs);
    std::printf("state %d %u %u:%u %d %d\n", r, st.state, st.major, st.minor, st.blockSize,
                st.mmapSize);

    void *buf = sys::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
    ReadBlocks rb{10, 4, static_cast<char *>(buf)};
    r = command(VEL_READ_BLOCKS, &rb);
    unsigned long sum = 0;
    for (int i = 0; i < 4096; ++i)
        sum = sum * 31 + static_cast<const unsigned char *>(buf)[i];
    std::printf("read blocks %d %lx\n", r, sum);
    unsigned dirty = 0;
    DirtyBlock db{&dirty};
    r = command(VEL_GET_DIRTY_BLOCK, &db);
    std::printf("dirty block %d %x\n", r, dirty);
    sys::munmap(buf, 4096);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: velmora-abi-probe MODULE.ko > ANSWERS\n");
        return 2;
    }
    standin_boot();
    if (standin_ramdisk_create("ram0", kMajor, 0, 4, 8192) ||
        standin_disk_set_partition(kDisk, 1, 64, 4096) ||
        standin_mount(kPart, "testfs", kBlockSize) || standin_insmod(argv[1])) {
        std::fprintf(stderr, "velmora-abi-probe: cannot set up the machine\n");
        standin_klog_dump();
        return 1;
    }
    std::vector<unsigned char> pattern(4096);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<unsigned char>(i * 7 + 3);
    standin_dev_write_raw(kPart, 10 * kBlockSize, pattern.data(), pattern.size());

    sys::mknod("/dev/velmora", S_IFCHR | 0600, VEL_DEVICE_MAJOR << 20);
    fd = sys::open("/dev/velmora", O_RDWR);
    layout();
    answers();
    sys::close(fd);
    int r = standin_rmmod("velmora");
    std::printf("unload %d\n", r);
    return r == 0 ? 0 : 1;
}
