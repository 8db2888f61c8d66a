#ifndef _LINUX_KERNEL_H
#define _LINUX_KERNEL_H

#include <stdarg.h>
#include <linux/types.h>
#include <linux/compiler.h>
#include <linux/stddef.h>
#include <asm/bug.h>

#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"

#define INT_MAX ((int)(~0U >> 1))
#define INT_MIN (-INT_MAX - 1)
#define UINT_MAX (~0U)
#define LONG_MAX ((long)(~0UL >> 1))
#define ULONG_MAX (~0UL)

#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))

#define container_of(ptr, type, member) ((type *)((char *)(ptr) - __builtin_offsetof(type, member)))

#define min(x, y)                      \
    ({                                 \
        __typeof__(x) _min1 = (x);     \
        __typeof__(y) _min2 = (y);     \
        (void)(&_min1 == &_min2);      \
        _min1 < _min2 ? _min1 : _min2; \
    })
#define max(x, y)                      \
    ({                                 \
        __typeof__(x) _max1 = (x);     \
        __typeof__(y) _max2 = (y);     \
        (void)(&_max1 == &_max2);      \
        _max1 > _max2 ? _max1 : _max2; \
    })
#define min_t(type, x, y)      \
    ({                         \
        type __x = (x);        \
        type __y = (y);        \
        __x < __y ? __x : __y; \
    })
#define max_t(type, x, y)      \
    ({                         \
        type __x = (x);        \
        type __y = (y);        \
        __x > __y ? __x : __y; \
    })

extern "C" {

int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int vprintk(const char *fmt, va_list args) __attribute__((format(printf, 1, 0)));
/* The formatting functions are the C library's own. */
int sprintf(char *buf, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int snprintf(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int vsnprintf(char *buf, size_t size, const char *fmt, va_list args)
    __attribute__((format(printf, 3, 0)));
void dump_stack(void);
__attribute__((noreturn)) void panic(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Checks that the caller may sleep: no spin lock held, interrupts enabled. */
void __might_sleep(const char *file, int line);
#define might_sleep() __might_sleep(__FILE__, __LINE__)
}

#endif
