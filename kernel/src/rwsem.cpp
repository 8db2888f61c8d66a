/*
 * Read-write semaphores, granted in arrival order: when the lock frees up,
 * the first waiter is served, a writer alone or a run of readers together.
 * Either side is announced to the lock validator before it may wait.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/rwsem.h>

#include "internal.h"

#define RWSEM_WAITING_FOR_READ 1
#define RWSEM_WAITING_FOR_WRITE 2

struct rwsem_waiter {
    struct list_head list;
    struct task_struct *task; /* cleared by the waker when granted */
    unsigned int flags;
};

extern "C" void __init_rwsem(struct rw_semaphore *sem, const char *name,
                             struct lock_class_key *key) {
    sem->activity = 0;
    __spin_lock_init(&sem->wait_lock, "&sem->wait_lock", key);
    lockdep_init_map(&sem->wait_lock.dep_map, "&sem->wait_lock", key, 1);
    INIT_LIST_HEAD(&sem->wait_list);
    lockdep_init_map(&sem->dep_map, name, key, 0);
    sem->dep_map.kind = LOCKDEP_RWSEM;
}

static void grant(struct rwsem_waiter *waiter) {
    struct task_struct *tsk = waiter->task;
    list_del(&waiter->list);
    __atomic_store_n(&waiter->task, (struct task_struct *)NULL, __ATOMIC_SEQ_CST);
    wake_up_process(tsk);
}

/* Called with wait_lock held and the lock free (or just downgraded). */
static void do_wake(struct rw_semaphore *sem, int wakewrite) {
    struct rwsem_waiter *waiter = list_first_entry(&sem->wait_list, struct rwsem_waiter, list);
    if (waiter->flags & RWSEM_WAITING_FOR_WRITE) {
        if (!wakewrite)
            return;
        sem->activity = -1;
        grant(waiter);
        return;
    }
    long woken = 0;
    while (!list_empty(&sem->wait_list)) {
        waiter = list_first_entry(&sem->wait_list, struct rwsem_waiter, list);
        if (!(waiter->flags & RWSEM_WAITING_FOR_READ))
            break;
        grant(waiter);
        woken++;
    }
    sem->activity += woken;
}

static void wait_granted(struct rw_semaphore *sem, unsigned int flags) {
    struct task_struct *tsk = current;
    struct rwsem_waiter waiter;
    waiter.task = tsk;
    waiter.flags = flags;
    list_add_tail(&waiter.list, &sem->wait_list);
    __atomic_store_n(&tsk->state, TASK_UNINTERRUPTIBLE, __ATOMIC_SEQ_CST);
    spin_unlock_irq(&sem->wait_lock);
    for (;;) {
        if (!__atomic_load_n(&waiter.task, __ATOMIC_SEQ_CST))
            break;
        schedule();
        __atomic_store_n(&tsk->state, TASK_UNINTERRUPTIBLE, __ATOMIC_SEQ_CST);
    }
    __atomic_store_n(&tsk->state, TASK_RUNNING, __ATOMIC_SEQ_CST);
}

extern "C" void down_read(struct rw_semaphore *sem) {
    might_sleep();
    lock_acquire(&sem->dep_map, sem, 0, 1, _RET_IP_);
    spin_lock_irq(&sem->wait_lock);
    if (sem->activity >= 0 && list_empty(&sem->wait_list)) {
        sem->activity++;
        spin_unlock_irq(&sem->wait_lock);
        return;
    }
    wait_granted(sem, RWSEM_WAITING_FOR_READ);
}

extern "C" int down_read_trylock(struct rw_semaphore *sem) {
    unsigned long flags;
    int ret = 0;
    spin_lock_irqsave(&sem->wait_lock, flags);
    if (sem->activity >= 0 && list_empty(&sem->wait_list)) {
        sem->activity++;
        ret = 1;
    }
    spin_unlock_irqrestore(&sem->wait_lock, flags);
    if (ret)
        lock_acquire(&sem->dep_map, sem, 1, 1, _RET_IP_);
    return ret;
}

extern "C" void down_write(struct rw_semaphore *sem) {
    might_sleep();
    lock_acquire(&sem->dep_map, sem, 0, 0, _RET_IP_);
    spin_lock_irq(&sem->wait_lock);
    if (sem->activity == 0 && list_empty(&sem->wait_list)) {
        sem->activity = -1;
        spin_unlock_irq(&sem->wait_lock);
        return;
    }
    wait_granted(sem, RWSEM_WAITING_FOR_WRITE);
}

extern "C" int down_write_trylock(struct rw_semaphore *sem) {
    unsigned long flags;
    int ret = 0;
    spin_lock_irqsave(&sem->wait_lock, flags);
    if (sem->activity == 0 && list_empty(&sem->wait_list)) {
        sem->activity = -1;
        ret = 1;
    }
    spin_unlock_irqrestore(&sem->wait_lock, flags);
    if (ret)
        lock_acquire(&sem->dep_map, sem, 1, 0, _RET_IP_);
    return ret;
}

extern "C" void up_read(struct rw_semaphore *sem) {
    unsigned long flags;
    lock_release(&sem->dep_map, sem);
    spin_lock_irqsave(&sem->wait_lock, flags);
    if (sem->activity <= 0)
        kernel_die("BUG: up_read() of rw_semaphore %s not held for reading\n", sem->dep_map.name);
    if (--sem->activity == 0 && !list_empty(&sem->wait_list))
        do_wake(sem, 1);
    spin_unlock_irqrestore(&sem->wait_lock, flags);
}

extern "C" void up_write(struct rw_semaphore *sem) {
    unsigned long flags;
    lock_release(&sem->dep_map, sem);
    spin_lock_irqsave(&sem->wait_lock, flags);
    if (sem->activity != -1)
        kernel_die("BUG: up_write() of rw_semaphore %s not held for writing\n", sem->dep_map.name);
    sem->activity = 0;
    if (!list_empty(&sem->wait_list))
        do_wake(sem, 1);
    spin_unlock_irqrestore(&sem->wait_lock, flags);
}

extern "C" void downgrade_write(struct rw_semaphore *sem) {
    unsigned long flags;
    struct task_struct *t = current;
    for (int i = 0; i < t->lockdep_depth; i++)
        if (t->held_locks[i].instance == sem)
            t->held_locks[i].read = 1;
    spin_lock_irqsave(&sem->wait_lock, flags);
    sem->activity = 1;
    if (!list_empty(&sem->wait_list))
        do_wake(sem, 0);
    spin_unlock_irqrestore(&sem->wait_lock, flags);
}
