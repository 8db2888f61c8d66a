#ifndef _LINUX_SEMAPHORE_H
#define _LINUX_SEMAPHORE_H

#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/lockdep.h>

/*
 * Counting semaphore. down() sleeps while the count is 0, so it may not be
 * called while atomic; up() hands the count to the longest waiter. The
 * dependency checker takes a semaphore for a lock until it is seen used as
 * an event: upped by a task that does not hold it, or still held when a
 * system call returns. From then on its class is not checked.
 */
struct semaphore {
    spinlock_t lock;
    unsigned int count;
    struct list_head wait_list;
    struct lockdep_map dep_map;
};

#define __SEMAPHORE_INITIALIZER(name, n)                                          \
    {                                                                             \
        __SPIN_LOCK_UNLOCKED((name).lock), (n), LIST_HEAD_INIT((name).wait_list), \
            STATIC_LOCKDEP_MAP_INIT_KIND(#name, NULL, LOCKDEP_SEMAPHORE)          \
    }
#define __DECLARE_SEMAPHORE_GENERIC(name, count) \
    struct semaphore name = __SEMAPHORE_INITIALIZER(name, count)
#define DECLARE_MUTEX(name) __DECLARE_SEMAPHORE_GENERIC(name, 1)

#define sema_init(sem, val)                      \
    do {                                         \
        static struct lock_class_key __key;      \
        __sema_init((sem), (val), #sem, &__key); \
    } while (0)
#define init_MUTEX(sem) sema_init(sem, 1)
#define init_MUTEX_LOCKED(sem) sema_init(sem, 0)

extern "C" {
void __sema_init(struct semaphore *sem, int val, const char *name, struct lock_class_key *key);
void down(struct semaphore *sem);
int down_interruptible(struct semaphore *sem);
/* 0 when the semaphore was taken, 1 when it was not available. */
int down_trylock(struct semaphore *sem);
void up(struct semaphore *sem);
}

#endif
