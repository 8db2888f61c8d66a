#ifndef _LINUX_DELAY_H
#define _LINUX_DELAY_H

extern "C" {
void msleep(unsigned int msecs);
void ssleep(unsigned int seconds);
void udelay(unsigned long usecs);
void mdelay(unsigned long msecs);
}

#endif
