#ifndef _LINUX_SIGNAL_H
#define _LINUX_SIGNAL_H
#include <asm/signal.h>
#endif
