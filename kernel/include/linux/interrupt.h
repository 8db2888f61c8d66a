#ifndef _LINUX_INTERRUPT_H
#define _LINUX_INTERRUPT_H
#include <linux/hardirq.h>
#include <linux/spinlock.h>
#endif
