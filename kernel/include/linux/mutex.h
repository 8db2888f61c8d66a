#ifndef _LINUX_MUTEX_H
#define _LINUX_MUTEX_H

#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/lockdep.h>

struct mutex {
    int locked;
    spinlock_t wait_lock;
    struct list_head wait_list;
    struct task_struct *owner;
    struct lockdep_map dep_map;
};

#define __MUTEX_INITIALIZER(lockname)                                                          \
    {                                                                                          \
        0, __SPIN_LOCK_UNLOCKED(lockname.wait_lock), LIST_HEAD_INIT(lockname.wait_list), NULL, \
            STATIC_LOCKDEP_MAP_INIT_KIND(#lockname, NULL, LOCKDEP_MUTEX)                       \
    }
#define DEFINE_MUTEX(mutexname) struct mutex mutexname = __MUTEX_INITIALIZER(mutexname)

#define mutex_init(mutex)                      \
    do {                                       \
        static struct lock_class_key __key;    \
        __mutex_init((mutex), #mutex, &__key); \
    } while (0)

extern "C" {
void __mutex_init(struct mutex *lock, const char *name, struct lock_class_key *key);
void mutex_lock(struct mutex *lock);
int mutex_lock_interruptible(struct mutex *lock);
int mutex_trylock(struct mutex *lock);
void mutex_unlock(struct mutex *lock);
int mutex_is_locked(struct mutex *lock);
}

#endif
