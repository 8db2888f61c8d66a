#ifndef _LINUX_UACCESS_H
#define _LINUX_UACCESS_H
#include <asm/uaccess.h>
#endif
