/*
 * Counting semaphores: a count under a spin lock and a FIFO of sleepers; up()
 * hands the count straight to the first sleeper.
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

extern "C" void __sema_init(struct semaphore *sem, int val, struct lock_class_key *key) {
    __spin_lock_init(&sem->lock, "&sem->lock", key);
    sem->count = (unsigned int)val;
    INIT_LIST_HEAD(&sem->wait_list);
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

extern "C" void down(struct semaphore *sem) {
    unsigned long flags;
    might_sleep();
    spin_lock_irqsave(&sem->lock, flags);
    if (likely(sem->count > 0))
        sem->count--;
    else
        down_common(sem, TASK_UNINTERRUPTIBLE);
    spin_unlock_irqrestore(&sem->lock, flags);
}

extern "C" int down_interruptible(struct semaphore *sem) {
    unsigned long flags;
    int result = 0;
    might_sleep();
    spin_lock_irqsave(&sem->lock, flags);
    if (likely(sem->count > 0))
        sem->count--;
    else
        result = down_common(sem, TASK_INTERRUPTIBLE);
    spin_unlock_irqrestore(&sem->lock, flags);
    return result;
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
    return !taken;
}

extern "C" void up(struct semaphore *sem) {
    unsigned long flags;
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
