// The machine's disks shown to the host: a FUSE file system mounted at a
// directory of the host, with one regular file per disk and per partition
// ("sda", "sda1", ...) as big as the device. Every read and write of such a
// file becomes bios of the stand-in's block layer on that device, waited for
// before the host gets its answer, so partitions are remapped and a driver
// hooked on the queue sees the host's I/O as any other. Files are opened
// with direct I/O: no page cache of the host sits in between. Requests are
// served by several threads, none of which ever waits for a freeze of the
// stand-in, so a host file system that flushes while it freezes is served.
#pragma once

#include "exported_devices.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::machine {

// What the host sent so far.
struct ExportStats {
    std::uint64_t reads = 0, writes = 0;
    std::uint64_t readBytes = 0, writeBytes = 0;
    std::uint64_t unalignedReads = 0;  // served through the whole sectors around them
    std::uint64_t refusedWrites = 0;   // not in whole sectors: EINVAL
    std::uint64_t failures = 0;        // answered EIO
    std::uint64_t flushes = 0;         // fsync and flush
    std::uint64_t smallestWrite = 0, largestWrite = 0;  // bytes; 0 before the first
};

struct ExportOptions {
    bool allowOther = false;  // other users of the host may open the files too
    unsigned maxThreads = 8;  // of the FUSE loop
};

class DiskExport {
  public:
    // Mounts at mountPoint, an existing directory; disks are whole-disk
    // device numbers, shown with their partitions. A partition that appears
    // or goes (a rescan) shows or goes with it; a disk that goes away leaves
    // its files' handles answering EIO. Throws std::runtime_error.
    DiskExport(std::string mountPoint, const std::vector<unsigned> &disks,
               const ExportOptions &options = {});
    // Unmounts and ends the FUSE threads. Files the host still holds open
    // (a loop device not detached yet) are cut off first: their I/O fails
    // from then on, and the mount goes once the host lets go of them.
    ~DiskExport();
    DiskExport(const DiskExport &) = delete;
    DiskExport &operator=(const DiskExport &) = delete;

    const std::string &mountPoint() const;
    // The host's path of a device's file.
    std::string path(std::string_view name) const;
    std::vector<ExportedDevice> devices() const;
    ExportStats stats() const;
    // Files the host holds open now.
    int openFiles() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace velmora::machine
