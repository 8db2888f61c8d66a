#ifndef _LINUX_TIME_H
#define _LINUX_TIME_H

#include <linux/types.h>

struct timespec {
    time_t tv_sec;
    long tv_nsec;
};

struct timeval {
    time_t tv_sec;
    long tv_usec;
};

#define NSEC_PER_SEC 1000000000L
#define NSEC_PER_USEC 1000L
#define USEC_PER_SEC 1000000L

extern "C" {
struct timespec current_kernel_time(void);
void getnstimeofday(struct timespec *ts);
void do_gettimeofday(struct timeval *tv);
}

#endif
