/*
 * The adaptation layer: the kernel operations whose form depends on the
 * kernel release. The rest of the driver reaches module and character-device
 * internals only through these.
 */
#ifndef VELMORA_SHIM_26_H
#define VELMORA_SHIM_26_H

#include <linux/fs.h>

int velModRegister(unsigned int major, const char *name, struct file_operations *fops);
int velCheckModUse(void);
int velModGet(void);
void velModPut(void);

#endif
