#ifndef _ASM_SYSTEM_H
#define _ASM_SYSTEM_H

/*
 * Memory barriers, as on x86-64. The thread sanitizer cannot model fences;
 * under it they are compiler barriers (which is what smp_wmb() is on x86),
 * and the words they order are accessed with ACCESS_ONCE or atomics.
 */
#ifdef __SANITIZE_THREAD__
#define mb() __asm__ __volatile__("" ::: "memory")
#define rmb() __asm__ __volatile__("" ::: "memory")
#define wmb() __asm__ __volatile__("" ::: "memory")
#else
#define mb() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define rmb() __atomic_thread_fence(__ATOMIC_ACQUIRE)
#define wmb() __atomic_thread_fence(__ATOMIC_RELEASE)
#endif
#define smp_mb() mb()
#define smp_rmb() rmb()
#define smp_wmb() wmb()

/* Stores n at *ptr if it holds old; returns what it held. A full barrier,
 * as the locked instruction is on x86. */
#define cmpxchg(ptr, old, n) __sync_val_compare_and_swap((ptr), (old), (n))

#endif
