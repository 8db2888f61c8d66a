#include "world.h"

#include <standin/disk.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace velmora::torture {

namespace {

constexpr unsigned kMajorA = 250;                             // two partitions
constexpr unsigned kMajorB = 251;                             // a file system on the whole disk
constexpr unsigned long long kPartA1 = 2048, kLenA1 = 16384;  // 8 MiB
constexpr unsigned long long kPartA2 = kPartA1 + kLenA1, kLenA2 = 8192;
constexpr unsigned long long kLenB = 8192;
constexpr uint64_t kFirstBlock = 8;  // writers leave the first blocks alone

void must(int ret, const std::string &what) {
    if (ret < 0)
        throw std::runtime_error(what + " failed: " + std::to_string(ret));
}

bool sameKey(const AMSessionKey &a, const AMSessionKey &b) {
    return std::memcmp(a.key, b.key, sizeof a.key) == 0;
}

}  // namespace

World::World(Checks &checks, uint64_t seed) : checks_(checks), seed_(seed) {
    devices_ = {
        {"ta1", STANDIN_MKDEV(kMajorA, 1), 4096, 0, 3, STANDIN_FS_DIRECT, 1},
        {"ta2", STANDIN_MKDEV(kMajorA, 2), 1024, 0, 2, STANDIN_FS_BUFFERED, 1},
        // Overlapping writes in flight: the order of a block's writes is checked.
        {"tb", STANDIN_MKDEV(kMajorB, 0), 2048, 0, 2, STANDIN_FS_DIRECT, 8},
    };
    must(standin_ramdisk_create("ta", kMajorA, 0, 4, kPartA2 + kLenA2), "disk ta");
    must(standin_disk_set_partition(STANDIN_MKDEV(kMajorA, 0), 1, kPartA1, kLenA1), "ta1");
    must(standin_disk_set_partition(STANDIN_MKDEV(kMajorA, 0), 2, kPartA2, kLenA2), "ta2");
    must(standin_ramdisk_create("tb", kMajorB, 0, 1, kLenB), "disk tb");
    for (Device &d : devices_) {
        must(standin_mount(d.dev, "testfs", d.blockSize), std::string("mount ") + d.name);
        d.blocks = static_cast<uint32_t>(standin_dev_sectors(d.dev) * 512 / d.blockSize);
    }
    workloads_.assign(devices_.size(), -1);
    base_.resize(devices_.size());
}

World::~World() {
    for (size_t i = 0; i < devices_.size(); i++) {
        if (workloads_[i] >= 0) {
            standin_workload_stop(workloads_[i]);
            standin_workload_free(workloads_[i]);
        }
        standin_umount(devices_[i].dev);
    }
    standin_disk_remove(STANDIN_MKDEV(kMajorA, 0));
    standin_disk_remove(STANDIN_MKDEV(kMajorB, 0));
}

void World::startPhase(unsigned phase) {
    for (size_t i = 0; i < devices_.size(); i++) {
        const Device &d = devices_[i];
        base_[i].resize(static_cast<size_t>(d.blocks) * d.blockSize);
        must(standin_dev_read_raw(d.dev, 0, base_[i].data(), base_[i].size()), "read base");
        standin_workload_config cfg{};
        cfg.dev = d.dev;
        cfg.writers = d.writers;
        cfg.first_block = kFirstBlock;
        cfg.nr_blocks = std::min<uint64_t>(d.blocks - kFirstBlock, 512);
        cfg.mode = d.mode;
        cfg.sync_every = d.mode == STANDIN_FS_BUFFERED ? 5 : 0;
        cfg.pause_ns = 50000;
        cfg.depth = d.depth;
        cfg.gap_ns = 200000;
        cfg.seed = static_cast<unsigned>(seed_ * 31 + phase * 7 + i);
        workloads_[i] = standin_workload_start(&cfg);
        must(workloads_[i], "workload");
    }
}

void World::endPhase() {
    for (size_t i = 0; i < devices_.size(); i++) {
        long failedWrites = standin_workload_stop(workloads_[i]);
        checks_.expect(failedWrites == 0, std::string(devices_[i].name) + ": " +
                                              std::to_string(failedWrites) + " writes failed");
        standin_fs_sync(devices_[i].dev);
    }
    std::vector<MapCheck> maps;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        maps.swap(maps_);
    }
    for (const MapCheck &m : maps) {
        std::vector<standin_write_record> log(standin_workload_log_count(workloads_[m.device]));
        standin_workload_log_read(workloads_[m.device], 0, log.data(), log.size());
        uint32_t missing = 0, first = 0;
        for (const standin_write_record &w : log) {
            if (w.epoch < m.from || w.epoch >= m.to)
                continue;
            bool set = w.block / 8 < m.map.size() && (m.map[w.block / 8] >> (w.block % 8) & 1);
            if (!set && !missing++)
                first = static_cast<uint32_t>(w.block);
        }
        checks_.expect(missing == 0, std::string(devices_[m.device].name) +
                                         ": the changed-block map for freezes " +
                                         std::to_string(m.from) + ".." + std::to_string(m.to) +
                                         " lacks " + std::to_string(missing) +
                                         " written blocks, first " + std::to_string(first));
    }
    std::vector<CaptureCheck> captures;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        captures.swap(captures_);
    }
    for (const CaptureCheck &c : captures) {
        std::vector<standin_write_record> log(standin_workload_log_count(workloads_[c.device]));
        standin_workload_log_read(workloads_[c.device], 0, log.data(), log.size());
        checkCapture(c, log);
    }
    for (size_t i = 0; i < devices_.size(); i++) {
        checkStamps(i, workloads_[i]);
        standin_workload_free(workloads_[i]);
        workloads_[i] = -1;
    }
}

World::BlockSeen World::seen(size_t device, uint32_t block, const unsigned char *at) const {
    const Device &d = devices_[device];
    BlockSeen s;
    s.unchanged =
        std::memcmp(at, &base_[device][static_cast<size_t>(block) * d.blockSize], d.blockSize) == 0;
    standin_stamp first{};
    if (standin_stamp_parse(at, &first) != 1)
        return s;
    const uint64_t sectors = d.blockSize / 512;
    for (unsigned i = 0; i < sectors; i++) {
        standin_stamp st{};
        if (standin_stamp_parse(at + i * 512, &st) != 1 || st.sector != block * sectors + i ||
            st.generation != first.generation || st.writer != first.writer)
            return s;
    }
    s.generation = first.generation;
    s.writer = first.writer;
    s.stamped = true;
    return s;
}

void World::deferCaptureCheck(size_t device, unsigned long epoch,
                              const std::vector<unsigned char> &image) {
    const Device &d = devices_[device];
    CaptureCheck c{device, epoch, std::vector<BlockSeen>(d.blocks)};
    for (uint32_t b = 0; b < d.blocks && (b + 1ULL) * d.blockSize <= image.size(); b++)
        c.blocks[b] = seen(device, b, &image[static_cast<size_t>(b) * d.blockSize]);
    std::lock_guard<std::mutex> lock(mutex_);
    captures_.push_back(std::move(c));
}

void World::checkCapture(const CaptureCheck &c, const std::vector<standin_write_record> &log) {
    const Device &d = devices_[c.device];
    std::vector<const standin_write_record *> last(d.blocks, nullptr);
    for (const standin_write_record &w : log)
        if (w.epoch < c.epoch && w.block < d.blocks &&
            (!last[w.block] || last[w.block]->generation < w.generation))
            last[w.block] = &w;
    uint32_t wrong = 0, first = 0;
    for (uint32_t b = 0; b < d.blocks; b++) {
        const BlockSeen &s = c.blocks[b];
        bool ok = last[b] ? s.stamped && s.generation == last[b]->generation &&
                                s.writer == last[b]->writer
                          : s.unchanged;
        if (!ok && !wrong++)
            first = b;
    }
    checks_.expect(wrong == 0, std::string(d.name) + ": at freeze " + std::to_string(c.epoch) +
                                   ", " + std::to_string(wrong) +
                                   " blocks do not hold their last write before it, first " +
                                   std::to_string(first));
}

// Every block holds the last write its one writer logged, whole and in its
// place; a block no one wrote holds what it held when the phase began.
void World::checkStamps(size_t device, int workload) {
    const Device &d = devices_[device];
    std::vector<standin_write_record> log(standin_workload_log_count(workload));
    standin_workload_log_read(workload, 0, log.data(), log.size());
    std::vector<const standin_write_record *> last(d.blocks, nullptr);
    for (const standin_write_record &w : log)
        if (w.block < d.blocks && (!last[w.block] || last[w.block]->generation < w.generation))
            last[w.block] = &w;
    std::vector<unsigned char> now(base_[device].size());
    must(standin_dev_read_raw(d.dev, 0, now.data(), now.size()), "read device");
    uint32_t wrong = 0, first = 0;
    for (uint32_t b = 0; b < d.blocks; b++) {
        const unsigned char *at = &now[static_cast<size_t>(b) * d.blockSize];
        bool ok = true;
        if (!last[b]) {
            ok = std::memcmp(at, &base_[device][static_cast<size_t>(b) * d.blockSize],
                             d.blockSize) == 0;
        } else {
            for (unsigned s = 0; ok && s < last[b]->sectors; s++) {
                standin_stamp st{};
                ok = standin_stamp_parse(at + s * 512, &st) == 1 &&
                     st.sector == last[b]->first_sector + s &&
                     st.generation == last[b]->generation && st.writer == last[b]->writer;
            }
        }
        if (!ok && !wrong++)
            first = b;
    }
    checks_.expect(wrong == 0, std::string(d.name) + ": " + std::to_string(wrong) +
                                   " blocks do not hold their last write, first " +
                                   std::to_string(first));
}

void World::recordKey(size_t device, const AMSessionKey &key, unsigned long freezes) {
    std::lock_guard<std::mutex> lock(mutex_);
    keys_.push_back({device, key, freezes});
}

std::optional<AMSessionKey> World::latestKey(size_t device) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = keys_.rbegin(); it != keys_.rend(); ++it)
        if (it->device == device)
            return it->key;
    return std::nullopt;
}

std::optional<unsigned long> World::freezesOf(size_t device, const AMSessionKey &key) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const KeyRecord &k : keys_)
        if (k.device == device && sameKey(k.key, key))
            return k.freezes;
    return std::nullopt;
}

void World::forgetKeys() {
    std::lock_guard<std::mutex> lock(mutex_);
    keys_.clear();
}

void World::deferMapCheck(size_t device, unsigned long from, unsigned long to,
                          std::vector<unsigned char> map) {
    std::lock_guard<std::mutex> lock(mutex_);
    maps_.push_back({device, from, to, std::move(map)});
}

}  // namespace velmora::torture
