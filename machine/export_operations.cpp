#define FUSE_USE_VERSION 314
#include "export_operations.h"

#include "export_state.h"

#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace velmora::machine {

namespace {

DiskExport::State &state() {
    return *static_cast<DiskExport::State *>(fuse_get_context()->private_data);
}

// The directory's handle is 0: it is opened without an open of ours.
DeviceIo *handleOf(const fuse_file_info *fi) {
    return fi ? reinterpret_cast<DeviceIo *>(fi->fh) : nullptr;
}

std::optional<ExportedDevice> deviceAt(const char *path) {
    if (!path || path[0] != '/')
        return std::nullopt;
    return state().devices.find(path + 1);
}

// The size of an open device's file, or else of the device at the path;
// false when there is no such device.
bool sizeOf(const char *path, const fuse_file_info *fi, std::uint64_t *bytes) {
    if (DeviceIo *io = handleOf(fi)) {
        *bytes = io->size();
        return true;
    }
    std::optional<ExportedDevice> dev = deviceAt(path);
    if (dev)
        *bytes = dev->bytes;
    return dev.has_value();
}

// Without a path (libfuse passes none where a handle says enough), the
// only thing that is no device's handle is the directory.
bool isRoot(const char *path) {
    return !path || std::strcmp(path, "/") == 0;
}

// Sizes change only with a rescan of a disk: a second of caching is enough;
// a name that is missing is asked again at once.
void *exportInit(fuse_conn_info *, fuse_config *cfg) {
    cfg->direct_io = 1;
    cfg->nullpath_ok = 1;
    cfg->entry_timeout = 1;
    cfg->attr_timeout = 1;
    cfg->negative_timeout = 0;
    return fuse_get_context()->private_data;
}

void fillCommon(struct stat *st) {
    static const time_t started = time(nullptr);
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_atime = st->st_mtime = st->st_ctime = started;
}

int exportGetattr(const char *path, struct stat *st, fuse_file_info *fi) {
    std::memset(st, 0, sizeof *st);
    fillCommon(st);
    DeviceIo *io = handleOf(fi);
    if (!io && isRoot(path)) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    std::uint64_t bytes = 0;
    if (!sizeOf(path, fi, &bytes))
        return -ENOENT;
    st->st_mode = S_IFREG | 0660;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(bytes);
    st->st_blocks = static_cast<blkcnt_t>(bytes / 512);
    return 0;
}

int exportReaddir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *,
                  fuse_readdir_flags) {
    if (!isRoot(path))
        return -ENOTDIR;
    fill(buf, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buf, "..", nullptr, 0, fuse_fill_dir_flags{});
    for (const ExportedDevice &dev : state().devices.present())
        fill(buf, dev.name.c_str(), nullptr, 0, fuse_fill_dir_flags{});
    return 0;
}

int exportOpen(const char *path, fuse_file_info *fi) {
    std::optional<ExportedDevice> dev = deviceAt(path);
    if (!dev)
        return isRoot(path) ? -EISDIR : -ENOENT;
    int error = 0;
    DeviceIo *io = state().open(dev->dev, &error);
    if (!io)
        return error;
    fi->fh = reinterpret_cast<std::uint64_t>(io);
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

int exportRelease(const char *, fuse_file_info *fi) {
    state().close(handleOf(fi));
    return 0;
}

int exportRead(const char *, char *buf, size_t size, off_t off, fuse_file_info *fi) {
    ExportCounters &c = state().counters;
    c.reads++;
    if (off % 512 || size % 512)
        c.unalignedReads++;
    long n = handleOf(fi)->read(static_cast<std::uint64_t>(off), buf, size);
    if (n < 0)
        c.failures++;
    else
        c.readBytes += static_cast<std::uint64_t>(n);
    return static_cast<int>(n);
}

int exportWrite(const char *, const char *buf, size_t size, off_t off, fuse_file_info *fi) {
    ExportCounters &c = state().counters;
    long n = handleOf(fi)->write(static_cast<std::uint64_t>(off), buf, size);
    if (n == -EINVAL)
        c.refusedWrites++;
    else if (n == -EIO)
        c.failures++;
    else if (n >= 0)
        c.noteWrite(static_cast<std::size_t>(n));
    return static_cast<int>(n);
}

int flushHandle(fuse_file_info *fi) {
    ExportCounters &c = state().counters;
    c.flushes++;
    int r = handleOf(fi)->flush();
    if (r)
        c.failures++;
    return r;
}

int exportFlush(const char *, fuse_file_info *fi) {
    return flushHandle(fi);
}

int exportFsync(const char *, int, fuse_file_info *fi) {
    return flushHandle(fi);
}

// A device's file is as big as the device: a truncate to any other size
// cannot be done, and is not reported as done.
int exportTruncate(const char *path, off_t size, fuse_file_info *fi) {
    std::uint64_t bytes = 0;
    if (!sizeOf(path, fi, &bytes))
        return -ENOENT;
    return static_cast<std::uint64_t>(size) == bytes ? 0 : -EINVAL;
}

fuse_operations makeOperations() {
    fuse_operations ops{};
    ops.init = exportInit;
    ops.getattr = exportGetattr;
    ops.readdir = exportReaddir;
    ops.open = exportOpen;
    ops.release = exportRelease;
    ops.read = exportRead;
    ops.write = exportWrite;
    ops.flush = exportFlush;
    ops.fsync = exportFsync;
    ops.truncate = exportTruncate;
    return ops;
}

}  // namespace

const fuse_operations &exportOperations() {
    static const fuse_operations ops = makeOperations();
    return ops;
}

}  // namespace velmora::machine
