#ifndef _LINUX_POLL_H
#define _LINUX_POLL_H

#include <linux/wait.h>

#define POLLIN 0x0001
#define POLLPRI 0x0002
#define POLLOUT 0x0004
#define POLLERR 0x0008
#define POLLHUP 0x0010
#define POLLNVAL 0x0020
#define POLLRDNORM 0x0040
#define POLLWRNORM 0x0100

struct file;
struct poll_table_struct;
typedef void (*poll_queue_proc)(struct file *, wait_queue_head_t *, struct poll_table_struct *);
typedef struct poll_table_struct {
    poll_queue_proc qproc;
} poll_table;

static inline void poll_wait(struct file *filp, wait_queue_head_t *wait_address, poll_table *p) {
    if (p && wait_address)
        p->qproc(filp, wait_address, p);
}

#endif
