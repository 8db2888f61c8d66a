#ifndef _LINUX_ERRNO_H
#define _LINUX_ERRNO_H

#include <asm/errno.h>

/* Kernel-internal codes, never seen by user space. */
#define ERESTARTSYS 512
#define ENOIOCTLCMD 515

#endif
