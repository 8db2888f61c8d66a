#ifndef _ASM_BITOPS_H
#define _ASM_BITOPS_H

#include <linux/compiler.h>

#define BITS_PER_LONG 64
#define BIT_WORD(nr) ((nr) / BITS_PER_LONG)
#define BIT_MASK(nr) (1UL << ((nr) % BITS_PER_LONG))

/* Atomic bit operations on a bitmap of longs (little-endian bit order). */
static inline void set_bit(unsigned long nr, volatile void *addr) {
    volatile unsigned long *p = (volatile unsigned long *)addr + BIT_WORD(nr);
    __atomic_fetch_or(p, BIT_MASK(nr), __ATOMIC_SEQ_CST);
}
static inline void clear_bit(unsigned long nr, volatile void *addr) {
    volatile unsigned long *p = (volatile unsigned long *)addr + BIT_WORD(nr);
    __atomic_fetch_and(p, ~BIT_MASK(nr), __ATOMIC_SEQ_CST);
}
static inline int test_and_set_bit(unsigned long nr, volatile void *addr) {
    volatile unsigned long *p = (volatile unsigned long *)addr + BIT_WORD(nr);
    return (__atomic_fetch_or(p, BIT_MASK(nr), __ATOMIC_SEQ_CST) & BIT_MASK(nr)) != 0;
}
static inline int test_and_clear_bit(unsigned long nr, volatile void *addr) {
    volatile unsigned long *p = (volatile unsigned long *)addr + BIT_WORD(nr);
    return (__atomic_fetch_and(p, ~BIT_MASK(nr), __ATOMIC_SEQ_CST) & BIT_MASK(nr)) != 0;
}
static inline int test_bit(unsigned long nr, const volatile void *addr) {
    const volatile unsigned long *p = (const volatile unsigned long *)addr + BIT_WORD(nr);
    return (__atomic_load_n(p, __ATOMIC_RELAXED) & BIT_MASK(nr)) != 0;
}
/* Index of the lowest set bit; undefined for 0. */
static inline unsigned long __ffs(unsigned long word) {
    return (unsigned long)__builtin_ctzl(word);
}
/* 1 + index of the lowest set bit, 0 for 0. */
static inline int ffs(int x) {
    return __builtin_ffs(x);
}

#endif
