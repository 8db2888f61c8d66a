#ifndef _ASM_UACCESS_H
#define _ASM_UACCESS_H

#include <linux/types.h>
#include <linux/errno.h>

#define VERIFY_READ 0
#define VERIFY_WRITE 1

/*
 * Copies between the kernel and the calling process. The user address may be
 * anything the process passed: an unmapped or protected byte makes the copy
 * stop there; the result is the number of bytes not copied.
 */
extern "C" {
unsigned long copy_from_user(void *to, const void __user *from, unsigned long n);
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n);
unsigned long clear_user(void __user *to, unsigned long n);
int access_ok(int type, const void __user *addr, unsigned long size);
}

#define __copy_from_user copy_from_user
#define __copy_to_user copy_to_user

#define put_user(x, ptr)                                              \
    ({                                                                \
        __typeof__(*(ptr)) __pu_val = (x);                            \
        copy_to_user((ptr), &__pu_val, sizeof(*(ptr))) ? -EFAULT : 0; \
    })
#define get_user(x, ptr)                                                               \
    ({                                                                                 \
        __typeof__(*(ptr)) __gu_val;                                                   \
        int __gu_err = copy_from_user(&__gu_val, (ptr), sizeof(*(ptr))) ? -EFAULT : 0; \
        (x) = __gu_err ? (__typeof__(*(ptr)))0 : __gu_val;                             \
        __gu_err;                                                                      \
    })
#define __put_user put_user
#define __get_user get_user

#endif
