/*
 * Counting semaphores: a count under a spin lock and a FIFO of sleepers; up()
 * hands the count straight to the first sleeper. The lock validator sees a
 * down as a lock taken, announced before it may sleep, until the semaphore
 * shows itself an event (lockdep.cpp).
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/semaphore.h>
#include <linux/errno.h>

#include "internal.h"

struct semaphore_waiter {
    struct list_head list;
    struct task_struct *task;
    int up;
};

extern "C" void __sema_init(struct semaphore *sem, int val, const char *name,
                            struct lock_class_key *key) {
    __spin_lock_init(&sem->lock, "&sem->lock", key);
    lockdep_init_map(&sem->lock.dep_map, "&sem->lock", key, 1);
    sem->count = (unsigned int)val;
    INIT_LIST_HEAD(&sem->wait_list);
    lockdep_init_map(&sem->dep_map, name, key, 0);
    sem->dep_map.kind = LOCKDEP_SEMAPHORE;
}

/* Called with sem->lock held and interrupts off; returns with both again. */
static int down_common(struct semaphore *sem, long state) {
    struct task_struct *task = current;
    struct semaphore_waiter waiter;
    list_add_tail(&waiter.list, &sem->wait_list);
    waiter.task = task;
    waiter.up = 0;
    for (;;) {
        if (state == TASK_INTERRUPTIBLE && signal_pending(task)) {
            list_del(&waiter.list);
            return -EINTR;
        }
        __atomic_store_n(&task->state, state, __ATOMIC_SEQ_CST);
        spin_unlock_irq(&sem->lock);
        schedule();
        spin_lock_irq(&sem->lock);
        if (waiter.up)
            return 0;
    }
}

/* The instance the validator knows is the map: the spin lock, the first
 * member, shares the semaphore's address. */
static int down_state(struct semaphore *sem, long state, unsigned long ip) {
    unsigned long flags;
    int result = 0, slept = 0;
    might_sleep();
    lock_acquire(&sem->dep_map, &sem->dep_map, 0, 0, ip);
    spin_lock_irqsave(&sem->lock, flags);
    if (likely(sem->count > 0)) {
        sem->count--;
    } else {
        result = down_common(sem, state);
        slept = 1;
    }
    spin_unlock_irqrestore(&sem->lock, flags);
    if (result)
        lock_release(&sem->dep_map, &sem->dep_map);
    else if (slept)
        lock_acquired(&sem->dep_map);
    return result;
}

extern "C" void down(struct semaphore *sem) {
    down_state(sem, TASK_UNINTERRUPTIBLE, _RET_IP_);
}

extern "C" int down_interruptible(struct semaphore *sem) {
    return down_state(sem, TASK_INTERRUPTIBLE, _RET_IP_);
}

extern "C" int down_trylock(struct semaphore *sem) {
    unsigned long flags;
    int taken = 0;
    spin_lock_irqsave(&sem->lock, flags);
    if (sem->count > 0) {
        sem->count--;
        taken = 1;
    }
    spin_unlock_irqrestore(&sem->lock, flags);
    if (taken)
        lock_acquire(&sem->dep_map, &sem->dep_map, 1, 0, _RET_IP_);
    return !taken;
}

extern "C" void up(struct semaphore *sem) {
    unsigned long flags;
    lockdep_sem_up(&sem->dep_map, &sem->dep_map);
    spin_lock_irqsave(&sem->lock, flags);
    if (list_empty(&sem->wait_list)) {
        sem->count++;
    } else {
        struct semaphore_waiter *waiter =
            list_first_entry(&sem->wait_list, struct semaphore_waiter, list);
        list_del(&waiter->list);
        waiter->up = 1;
        wake_up_process(waiter->task);
    }
    spin_unlock_irqrestore(&sem->lock, flags);
}
