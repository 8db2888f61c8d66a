/*
 * Character device majors: one file_operations table per registered major.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "internal.h"

#define MAX_CHRDEV 256

struct char_device_struct {
    char name[64];
    const struct file_operations *fops;
};

static struct host_mutex chrdevs_lock;
static struct char_device_struct chrdevs[MAX_CHRDEV];

extern "C" int register_chrdev(unsigned int major, const char *name,
                               const struct file_operations *fops) {
    int ret = 0;
    if (major >= MAX_CHRDEV)
        return -EINVAL;
    host_mutex_lock(&chrdevs_lock);
    if (major == 0) {
        /* A dynamic major: the highest free one, as 2.6 hands them out. */
        for (major = MAX_CHRDEV - 1; major > 0 && chrdevs[major].fops; major--) {
        }
        ret = (int)major;
        if (major == 0)
            ret = -EBUSY;
    } else if (chrdevs[major].fops) {
        ret = -EBUSY;
    }
    if (ret >= 0) {
        strlcpy(chrdevs[major].name, name, sizeof(chrdevs[major].name));
        chrdevs[major].fops = fops;
    }
    host_mutex_unlock(&chrdevs_lock);
    return ret;
}

static int do_unregister(unsigned int major, const char *name) {
    int ret = -EINVAL;
    if (major >= MAX_CHRDEV)
        return ret;
    host_mutex_lock(&chrdevs_lock);
    if (chrdevs[major].fops && strcmp(chrdevs[major].name, name) == 0) {
        chrdevs[major].fops = NULL;
        chrdevs[major].name[0] = 0;
        ret = 0;
    }
    host_mutex_unlock(&chrdevs_lock);
    if (ret)
        printk("<3>unregister_chrdev: major %u is not registered as %s\n", major, name);
    return ret;
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 23)
extern "C" void unregister_chrdev(unsigned int major, const char *name) {
    do_unregister(major, name);
}
#else
extern "C" int unregister_chrdev(unsigned int major, const char *name) {
    return do_unregister(major, name);
}
#endif

const struct file_operations *chrdev_fops(unsigned int major) {
    if (major >= MAX_CHRDEV)
        return NULL;
    host_mutex_lock(&chrdevs_lock);
    const struct file_operations *fops = chrdevs[major].fops;
    host_mutex_unlock(&chrdevs_lock);
    return fops;
}

unsigned long chrdev_report_range(unsigned long lo, unsigned long hi, const char *owner) {
    unsigned long count = 0;
    host_mutex_lock(&chrdevs_lock);
    for (unsigned int m = 0; m < MAX_CHRDEV; m++) {
        unsigned long f = (unsigned long)chrdevs[m].fops;
        if (f < lo || f >= hi)
            continue;
        count++;
        printk("<3>%s: character device %u (%s) still registered at unload\n", owner, m,
               chrdevs[m].name);
    }
    host_mutex_unlock(&chrdevs_lock);
    return count;
}
