/*
 * Sleeping mutexes: one owner, handed to the first waiter on unlock. Only the
 * owner may unlock.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/mutex.h>
#include <linux/errno.h>

#include "internal.h"

struct mutex_waiter {
    struct list_head list;
    struct task_struct *task;
    int granted;
};

extern "C" void __mutex_init(struct mutex *lock, const char *name, struct lock_class_key *key) {
    lock->locked = 0;
    __spin_lock_init(&lock->wait_lock, "&lock->wait_lock", key);
    lockdep_init_map(&lock->wait_lock.dep_map, "&lock->wait_lock", key, 1);
    INIT_LIST_HEAD(&lock->wait_list);
    lock->owner = NULL;
    lockdep_init_map(&lock->dep_map, name, key, 0);
    lock->dep_map.kind = LOCKDEP_MUTEX;
}

static int lock_common(struct mutex *lock, long state, unsigned long ip) {
    might_sleep();
    lock_acquire(&lock->dep_map, lock, 0, 0, ip);
    spin_lock_irq(&lock->wait_lock);
    if (!lock->locked) {
        lock->locked = 1;
        lock->owner = current;
        spin_unlock_irq(&lock->wait_lock);
        return 0;
    }
    struct mutex_waiter waiter;
    waiter.task = current;
    waiter.granted = 0;
    list_add_tail(&waiter.list, &lock->wait_list);
    for (;;) {
        if (state == TASK_INTERRUPTIBLE && signal_pending(current)) {
            list_del(&waiter.list);
            spin_unlock_irq(&lock->wait_lock);
            lock_release(&lock->dep_map, lock);
            return -EINTR;
        }
        __atomic_store_n(&current->state, state, __ATOMIC_SEQ_CST);
        spin_unlock_irq(&lock->wait_lock);
        schedule();
        spin_lock_irq(&lock->wait_lock);
        if (waiter.granted)
            break;
    }
    lock->owner = current;
    spin_unlock_irq(&lock->wait_lock);
    return 0;
}

extern "C" void mutex_lock(struct mutex *lock) {
    lock_common(lock, TASK_UNINTERRUPTIBLE, _RET_IP_);
}

extern "C" int mutex_lock_interruptible(struct mutex *lock) {
    return lock_common(lock, TASK_INTERRUPTIBLE, _RET_IP_);
}

extern "C" int mutex_trylock(struct mutex *lock) {
    unsigned long flags;
    int ret = 0;
    spin_lock_irqsave(&lock->wait_lock, flags);
    if (!lock->locked) {
        lock->locked = 1;
        lock->owner = current;
        ret = 1;
    }
    spin_unlock_irqrestore(&lock->wait_lock, flags);
    if (ret)
        lock_acquire(&lock->dep_map, lock, 1, 0, _RET_IP_);
    return ret;
}

extern "C" void mutex_unlock(struct mutex *lock) {
    unsigned long flags;
    spin_lock_irqsave(&lock->wait_lock, flags);
    if (!lock->locked || lock->owner != current)
        kernel_die("BUG: mutex_unlock of %s by %s/%d, which does not own it\n", lock->dep_map.name,
                   current->comm, current->pid);
    spin_unlock_irqrestore(&lock->wait_lock, flags);
    lock_release(&lock->dep_map, lock);
    spin_lock_irqsave(&lock->wait_lock, flags);
    if (list_empty(&lock->wait_list)) {
        lock->locked = 0;
        lock->owner = NULL;
    } else {
        struct mutex_waiter *w = list_first_entry(&lock->wait_list, struct mutex_waiter, list);
        list_del(&w->list);
        w->granted = 1;
        lock->owner = w->task;
        wake_up_process(w->task);
    }
    spin_unlock_irqrestore(&lock->wait_lock, flags);
}

extern "C" int mutex_is_locked(struct mutex *lock) {
    unsigned long flags;
    spin_lock_irqsave(&lock->wait_lock, flags);
    int locked = lock->locked;
    spin_unlock_irqrestore(&lock->wait_lock, flags);
    return locked;
}
