#ifndef _LINUX_COMPILER_H
#define _LINUX_COMPILER_H

#define __user
#define __kernel
#define __iomem
#define __force
#define __nocast
#define __must_check __attribute__((warn_unused_result))
#define __always_inline inline __attribute__((always_inline))
#define noinline __attribute__((noinline))
#define __used __attribute__((used))
#define __maybe_unused __attribute__((unused))
#define __attribute_const__ __attribute__((const))
#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)
#define barrier() __asm__ __volatile__("" ::: "memory")

/*
 * ACCESS_ONCE(x): one untorn access to a word that other tasks change without
 * a lock. Here it is a relaxed atomic access, so the race detector knows the
 * access is meant to race; on x86 it compiles to the same plain move.
 */
template <typename T>
struct __access_once_strip {
    typedef T type;
};
template <typename T>
struct __access_once_strip<volatile T> {
    typedef T type;
};
template <typename T>
struct __access_once_ref {
    T *p;
    typedef typename __access_once_strip<T>::type value_type;
    operator value_type() const { return __atomic_load_n(p, __ATOMIC_RELAXED); }
    const __access_once_ref &operator=(value_type v) const {
        __atomic_store_n(p, v, __ATOMIC_RELAXED);
        return *this;
    }
};
#define ACCESS_ONCE(x) (__access_once_ref<__typeof__(x)>{&(x)})

#endif
