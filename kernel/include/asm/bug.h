#ifndef _ASM_BUG_H
#define _ASM_BUG_H

extern "C" {
__attribute__((noreturn)) void __kernel_bug(const char *file, int line);
void __kernel_warn(const char *file, int line);
}

#define BUG() __kernel_bug(__FILE__, __LINE__)
#define BUG_ON(condition)                       \
    do {                                        \
        if (__builtin_expect(!!(condition), 0)) \
            BUG();                              \
    } while (0)
#define WARN_ON(condition)                      \
    ({                                          \
        int __ret_warn_on = !!(condition);      \
        if (__builtin_expect(__ret_warn_on, 0)) \
            __kernel_warn(__FILE__, __LINE__);  \
        __ret_warn_on;                          \
    })

#endif
