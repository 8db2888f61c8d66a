#include "agent.h"

#include <standin/disk.h>
#include <standin/syscalls.h>

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace velmora::torture {

namespace {

constexpr const char *kNode = "/dev/velmora";
constexpr unsigned long kPage = 4096;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct Agent::Episode {
    int fd = -1;
    int device = -1;          // the device this file started a backup on
    bool used = false;        // a start left the file out of idle (started or refused)
    bool imageKnown = false;  // a snapshot was taken: image is its content
    std::vector<unsigned char> image;
    std::vector<bool> guarded;  // blocks a read that returns 0 must give as in image
    bool loaded = false;        // a block map is loaded: a read consumes its blocks
    std::optional<unsigned long> mapFrom, mapTo;  // the freezes a fetched map covers
    std::vector<unsigned char> fetched;           // the last changed-block map fetched
    Mapping maps[2];
};

Agent::Agent(World &world, Checks &checks, uint64_t seed, int index)
    : world_(world),
      checks_(checks),
      rng_(seed * 1000003 + static_cast<uint64_t>(index)),
      index_(index) {}

void Agent::run(const std::atomic<bool> &stop) {
    while (!stop)
        episode(stop);
}

int Agent::command(int fd, unsigned long request, const void *arg, const char *name) {
    busyWith_ = name;
    busySince_ = nowNs();
    int r = sys::ioctl(fd, request, arg);
    if (r < 0)
        r = -errno;
    busySince_ = 0;
    commands_++;
    checks_.expect(statusAllowed(request, r),
                   std::string(name) + " returned a status it never returns: " + std::to_string(r));
    return r;
}

void Agent::episode(const std::atomic<bool> &stop) {
    Episode e;
    e.fd = sys::open(kNode, O_RDWR);
    if (!checks_.expect(e.fd >= 0, "open of the control device: " + std::to_string(errno)))
        return;
    const uint32_t steps = 1 + pick(40);
    for (uint32_t step = 0; step < steps && !stop; step++) {
        if (step == 4 && e.device < 0 && pick(2))
            break;
        const uint32_t roll = step == 0 ? pick(10) : pick(100);
        if (roll < 10)
            start(e);
        else if (roll < 22)
            snapshot(e);
        else if (roll < 28)
            fetchMap(e);
        else if (roll < 36)
            loadMap(e);
        else if (roll < 46)
            map(e);
        else if (roll < 50)
            unmap(e, static_cast<int>(pick(2)));
        else if (roll < 85)
            read(e);
        else
            small(e);
    }
    // The capture is ours only while the backup holds the device.
    if (e.device >= 0)
        standin_capture_release(world_.devices()[e.device].dev);
    // Close at any point, the mappings before or after the file.
    const bool unmapFirst = pick(2);
    if (unmapFirst) {
        unmap(e, 0);
        unmap(e, 1);
    }
    checks_.expect(sys::close(e.fd) == 0, "close of the control device");
    if (!unmapFirst) {
        unmap(e, 0);
        unmap(e, 1);
    }
}

void Agent::start(Episode &e) {
    const auto &devices = world_.devices();
    size_t d = pick(static_cast<uint32_t>(devices.size()));
    const Device &dev = devices[d];
    StartBackup rec{STANDIN_MAJOR(dev.dev), STANDIN_MINOR(dev.dev), dev.blocks, 0};
    const uint32_t caches[] = {0, 4, 64, 1u << 20};
    rec.maxCacheBlocks = caches[pick(4)];
    const uint32_t odd = pick(20);
    if (odd == 0)
        rec.major = 300;  // a device the automap table has no slot for
    else if (odd == 1)
        rec.totalBlocks = 0;
    int r = command(e.fd, VEL_START_BACKUP, &rec, "VEL_START_BACKUP");
    if (odd == 0)
        checks_.expect(r == VEL_ERR_INVALID, "a start on major 300 gave " + std::to_string(r));
    else if (e.used)
        checks_.expect(r == VEL_ERR_NOT_IDLE,
                       "a start on a file that is not idle gave " + std::to_string(r));
    if (r == VEL_OK)
        e.device = static_cast<int>(d);
    // A refusal, or a failure after the geometry, leaves the file out of idle.
    State st{};
    GetState query{&st, sizeof st, 0};
    if (command(e.fd, VEL_GET_STATE, &query, "VEL_GET_STATE") == VEL_OK &&
        st.state != VEL_STATE_IDLE)
        e.used = true;
}

void Agent::snapshot(Episode &e) {
    const auto &devices = world_.devices();
    const size_t d = e.device >= 0 ? static_cast<size_t>(e.device) : pick(3);
    AMSessionKey key{};
    const uint32_t kind = pick(10);
    if (kind < 6) {
        if (auto latest = world_.latestKey(d))
            key = *latest;
    } else if (kind < 8) {
        for (unsigned char &c : key.key)
            c = static_cast<unsigned char>(rng_());
    }
    const std::optional<unsigned long> from = world_.freezesOf(d, key);
    if (e.device >= 0)
        standin_capture_arm(devices[d].dev);
    SnapShot rec{&key, sizeof key, 0};
    int r = command(e.fd, VEL_SNAPSHOT, &rec, "VEL_SNAPSHOT");
    if (r != VEL_OK)
        return;
    if (!checks_.expect(e.device >= 0, "a snapshot on a file with no backup gave 0"))
        return;
    const Device &dev = devices[d];
    unsigned long epoch = 0;
    if (!checks_.expect(standin_capture_taken(dev.dev, &epoch) == 1,
                        "a snapshot gave 0 without freezing the file system"))
        return;
    e.image.resize(static_cast<size_t>(dev.blocks) * dev.blockSize);
    standin_capture_read(dev.dev, 0, e.image.data(), e.image.size());
    standin_capture_release(dev.dev);
    world_.deferCaptureCheck(d, epoch, e.image);
    e.imageKnown = true;
    e.guarded.assign(dev.blocks, true);
    e.loaded = false;
    const unsigned long freezes = standin_fs_freezes(dev.dev);
    AutoMapState st{};
    GetAutoMapState query{&st, sizeof st, 0};
    if (command(e.fd, VEL_GET_AUTOMAP_STATE, &query, "VEL_GET_AUTOMAP_STATE") == VEL_OK &&
        st.state == VEL_AMS_IN_SYNC)
        world_.recordKey(d, st.amsKey, freezes);
    e.mapFrom = from;
    e.mapTo = freezes;
}

void Agent::fetchMap(Episode &e) {
    uint32_t blocks = e.device >= 0 ? world_.devices()[e.device].blocks : 1 + pick(4096);
    if (pick(10) == 0)
        blocks += 1 + pick(8);
    std::vector<unsigned char> map((blocks + 7) / 8 + kPage);
    UserBlockMap ubm{map.data(), blocks, 0};
    GetAutoMap rec{&ubm, sizeof ubm, 0};
    int r = command(e.fd, VEL_GET_AUTOMAP, &rec, "VEL_GET_AUTOMAP");
    if (r != VEL_OK)
        return;
    // The driver hands a map out only for a key of an in-sync session.
    if (!checks_.expect(e.mapFrom.has_value() && e.mapTo.has_value(),
                        "a changed-block map was handed out for a key no snapshot gave"))
        return;
    map.resize((blocks + 7) / 8);
    e.fetched = map;
    world_.deferMapCheck(static_cast<size_t>(e.device), *e.mapFrom, *e.mapTo, std::move(map));
    e.mapFrom.reset();
}

void Agent::loadMap(Episode &e) {
    uint32_t blocks = e.device >= 0 ? world_.devices()[e.device].blocks : 1 + pick(4096);
    if (pick(20) == 0)
        blocks = 1 + pick(blocks);
    std::vector<unsigned char> map((blocks + 7) / 8);
    const uint32_t kind = pick(4);
    for (size_t i = 0; i < map.size(); i++) {
        if (kind < 2)
            map[i] = 0xff;
        else if (kind == 2)
            map[i] = static_cast<unsigned char>(rng_());
        else
            map[i] = i < e.fetched.size() ? e.fetched[i] : 0;
    }
    UserBlockMap ubm{map.data(), blocks, 0};
    LoadBlockMap rec{&ubm, sizeof ubm, 0};
    int r = command(e.fd, VEL_LOAD_BLOCK_MAP, &rec, "VEL_LOAD_BLOCK_MAP");
    if (r != VEL_OK)
        return;
    if (!checks_.expect(e.imageKnown, "a block map was loaded without a snapshot"))
        return;
    e.loaded = true;
    for (uint32_t b = 0; b < e.guarded.size(); b++)
        if (b >= blocks || !(map[b / 8] >> (b % 8) & 1))
            e.guarded[b] = false;
}

void Agent::map(Episode &e) {
    State st{};
    GetState rec{&st, sizeof st, 0};
    if (command(e.fd, VEL_GET_STATE, &rec, "VEL_GET_STATE") != VEL_OK)
        return;
    const unsigned long pages = 1 + pick(static_cast<uint32_t>(st.mmapSize / kPage) + 1);
    busyWith_ = "mmap";
    busySince_ = nowNs();
    errno = 0;
    void *p = sys::mmap(nullptr, pages * kPage, PROT_READ, MAP_PRIVATE, e.fd, 0);
    int err = errno;
    busySince_ = 0;
    commands_++;
    if (p == MAP_FAILED) {
        checks_.expect(err == EINVAL || err == ENOMEM,
                       "mmap of the transfer buffer failed with errno " + std::to_string(err));
        return;
    }
    checks_.expect(reinterpret_cast<unsigned long>(p) >= kPage,
                   "mmap handed a status back as the address");
    Mapping *slot = !e.maps[0].addr ? &e.maps[0] : !e.maps[1].addr ? &e.maps[1] : nullptr;
    if (!checks_.expect(slot != nullptr, "a third mapping of the transfer buffer was made")) {
        sys::munmap(p, pages * kPage);
        return;
    }
    slot->addr = static_cast<char *>(p);
    slot->pages = pages;
}

void Agent::unmap(Episode &e, int which) {
    Mapping &m = e.maps[which];
    if (!m.addr)
        return;
    checks_.expect(sys::munmap(m.addr, m.pages * kPage) == 0, "munmap of the transfer buffer");
    m = Mapping{};
}

void Agent::read(Episode &e) {
    Mapping &m = e.maps[pick(2)];
    const Device *dev = e.device >= 0 ? &world_.devices()[e.device] : nullptr;
    const unsigned bs = dev ? dev->blockSize : 4096;
    const uint32_t blocks = dev ? dev->blocks : 4096;
    const uint32_t room = static_cast<uint32_t>(m.pages * kPage / bs);
    uint32_t n = 1 + pick(room + room / 8 + 1);
    uint32_t first = pick(10) == 0 ? blocks - pick(16) : pick(blocks);
    ReadBlocks rec{first, n, m.addr ? m.addr : reinterpret_cast<char *>(kPage * 3)};
    int r = command(e.fd, VEL_READ_BLOCKS, &rec, "VEL_READ_BLOCKS");
    checks_.expect(r != VEL_ERR_READ_FAILED, "a read failed with no disk error injected");
    if (r != VEL_OK && e.loaded && getenv("TORTURE_DEBUG"))
        fprintf(stderr, "DEBUG agent %d read %u+%u gave %d\n", index_, first, n, r);
    if (r != VEL_OK)
        return;
    if (!checks_.expect(e.imageKnown && m.addr, "a read gave 0 with no snapshot or no mapping"))
        return;
    uint32_t wrong = 0, firstWrong = 0;
    for (uint32_t i = 0; i < n; i++) {
        const uint32_t b = first + i;
        if (b >= e.guarded.size())
            break;
        if (e.guarded[b] &&
            std::memcmp(m.addr + static_cast<size_t>(i) * bs, &e.image[static_cast<size_t>(b) * bs],
                        bs) != 0 &&
            !wrong++)
            firstWrong = b;
        if (e.loaded)
            e.guarded[b] = false;  // a loaded backup's read takes the block out
    }
    if (wrong && getenv("TORTURE_DEBUG")) {
        size_t i = firstWrong - first;
        standin_stamp want{}, got{};
        int pw = standin_stamp_parse(&e.image[static_cast<size_t>(firstWrong) * bs], &want);
        int pg = standin_stamp_parse(m.addr + i * bs, &got);
        State st{};
        GetState q{&st, sizeof st, 0};
        sys::ioctl(e.fd, VEL_GET_STATE, &q);
        fprintf(stderr,
                "DEBUG agent %d read %u+%u block %u loaded %d state %u: want %d gen %llu w%u, got "
                "%d gen %llu w%u\n",
                index_, first, n, firstWrong, (int)e.loaded, st.state, pw,
                (unsigned long long)want.generation, want.writer, pg,
                (unsigned long long)got.generation, got.writer);
    }
    checks_.expect(wrong == 0, std::string(dev ? dev->name : "?") + ": a read gave " +
                                   std::to_string(wrong) +
                                   " blocks that differ from the snapshot, first " +
                                   std::to_string(firstWrong));
}

void Agent::small(Episode &e) {
    const uint32_t roll = pick(100);
    if (roll < 30) {
        State st{};
        GetState rec{&st, sizeof st, 0};
        if (command(e.fd, VEL_GET_STATE, &rec, "VEL_GET_STATE") == VEL_OK && !e.used)
            checks_.expect(st.state == VEL_STATE_IDLE,
                           "a file no start touched is in state " + std::to_string(st.state));
    } else if (roll < 50) {
        AutoMapState st{};
        GetAutoMapState rec{&st, sizeof st, 0};
        command(e.fd, VEL_GET_AUTOMAP_STATE, &rec, "VEL_GET_AUTOMAP_STATE");
    } else if (roll < 70) {
        uint32_t block = 0;
        DirtyBlock rec{&block};
        if (command(e.fd, VEL_GET_DIRTY_BLOCK, &rec, "VEL_GET_DIRTY_BLOCK") == VEL_OK &&
            e.device >= 0)
            checks_.expect(block == VEL_NO_DIRTY_BLOCK || block < world_.devices()[e.device].blocks,
                           "a dirty block beyond the device: " + std::to_string(block));
    } else if (roll < 80) {
        command(e.fd, VEL_SYNC, nullptr, "VEL_SYNC");
    } else if (roll < 85) {
        command(e.fd, VEL_NO_START_AUTOMAP, nullptr, "VEL_NO_START_AUTOMAP");
    } else if (roll < 90) {
        command(e.fd, VEL_NO_LOAD_FROM_AUTOMAP, nullptr, "VEL_NO_LOAD_FROM_AUTOMAP");
    } else {
        unsigned int none = 0;
        int r = command(e.fd, VEL_SHUTDOWN, &none, "VEL_SHUTDOWN");
        if (e.device >= 0)
            checks_.expect(r == VEL_ERR_OTHER_BACKUP,
                           "a shutdown under this file's backup gave " + std::to_string(r));
        if (r == VEL_OK)
            world_.forgetKeys();
    }
}

}  // namespace velmora::torture
