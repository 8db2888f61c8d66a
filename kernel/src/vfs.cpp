/*
 * Device nodes, open files and the file system calls of a process: mknod,
 * open, close, read, write, poll and ioctl. Opening a character node takes a
 * reference on the driver's module for the life of the file; ioctl runs the
 * driver's `ioctl` slot under the big kernel lock.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/poll.h>
#include <linux/sched.h>
#include <linux/smp_lock.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/syscalls.h>

#include "internal.h"

#define MAX_FILES 1024
#define FIRST_FD 3 /* 0 to 2 are the process's standard streams */

#define FIONCLEX 0x5450
#define FIOCLEX 0x5451
#define FIONBIO 0x5421

struct dev_node {
    char path[128];
    struct inode inode;
    struct dentry dentry;
    struct list_head list;
};

static struct host_mutex vfs_lock;
static LIST_HEAD(nodes);
static struct file *fd_table[MAX_FILES];

static struct dev_node *find_node(const char *path) {
    struct dev_node *n;
    list_for_each_entry(n, &nodes, list) {
        if (strcmp(n->path, path) == 0)
            return n;
    }
    return NULL;
}

static long fail(long err) {
    host_set_errno((int)-err);
    return -1;
}

extern "C" void get_file(struct file *f) {
    atomic_inc(&f->f_count);
}

extern "C" void fput(struct file *f) {
    if (!atomic_dec_and_test(&f->f_count))
        return;
    const struct file_operations *fops = f->f_op;
    if (fops->release)
        fops->release(f->f_dentry->d_inode, f);
    module_put(fops->owner);
    host_free(f);
}

struct file *fget(int fd) {
    if (fd < 0 || fd >= MAX_FILES)
        return NULL;
    host_mutex_lock(&vfs_lock);
    struct file *f = fd_table[fd];
    if (f)
        get_file(f);
    host_mutex_unlock(&vfs_lock);
    return f;
}

static int install_fd(struct file *f) {
    host_mutex_lock(&vfs_lock);
    for (int fd = FIRST_FD; fd < MAX_FILES; fd++) {
        if (fd_table[fd])
            continue;
        fd_table[fd] = f;
        host_mutex_unlock(&vfs_lock);
        return fd;
    }
    host_mutex_unlock(&vfs_lock);
    return -EMFILE;
}

namespace sys {

int mknod(const char *path, unsigned int mode, unsigned int dev) {
    syscall_exit_check exit_check;
    if (!S_ISCHR(mode) && !S_ISBLK(mode))
        return (int)fail(-EINVAL);
    if (strlen(path) >= sizeof(((struct dev_node *)0)->path))
        return (int)fail(-ENAMETOOLONG);
    host_mutex_lock(&vfs_lock);
    if (find_node(path)) {
        host_mutex_unlock(&vfs_lock);
        return (int)fail(-EEXIST);
    }
    struct dev_node *n = (struct dev_node *)host_calloc(1, sizeof(*n));
    strlcpy(n->path, path, sizeof(n->path));
    n->inode.i_mode = (umode_t)mode;
    n->inode.i_rdev = dev;
    /* Its maker's, as mknod(2) makes it. */
    n->inode.i_uid = current->euid;
    n->inode.i_gid = current->egid;
    atomic_set(&n->inode.i_count, 1);
    n->dentry.d_inode = &n->inode;
    list_add_tail(&n->list, &nodes);
    host_mutex_unlock(&vfs_lock);
    return 0;
}

int unlink(const char *path) {
    syscall_exit_check exit_check;
    host_mutex_lock(&vfs_lock);
    struct dev_node *n = find_node(path);
    if (n)
        list_del(&n->list);
    host_mutex_unlock(&vfs_lock);
    if (!n)
        return (int)fail(-ENOENT);
    /* Open files keep pointing at the node, so it stays allocated. */
    return 0;
}

int open(const char *path, int flags) {
    syscall_exit_check exit_check;
    host_mutex_lock(&vfs_lock);
    struct dev_node *n = find_node(path);
    host_mutex_unlock(&vfs_lock);
    if (!n)
        return (int)fail(-ENOENT);
    if (!S_ISCHR(n->inode.i_mode))
        return (int)fail(-ENXIO);
    const struct file_operations *fops = chrdev_fops(MAJOR(n->inode.i_rdev));
    if (!fops || !try_module_get(fops->owner))
        return (int)fail(-ENXIO);
    struct file *f = (struct file *)host_calloc(1, sizeof(*f));
    f->f_op = fops;
    f->f_dentry = &n->dentry;
    atomic_set(&f->f_count, 1);
    f->f_flags = (unsigned int)flags;
    f->f_mode = ((flags & O_ACCMODE) != O_WRONLY ? FMODE_READ : 0) |
                ((flags & O_ACCMODE) != O_RDONLY ? FMODE_WRITE : 0);
    if (fops->open) {
        int ret = fops->open(&n->inode, f);
        if (ret > 0)
            kernel_die("BUG: open of %s returned %d: an open must return 0 or -errno\n", path, ret);
        if (ret < 0) {
            module_put(fops->owner);
            host_free(f);
            return (int)fail(ret);
        }
    }
    int fd = install_fd(f);
    if (fd < 0) {
        fput(f);
        return (int)fail(fd);
    }
    return fd;
}

int close(int fd) {
    syscall_exit_check exit_check;
    if (fd < 0 || fd >= MAX_FILES)
        return (int)fail(-EBADF);
    host_mutex_lock(&vfs_lock);
    struct file *f = fd_table[fd];
    fd_table[fd] = NULL;
    host_mutex_unlock(&vfs_lock);
    if (!f)
        return (int)fail(-EBADF);
    fput(f);
    return 0;
}

long read(int fd, void *buf, unsigned long count) {
    syscall_exit_check exit_check;
    struct file *f = fget(fd);
    if (!f)
        return fail(-EBADF);
    long ret = -EBADF;
    if (f->f_mode & FMODE_READ)
        ret = f->f_op->read ? f->f_op->read(f, (char *)buf, count, &f->f_pos) : -EINVAL;
    fput(f);
    return ret < 0 ? fail(ret) : ret;
}

long write(int fd, const void *buf, unsigned long count) {
    syscall_exit_check exit_check;
    struct file *f = fget(fd);
    if (!f)
        return fail(-EBADF);
    long ret = -EBADF;
    if (f->f_mode & FMODE_WRITE)
        ret = f->f_op->write ? f->f_op->write(f, (const char *)buf, count, &f->f_pos) : -EINVAL;
    fput(f);
    return ret < 0 ? fail(ret) : ret;
}

/* Poll: each driver's poll() may register wait queues; the caller sleeps on
 * them until one is woken or the timeout passes. */
#define MAX_POLL_WAITS 16

struct poll_wqueues {
    poll_table pt;
    int nr;
    wait_queue_head_t *heads[MAX_POLL_WAITS];
    wait_queue_t waits[MAX_POLL_WAITS];
};

static void poll_queue(struct file *filp, wait_queue_head_t *head, poll_table *pt) {
    (void)filp;
    struct poll_wqueues *p = container_of(pt, struct poll_wqueues, pt);
    if (p->nr == MAX_POLL_WAITS)
        return;
    wait_queue_t *w = &p->waits[p->nr];
    w->flags = 0;
    w->private_data = current;
    w->func = default_wake_function;
    p->heads[p->nr++] = head;
    add_wait_queue(head, w);
}

int poll(struct pollfd *fds, unsigned long nfds, int timeout) {
    syscall_exit_check exit_check;
    struct poll_wqueues table;
    table.pt.qproc = poll_queue;
    table.nr = 0;
    unsigned long long deadline = host_monotonic_ns() + (unsigned long long)timeout * 1000000ULL;
    int ready;
    for (;;) {
        ready = 0;
        set_current_state(TASK_INTERRUPTIBLE);
        for (unsigned long i = 0; i < nfds; i++) {
            struct file *f = fget(fds[i].fd);
            unsigned int mask = POLLNVAL;
            if (f) {
                mask = f->f_op->poll ? f->f_op->poll(f, &table.pt)
                                     : (POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM);
                fput(f);
            }
            fds[i].revents =
                (short)(mask & ((unsigned int)fds[i].events | POLLERR | POLLHUP | POLLNVAL));
            if (fds[i].revents)
                ready++;
        }
        table.pt.qproc = NULL; /* register once */
        if (ready || timeout == 0)
            break;
        if (timeout > 0) {
            unsigned long long now = host_monotonic_ns();
            if (now >= deadline)
                break;
            schedule_timeout((long)((deadline - now + 999999ULL) / 1000000ULL));
        } else {
            schedule();
        }
        if (signal_pending(current))
            break;
    }
    __set_current_state(TASK_RUNNING);
    for (int i = 0; i < table.nr; i++)
        remove_wait_queue(table.heads[i], &table.waits[i]);
    return ready;
}

int ioctl(int fd, unsigned long request, unsigned long arg) {
    syscall_exit_check exit_check;
    struct file *f = fget(fd);
    if (!f)
        return (int)fail(-EBADF);
    unsigned int cmd = (unsigned int)request;
    long ret;
    switch (cmd) {
        case FIOCLEX:
        case FIONCLEX:
            ret = 0;
            break;
        case FIONBIO:
            f->f_flags |= O_NONBLOCK;
            ret = 0;
            break;
        default:
            if (f->f_op->unlocked_ioctl) {
                ret = f->f_op->unlocked_ioctl(f, cmd, arg);
            } else if (f->f_op->ioctl) {
                lock_kernel();
                ret = f->f_op->ioctl(f->f_dentry->d_inode, f, cmd, arg);
                unlock_kernel();
            } else {
                ret = -ENOTTY;
            }
            if (ret == -ENOIOCTLCMD)
                ret = -EINVAL;
    }
    fput(f);
    if (ret < 0 && ret >= -4095)
        return (int)fail(ret);
    return (int)ret;
}

}  // namespace sys
