/*
 * Copies to and from the calling process. They may fault (and so sleep, and
 * take mmap_sem), and they stop at the first byte the process cannot give or
 * take. A task that serves another host process (through the machine's
 * socket) copies from and to that process's memory: its own mappings of the
 * kernel's pages are all present, so nothing is faulted in here.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <asm/uaccess.h>

#include <standin/machine.h>

#include "internal.h"

#define TASK_SIZE 0x00007ffffffff000UL
#define MAX_USER_RANGES 8

/* The process's memory when a program confined it; none: all of the host's. */
static int nr_user_ranges;
static unsigned long user_ranges[MAX_USER_RANGES][2];

extern "C" void standin_confine_user_memory(const unsigned long (*ranges)[2], int n) {
    if (n < 0 || n > MAX_USER_RANGES)
        kernel_die("BUG: %d user memory ranges\n", n);
    __atomic_store_n(&nr_user_ranges, 0, __ATOMIC_RELEASE);
    for (int i = 0; i < n; i++) {
        user_ranges[i][0] = ranges[i][0];
        user_ranges[i][1] = ranges[i][1];
    }
    __atomic_store_n(&nr_user_ranges, n, __ATOMIC_RELEASE);
}

/* How many of the n bytes at addr are the process's to give or take. */
static unsigned long user_reach(const void *addr, unsigned long n) {
    int ranges = __atomic_load_n(&nr_user_ranges, __ATOMIC_ACQUIRE);
    if (!ranges)
        return n;
    unsigned long a = (unsigned long)addr;
    for (int i = 0; i < ranges; i++)
        if (a >= user_ranges[i][0] && a < user_ranges[i][1])
            return min(n, user_ranges[i][1] - a);
    return 0;
}

/* What could not be read is zeroed, so the kernel never sees stale bytes. */
static unsigned long zero_rest(void *to, unsigned long n, unsigned long left) {
    if (left)
        memset((char *)to + (n - left), 0, left);
    return left;
}

extern "C" unsigned long copy_from_user(void *to, const void __user *from, unsigned long n) {
    might_fault();
    pid_t peer = current->peer_pid;
    if (peer)
        return zero_rest(to, n, host_peer_copy_from(peer, to, from, n));
    unsigned long reach = user_reach(from, n);
    unsigned long left = host_copy_from_user(to, from, reach);
    /* A page of a mapping that was never touched is faulted in, then retried. */
    while (left && fault_in_user((const char *)from + (reach - left), 0) == 0) {
        unsigned long before = left;
        left = host_copy_from_user((char *)to + (reach - left), (const char *)from + (reach - left),
                                   left);
        if (left == before)
            break;
    }
    return zero_rest(to, n, left + (n - reach));
}

extern "C" unsigned long copy_to_user(void __user *to, const void *from, unsigned long n) {
    might_fault();
    pid_t peer = current->peer_pid;
    if (peer)
        return host_peer_copy_to(peer, to, from, n);
    unsigned long reach = user_reach(to, n);
    unsigned long left = host_copy_to_user(to, from, reach);
    while (left && fault_in_user((char *)to + (reach - left), 1) == 0) {
        unsigned long before = left;
        left = host_copy_to_user((char *)to + (reach - left), (const char *)from + (reach - left),
                                 left);
        if (left == before)
            break;
    }
    return left + (n - reach);
}

extern "C" unsigned long clear_user(void __user *to, unsigned long n) {
    static const char zeros[256] = {0};
    unsigned long done = 0;
    while (done < n) {
        unsigned long chunk = min(n - done, (unsigned long)sizeof(zeros));
        unsigned long left = copy_to_user((char *)to + done, zeros, chunk);
        done += chunk - left;
        if (left)
            break;
    }
    return n - done;
}

extern "C" int access_ok(int type, const void __user *addr, unsigned long size) {
    (void)type;
    unsigned long a = (unsigned long)addr;
    return a + size >= a && a + size <= TASK_SIZE;
}
