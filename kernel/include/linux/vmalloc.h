#ifndef _LINUX_VMALLOC_H
#define _LINUX_VMALLOC_H

#include <linux/types.h>

extern "C" {
void *vmalloc(unsigned long size);
void vfree(const void *addr);
}

#endif
