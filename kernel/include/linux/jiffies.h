#ifndef _LINUX_JIFFIES_H
#define _LINUX_JIFFIES_H

#define HZ 1000

extern "C" unsigned long get_jiffies(void);
#define jiffies get_jiffies()

static inline unsigned long msecs_to_jiffies(unsigned int m) {
    return m;
}
static inline unsigned int jiffies_to_msecs(unsigned long j) {
    return (unsigned int)j;
}

#endif
