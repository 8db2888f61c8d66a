#ifndef _LINUX_SPINLOCK_H
#define _LINUX_SPINLOCK_H

#include <linux/types.h>
#include <linux/lockdep.h>
#include <linux/kernel.h>

struct task_struct;

#define SPINLOCK_MAGIC 0xdead4ead

/*
 * A spin lock spins. Holding one makes the task atomic: sleeping, or taking
 * it again on the same task, is a BUG. The debug fields catch a lock that was
 * never initialised and an unlock by a task that does not hold it.
 */
typedef struct {
    volatile int locked;
    unsigned int magic;
    struct task_struct *owner;
    struct lockdep_map dep_map;
} spinlock_t;

#define __SPIN_LOCK_UNLOCKED(lockname) \
    { 0, SPINLOCK_MAGIC, NULL, STATIC_LOCKDEP_MAP_INIT(#lockname, NULL) }
#define SPIN_LOCK_UNLOCKED __SPIN_LOCK_UNLOCKED(old_style_spin_init)
#define DEFINE_SPINLOCK(x) spinlock_t x = __SPIN_LOCK_UNLOCKED(x)

#define spin_lock_init(lock)                     \
    do {                                         \
        static struct lock_class_key __key;      \
        __spin_lock_init((lock), #lock, &__key); \
    } while (0)

extern "C" {
void __spin_lock_init(spinlock_t *lock, const char *name, struct lock_class_key *key);
void _spin_lock(spinlock_t *lock);
void _spin_unlock(spinlock_t *lock);
int _spin_trylock(spinlock_t *lock);
unsigned long _spin_lock_irqsave(spinlock_t *lock);
void _spin_unlock_irqrestore(spinlock_t *lock, unsigned long flags);
void _spin_lock_irq(spinlock_t *lock);
void _spin_unlock_irq(spinlock_t *lock);
int spin_is_locked(spinlock_t *lock);

/* Interrupt state of the current task: flags hold the saved state. */
unsigned long __local_irq_save(void);
void local_irq_restore(unsigned long flags);
void local_irq_disable(void);
void local_irq_enable(void);
int irqs_disabled(void);
}

#define spin_lock(lock) _spin_lock(lock)
#define spin_unlock(lock) _spin_unlock(lock)
#define spin_trylock(lock) _spin_trylock(lock)
#define spin_lock_irq(lock) _spin_lock_irq(lock)
#define spin_unlock_irq(lock) _spin_unlock_irq(lock)
#define spin_lock_irqsave(lock, flags)      \
    do {                                    \
        (flags) = _spin_lock_irqsave(lock); \
    } while (0)
#define spin_unlock_irqrestore(lock, flags) _spin_unlock_irqrestore((lock), (flags))
#define local_irq_save(flags)         \
    do {                              \
        (flags) = __local_irq_save(); \
    } while (0)

#include <asm/atomic.h>
#include <asm/system.h>

#endif
