#ifndef _LINUX_HARDIRQ_H
#define _LINUX_HARDIRQ_H

extern "C" {
/* In a simulated interrupt (a disk's completion thread). */
int in_interrupt(void);
int in_irq(void);
/* Holding a spin lock, or in an interrupt. */
int in_atomic(void);
}

#endif
