/*
 * The image disk: its sectors are those of a host file, read and written in
 * place. Its queue has a queue_lock, as a request-based disk's has.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "../src/internal.h"
#include "simdisk.h"

struct imagedisk {
    struct simdisk_backend backend;
    int fd;
};

static int imagedisk_io(struct simdisk_backend *b, int rw, unsigned long long off, void *buf,
                        unsigned long len) {
    struct imagedisk *img = container_of(b, struct imagedisk, backend);
    char *p = (char *)buf;
    while (len) {
        long n = rw == WRITE ? host_file_pwrite(img->fd, p, len, off)
                             : host_file_pread(img->fd, p, len, off);
        if (n < 0)
            return -EIO;
        if (n == 0) {
            if (rw == WRITE)
                return -EIO;
            memset(p, 0, len); /* past the end of a sparse file */
            return 0;
        }
        p += n;
        off += (unsigned long long)n;
        len -= (unsigned long)n;
    }
    return 0;
}

static int imagedisk_iov(struct simdisk_backend *b, int rw, unsigned long long off,
                         const struct host_iovec *iov, int count, unsigned long len) {
    struct imagedisk *img = container_of(b, struct imagedisk, backend);
    long n = rw == WRITE ? host_file_pwritev(img->fd, iov, count, off)
                         : host_file_preadv(img->fd, iov, count, off);
    if (n == (long)len)
        return 0;
    /* A short transfer (a signal, the end of a sparse file): piece by piece. */
    for (int i = 0; i < count; i++) {
        int ret = imagedisk_io(b, rw, off, iov[i].base, iov[i].len);
        if (ret)
            return ret;
        off += iov[i].len;
    }
    return 0;
}

static int imagedisk_sync(struct simdisk_backend *b) {
    return host_file_sync(container_of(b, struct imagedisk, backend)->fd) ? -EIO : 0;
}

static void imagedisk_release(struct simdisk_backend *b) {
    struct imagedisk *img = container_of(b, struct imagedisk, backend);
    host_file_sync(img->fd);
    host_file_close(img->fd);
    host_free(img);
}

extern "C" int standin_imagedisk_create(const char *name, const char *path, unsigned int major,
                                        unsigned int first_minor, int minors) {
    int fd = host_file_open(path, 1);
    if (fd < 0)
        return fd;
    long long size = host_file_size(fd);
    if (size < 512) {
        host_file_close(fd);
        return size < 0 ? (int)size : -EINVAL;
    }
    struct imagedisk *img = (struct imagedisk *)host_calloc(1, sizeof(*img));
    img->backend.kind = "imagedisk";
    img->backend.io = imagedisk_io;
    img->backend.iov = imagedisk_iov;
    img->backend.sync = imagedisk_sync;
    img->backend.release = imagedisk_release;
    img->fd = fd;
    return simdisk_create(&img->backend, name, major, first_minor, minors,
                          (unsigned long long)size / 512, 1);
}
