#ifndef _LINUX_RWSEM_H
#define _LINUX_RWSEM_H

#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/lockdep.h>

/*
 * Read-write semaphore, fair in arrival order: a reader that arrives while a
 * writer waits queues behind it, so a task that takes the read side twice can
 * deadlock against a writer, as on a real kernel.
 */
struct rw_semaphore {
    long activity; /* readers holding it, or -1 for a writer */
    spinlock_t wait_lock;
    struct list_head wait_list;
    struct lockdep_map dep_map;
};

#define __RWSEM_INITIALIZER(name)                                                    \
    {                                                                                \
        0, __SPIN_LOCK_UNLOCKED((name).wait_lock), LIST_HEAD_INIT((name).wait_list), \
            STATIC_LOCKDEP_MAP_INIT_KIND(#name, NULL, LOCKDEP_RWSEM)                 \
    }
#define DECLARE_RWSEM(name) struct rw_semaphore name = __RWSEM_INITIALIZER(name)

#define init_rwsem(sem)                     \
    do {                                    \
        static struct lock_class_key __key; \
        __init_rwsem((sem), #sem, &__key);  \
    } while (0)

extern "C" {
void __init_rwsem(struct rw_semaphore *sem, const char *name, struct lock_class_key *key);
void down_read(struct rw_semaphore *sem);
int down_read_trylock(struct rw_semaphore *sem);
void down_write(struct rw_semaphore *sem);
int down_write_trylock(struct rw_semaphore *sem);
void up_read(struct rw_semaphore *sem);
void up_write(struct rw_semaphore *sem);
void downgrade_write(struct rw_semaphore *sem);
}

#endif
