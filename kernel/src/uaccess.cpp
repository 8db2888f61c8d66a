/*
 * Copies to and from the calling process. They may fault (and so sleep, and
 * take mmap_sem), and they stop at the first byte the process cannot give or
 * take.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <asm/uaccess.h>

#include "internal.h"

#define TASK_SIZE 0x00007ffffffff000UL

extern "C" unsigned long copy_from_user(void *to, const void __user *from, unsigned long n) {
    might_fault();
    unsigned long left = host_copy_from_user(to, from, n);
    /* A page of a mapping that was never touched is faulted in, then retried. */
    while (left && fault_in_user((const char *)from + (n - left), 0) == 0) {
        unsigned long before = left;
        left = host_copy_from_user((char *)to + (n - left), (const char *)from + (n - left), left);
        if (left == before)
            break;
    }
    /* What could not be read is zeroed, so the kernel never sees stale bytes. */
    if (left)
        memset((char *)to + (n - left), 0, left);
    return left;
}

extern "C" unsigned long copy_to_user(void __user *to, const void *from, unsigned long n) {
    might_fault();
    unsigned long left = host_copy_to_user(to, from, n);
    while (left && fault_in_user((char *)to + (n - left), 1) == 0) {
        unsigned long before = left;
        left = host_copy_to_user((char *)to + (n - left), (const char *)from + (n - left), left);
        if (left == before)
            break;
    }
    return left;
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
