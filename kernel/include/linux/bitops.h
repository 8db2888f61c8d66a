#ifndef _LINUX_BITOPS_H
#define _LINUX_BITOPS_H
#include <asm/bitops.h>
#endif
