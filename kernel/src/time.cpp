/*
 * Clocks, delays and the entropy pool.
 */
#include <linux/kernel.h>
#include <linux/time.h>
#include <linux/delay.h>
#include <linux/random.h>
#include <linux/sched.h>

#include "internal.h"

extern "C" struct timespec current_kernel_time(void) {
    struct timespec ts;
    host_realtime(&ts.tv_sec, &ts.tv_nsec);
    return ts;
}

extern "C" void getnstimeofday(struct timespec *ts) {
    host_realtime(&ts->tv_sec, &ts->tv_nsec);
}

extern "C" void do_gettimeofday(struct timeval *tv) {
    struct timespec ts;
    getnstimeofday(&ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
}

extern "C" void get_random_bytes(void *buf, int nbytes) {
    if (nbytes > 0)
        host_random_bytes(buf, (unsigned long)nbytes);
}

extern "C" void msleep(unsigned int msecs) {
    set_current_state(TASK_UNINTERRUPTIBLE);
    schedule_timeout((long)msecs);
}

extern "C" void ssleep(unsigned int seconds) {
    msleep(seconds * 1000);
}

/* Busy waits: they do not sleep, so they are allowed while atomic. */
extern "C" void udelay(unsigned long usecs) {
    unsigned long long end = host_monotonic_ns() + usecs * 1000ULL;
    while (host_monotonic_ns() < end)
        host_cpu_relax();
}

extern "C" void mdelay(unsigned long msecs) {
    udelay(msecs * 1000);
}
