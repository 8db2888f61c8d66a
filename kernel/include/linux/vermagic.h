#ifndef _LINUX_VERMAGIC_H
#define _LINUX_VERMAGIC_H

#include <linux/version.h>
#include <linux/utsrelease.h>
#include <linux/autoconf.h>

#ifdef CONFIG_SMP
#define MODULE_VERMAGIC_SMP "SMP "
#else
#define MODULE_VERMAGIC_SMP ""
#endif
#define MODULE_VERMAGIC_MODULE_UNLOAD "mod_unload "

#define VERMAGIC_STRING UTS_RELEASE " " MODULE_VERMAGIC_SMP MODULE_VERMAGIC_MODULE_UNLOAD

#endif
