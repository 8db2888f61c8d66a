#ifndef _LINUX_RANDOM_H
#define _LINUX_RANDOM_H

extern "C" void get_random_bytes(void *buf, int nbytes);

#endif
