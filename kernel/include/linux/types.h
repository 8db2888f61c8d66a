#ifndef _LINUX_TYPES_H
#define _LINUX_TYPES_H

#include <linux/version.h>
#include <linux/compiler.h>
#include <linux/stddef.h>

typedef signed char s8;
typedef unsigned char u8;
typedef signed short s16;
typedef unsigned short u16;
typedef signed int s32;
typedef unsigned int u32;
typedef signed long long s64;
typedef unsigned long long u64;
typedef u8 __u8;
typedef u16 __u16;
typedef u32 __u32;
typedef u64 __u64;
typedef s32 __s32;
typedef u16 __le16;
typedef u32 __le32;
typedef u64 __le64;

typedef __SIZE_TYPE__ size_t;
typedef long ssize_t;
typedef long long loff_t;
typedef int pid_t;
typedef unsigned int uid_t;
typedef unsigned int gid_t;
typedef unsigned short umode_t;
typedef unsigned int mode_t;
typedef long time_t;
typedef long clock_t;
typedef unsigned int gfp_t;
typedef unsigned int fmode_t;

/* Device numbers: major in bits 20 and up, minor in bits 0-19. */
typedef u32 dev_t;

/*
 * Sector and block numbers of the block layer. Kernels up to 2.6.19 print
 * them with %llu, later ones with %lu.
 */
#if LINUX_VERSION_CODE <= KERNEL_VERSION(2, 6, 19)
typedef u64 sector_t;
#else
typedef unsigned long sector_t;
#endif

struct list_head {
    struct list_head *next, *prev;
};

struct hlist_head {
    struct hlist_node *first;
};

struct hlist_node {
    struct hlist_node *next, **pprev;
};

#endif
