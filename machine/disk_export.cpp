#define FUSE_USE_VERSION 314
#include "disk_export.h"

#include "export_operations.h"
#include "export_state.h"

#include <fuse.h>
#include <sys/mount.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace velmora::machine {

namespace {

fuse *newSession(const ExportOptions &options, DiskExport::State *state) {
    std::string mountOptions = "fsname=velmora,subtype=velmora";
    if (options.allowOther)
        mountOptions += ",allow_other";
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, "velmora-export");
    fuse_opt_add_arg(&args, "-o");
    fuse_opt_add_arg(&args, mountOptions.c_str());
    fuse *f = fuse_new(&args, &exportOperations(), sizeof(fuse_operations), state);
    fuse_opt_free_args(&args);
    return f;
}

}  // namespace

DiskExport::DiskExport(std::string mountPoint, const std::vector<unsigned> &disks,
                       const ExportOptions &options)
    : state_(std::make_unique<State>(std::move(mountPoint), disks)) {
    State &s = *state_;
    s.session = newSession(options, &s);
    if (!s.session)
        throw std::runtime_error("cannot set up FUSE for the disk export at " + s.mountPoint);
    if (fuse_mount(s.session, s.mountPoint.c_str()) != 0) {
        fuse_destroy(s.session);
        throw std::runtime_error("cannot mount the disk export at " + s.mountPoint);
    }
    s.loopConfig = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(s.loopConfig, std::max(options.maxThreads, 2u));
    s.loop = std::thread([&s] { fuse_loop_mt(s.session, s.loopConfig); });
}

// The loop ends when the kernel ends the connection: at the unmount of an
// idle mount. Files still open would keep it (a lazy unmount waits for
// them), so then the connection is aborted first. The unmount comes before
// libfuse's own, which closes the FUSE descriptor under the loop's threads.
DiskExport::~DiskExport() {
    State &s = *state_;
    // A host that just let go (losetup -d) releases its file a moment later.
    for (int i = 0; i < 50 && s.openCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (s.openCount() > 0)
        umount2(s.mountPoint.c_str(), MNT_FORCE);
    if (umount2(s.mountPoint.c_str(), MNT_DETACH) != 0)
        fuse_unmount(s.session);  // not root: through fusermount
    s.loop.join();
    fuse_unmount(s.session);
    s.closeAll();
    fuse_loop_cfg_destroy(s.loopConfig);
    fuse_destroy(s.session);
}

const std::string &DiskExport::mountPoint() const {
    return state_->mountPoint;
}

std::string DiskExport::path(std::string_view name) const {
    return state_->mountPoint + "/" + std::string(name);
}

std::vector<ExportedDevice> DiskExport::devices() const {
    return state_->devices.present();
}

ExportStats DiskExport::stats() const {
    return state_->counters.snapshot();
}

int DiskExport::openFiles() const {
    return state_->openCount();
}

}  // namespace velmora::machine
