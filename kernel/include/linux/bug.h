#ifndef _LINUX_BUG_H
#define _LINUX_BUG_H
#include <asm/bug.h>
#endif
