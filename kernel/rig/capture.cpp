/*
 * A device's bytes behind the kernel's back: straight from or to its disk's
 * backing store, never through a queue. On demand, or as a reference image:
 * the whole content copied at the moment the device's file system becomes
 * frozen, which a snapshot taken under that freeze must equal byte for byte.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "rig.h"

#define MAX_CAPTURES 16

enum capture_state { CAPTURE_FREE = 0, CAPTURE_ARMED, CAPTURE_TAKEN, CAPTURE_FAILED };

struct capture {
    unsigned int dev;
    int state;
    unsigned long epoch;
    char *data;
    unsigned long long len;
};

static int raw_io(unsigned int dev, int rw, unsigned long long offset, void *buf,
                  unsigned long long len) {
    struct block_device *bdev = bdget(dev);
    int ret = bdev_backing_io(bdev, rw, offset, buf, len);
    bdput(bdev);
    return ret;
}

extern "C" int standin_dev_read_raw(unsigned int dev, unsigned long long offset, void *buf,
                                    unsigned long long len) {
    return raw_io(dev, READ, offset, buf, len);
}

extern "C" int standin_dev_write_raw(unsigned int dev, unsigned long long offset, const void *buf,
                                     unsigned long long len) {
    return raw_io(dev, WRITE, offset, (void *)buf, len);
}

static struct host_mutex capture_lock;
static struct capture captures[MAX_CAPTURES];

static struct capture *find_locked(unsigned int dev) {
    for (int i = 0; i < MAX_CAPTURES; i++)
        if (captures[i].state != CAPTURE_FREE && captures[i].dev == dev)
            return &captures[i];
    return NULL;
}

static void clear_locked(struct capture *c) {
    host_free(c->data);
    memset(c, 0, sizeof(*c));
}

void capture_on_freeze(struct super_block *sb, unsigned long epoch) {
    host_mutex_lock(&capture_lock);
    struct capture *c = find_locked(sb->s_dev);
    if (c && c->state == CAPTURE_ARMED) {
        c->len = (unsigned long long)bdev_sectors(sb->s_bdev) << 9;
        c->data = (char *)host_malloc((unsigned long)c->len);
        int ret = c->data ? bdev_backing_io(sb->s_bdev, READ, 0, c->data, c->len) : -ENOMEM;
        c->state = ret ? CAPTURE_FAILED : CAPTURE_TAKEN;
        c->epoch = epoch;
        if (ret)
            printk("<3>capture of %s failed (%d)\n", sb->s_id, ret);
    }
    host_mutex_unlock(&capture_lock);
}

extern "C" int standin_capture_arm(unsigned int dev) {
    host_mutex_lock(&capture_lock);
    struct capture *c = find_locked(dev);
    if (c)
        clear_locked(c);
    for (int i = 0; i < MAX_CAPTURES && !c; i++)
        if (captures[i].state == CAPTURE_FREE)
            c = &captures[i];
    int ret = c ? 0 : -ENOSPC;
    if (c) {
        c->dev = dev;
        c->state = CAPTURE_ARMED;
    }
    host_mutex_unlock(&capture_lock);
    return ret;
}

extern "C" int standin_capture_taken(unsigned int dev, unsigned long *epoch) {
    host_mutex_lock(&capture_lock);
    struct capture *c = find_locked(dev);
    int ret = !c ? -ENOENT : c->state == CAPTURE_FAILED ? -EIO : c->state == CAPTURE_TAKEN;
    if (ret == 1 && epoch)
        *epoch = c->epoch;
    host_mutex_unlock(&capture_lock);
    return ret;
}

extern "C" int standin_capture_read(unsigned int dev, unsigned long long offset, void *buf,
                                    unsigned long long len) {
    host_mutex_lock(&capture_lock);
    struct capture *c = find_locked(dev);
    int ret = 0;
    if (!c || c->state != CAPTURE_TAKEN)
        ret = -ENOENT;
    else if (offset > c->len || len > c->len - offset)
        ret = -EINVAL;
    else
        memcpy(buf, c->data + offset, (size_t)len);
    host_mutex_unlock(&capture_lock);
    return ret;
}

extern "C" void standin_capture_release(unsigned int dev) {
    host_mutex_lock(&capture_lock);
    struct capture *c = find_locked(dev);
    if (c)
        clear_locked(c);
    host_mutex_unlock(&capture_lock);
}
