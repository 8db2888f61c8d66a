#ifndef _LINUX_CAPABILITY_H
#define _LINUX_CAPABILITY_H

/*
 * Capabilities: what a task may do beyond what its uid allows. The numbers
 * are the kernel's; a task's effective set is what capable() consults.
 */
#include <linux/types.h>

#define CAP_DAC_OVERRIDE 1
#define CAP_SYS_RAWIO 17
#define CAP_SYS_ADMIN 21
#define CAP_LAST_CAP 31

typedef struct kernel_cap_struct {
    __u32 cap[2];
} kernel_cap_t;

#define CAP_TO_INDEX(x) ((x) >> 5)
#define CAP_TO_MASK(x) (1U << ((x)&31))

static inline int cap_raised(kernel_cap_t c, int flag) {
    return (c.cap[CAP_TO_INDEX(flag)] & CAP_TO_MASK(flag)) != 0;
}

extern "C" {
/* Whether the current task holds the capability in its effective set. */
int capable(int cap);
}

#endif
