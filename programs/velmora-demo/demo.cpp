// velmora-demo: boots the stand-in kernel, loads the velmora module and talks
// to its control device as an agent would; then backs up a partition of a
// real ext4 disk image while writers keep changing it (and the partition
// beside it): a full backup, then an incremental one with the key the full
// one left, each image checked against the partition's content at its
// snapshot. Exits non-zero when an image does not match.
#include <attached_disk.h>
#include <capture_check.h>
#include <disk_image.h>
#include <machine.h>

#include <backup_runner.h>
#include <control_device.h>
#include <standin/disk.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

using velmora::agent::BackupReport;
using velmora::agent::BackupRequest;
using velmora::agent::ControlDevice;
using velmora::sim::AttachedDisk;
using velmora::sim::Machine;

namespace {

constexpr unsigned kPartitionMiB = 16;
constexpr unsigned kOtherMiB = 8;

// Writers on a mounted partition, stopped when the object goes.
class Writers {
  public:
    Writers(unsigned dev, int writers, int mode, unsigned seed) {
        standin_workload_config cfg{};
        cfg.dev = dev;
        cfg.writers = writers;
        cfg.first_block = 64;
        cfg.nr_blocks = 1024;
        cfg.mode = mode;
        cfg.sync_every = mode == STANDIN_FS_BUFFERED ? 8 : 0;
        cfg.pause_ns = 20000;
        cfg.seed = seed;
        id_ = standin_workload_start(&cfg);
        if (id_ < 0)
            throw std::runtime_error("cannot start the writers");
    }
    ~Writers() {
        standin_workload_stop(id_);
        standin_workload_free(id_);
    }
    unsigned long long writes() const { return standin_workload_log_count(id_); }
    void waitMore(unsigned long long more) const { standin_workload_wait(id_, writes() + more); }

  private:
    int id_;
};

void showDriver() {
    ControlDevice dev("/dev/velmora");
    std::printf("== driver version %u.%u\n", dev.versionMajor(), dev.versionMinor());
    State s = dev.state();
    std::printf(
        "== state of a fresh file: state %u, device %u:%u, block size %d, mapping size %d\n",
        s.state, s.major, s.minor, s.blockSize, s.mmapSize);
}

// One backup with the capture armed for its snapshot; says whether the image
// is the partition's content at that instant. Returns whether it is.
bool backupAndCheck(const char *title, BackupRequest &req, const Writers &writers, unsigned dev,
                    BackupReport *report) {
    std::printf("== %s\n", title);
    if (standin_capture_arm(dev) != 0)
        throw std::runtime_error("cannot arm the capture");
    unsigned long long before = writers.writes();
    // The writers go on between the snapshot and the reads.
    req.afterSnapshot = [&writers] { writers.waitMore(200); };
    Machine::clearLog();
    *report = velmora::agent::runBackup(req);
    unsigned long long during = writers.writes() - before;
    if (req.previousKey && report->incremental)
        std::printf(
            "   changed-block map from the driver: %u blocks written since the last snapshot\n",
            report->copied.count());
    std::printf("   copied %u of %u blocks of %u bytes; %llu writes went on meanwhile\n",
                report->blocksCopied, report->totalBlocks, report->blockSize, during);
    velmora::sim::CaptureCheck check =
        velmora::sim::compareWithCapture(dev, req.imagePath, report->blockSize);
    standin_capture_release(dev);
    if (check.matches())
        std::printf("   image matches the partition's content at the snapshot: yes\n");
    else if (check.blocksDiffering)
        std::printf(
            "   image matches the partition's content at the snapshot: NO (%llu blocks "
            "differ, the first is block %llu)\n",
            static_cast<unsigned long long>(check.blocksDiffering),
            static_cast<unsigned long long>(check.firstDiffering));
    else
        std::printf("   image matches the partition's content at the snapshot: NO (%s)\n",
                    check.taken ? "the image has another size" : "no reference was captured");
    std::printf("   statistics from the kernel log:\n");
    for (const auto &line : Machine::log())
        if (line.text.rfind("printStats: ", 0) == 0)
            std::printf("     <%d>%s\n", line.level, line.text.c_str());
    return check.matches();
}

bool backups(const std::string &module) {
    velmora::sim::TempDir dir;
    const std::string image = dir.file("disk.img");
    std::printf("== disk image %s: MBR, partition 1 ext4 %u MiB, partition 2 ext4 %u MiB\n",
                image.c_str(), kPartitionMiB, kOtherMiB);
    velmora::sim::buildPartitionedImage(
        image, kPartitionMiB + kOtherMiB + 2,
        {{kPartitionMiB, "ext4", 4096, false}, {kOtherMiB, "ext4", 4096, false}});
    Machine machine;
    AttachedDisk disk(image);
    disk.mount(1);
    disk.mount(2);
    machine.load(module);
    std::printf("== writers: 4 on sda1 (direct writes), 2 on sda2 (buffered, synced)\n");
    Writers writers(disk.partition(1), 4, STANDIN_FS_DIRECT, 1);
    Writers other(disk.partition(2), 2, STANDIN_FS_BUFFERED, 2);
    writers.waitMore(200);
    std::printf(
        "== the stand-in copies the partition at each snapshot's freeze as the reference the\n"
        "   image is checked against; the freeze times in the statistics include that copy\n");

    BackupRequest req;
    req.major = disk.major();
    req.minor = 1;
    req.imagePath = dir.file("sda1.img");
    BackupReport full, incremental;
    bool fullOk = backupAndCheck("full backup of sda1", req, writers, disk.partition(1), &full);
    writers.waitMore(300);
    req.previousKey = full.newKey;
    bool incOk = backupAndCheck("incremental backup of sda1 with the key the full backup left", req,
                                writers, disk.partition(1), &incremental);
    machine.unload("velmora");
    return fullOk && incOk;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        Machine machine;
        std::string module = argc > 1 ? argv[1] : velmora::sim::velmoraModulePath();
        std::printf("== loading %s\n", module.c_str());
        machine.load(module);
        showDriver();
        machine.unload("velmora");
        std::printf("== kernel log\n");
        for (const auto &line : Machine::log())
            std::printf("<%d>%s\n", line.level, line.text.c_str());
        Machine::clearLog();

        bool ok = backups(module);
        std::printf("== %s\n", ok ? "both images are the partition as it was at their snapshots"
                                  : "AN IMAGE DOES NOT MATCH");
        return ok ? 0 : 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velmora-demo: %s\n", e.what());
        Machine::dumpLog();
        return 1;
    }
}
