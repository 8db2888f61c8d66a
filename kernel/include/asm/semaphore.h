#ifndef _ASM_SEMAPHORE_H
#define _ASM_SEMAPHORE_H
#include <linux/semaphore.h>
#endif
