/*
 * Wait queues and completions, on top of the scheduler's sleep and wake-up.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/errno.h>

#include "internal.h"

extern "C" void __init_waitqueue_head(wait_queue_head_t *q, const char *name,
                                      struct lock_class_key *key) {
    __spin_lock_init(&q->lock, name, key);
    INIT_LIST_HEAD(&q->task_list);
}

extern "C" int default_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key) {
    (void)sync;
    (void)key;
    return wake_up_state((struct task_struct *)wait->private_data, mode);
}

extern "C" int autoremove_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key) {
    int ret = default_wake_function(wait, mode, sync, key);
    if (ret)
        list_del_init(&wait->task_list);
    return ret;
}

extern "C" void add_wait_queue(wait_queue_head_t *q, wait_queue_t *wait) {
    unsigned long flags;
    wait->flags &= ~WQ_FLAG_EXCLUSIVE;
    spin_lock_irqsave(&q->lock, flags);
    list_add(&wait->task_list, &q->task_list);
    spin_unlock_irqrestore(&q->lock, flags);
}

extern "C" void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *wait) {
    unsigned long flags;
    wait->flags |= WQ_FLAG_EXCLUSIVE;
    spin_lock_irqsave(&q->lock, flags);
    list_add_tail(&wait->task_list, &q->task_list);
    spin_unlock_irqrestore(&q->lock, flags);
}

extern "C" void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait) {
    unsigned long flags;
    spin_lock_irqsave(&q->lock, flags);
    list_del(&wait->task_list);
    spin_unlock_irqrestore(&q->lock, flags);
}

extern "C" void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *wait, int state) {
    unsigned long flags;
    wait->flags &= ~WQ_FLAG_EXCLUSIVE;
    spin_lock_irqsave(&q->lock, flags);
    if (list_empty(&wait->task_list))
        list_add(&wait->task_list, &q->task_list);
    set_current_state(state);
    spin_unlock_irqrestore(&q->lock, flags);
}

extern "C" void finish_wait(wait_queue_head_t *q, wait_queue_t *wait) {
    unsigned long flags;
    __set_current_state(TASK_RUNNING);
    /* Always under the lock: the waker may be unlinking the entry. */
    spin_lock_irqsave(&q->lock, flags);
    if (!list_empty(&wait->task_list))
        list_del_init(&wait->task_list);
    spin_unlock_irqrestore(&q->lock, flags);
}

static void wake_up_common(wait_queue_head_t *q, unsigned int mode, int nr, void *key) {
    wait_queue_t *curr, *next;
    list_for_each_entry_safe(curr, next, &q->task_list, task_list) {
        unsigned int flags = curr->flags;
        if (curr->func(curr, mode, 0, key) && (flags & WQ_FLAG_EXCLUSIVE) && !--nr)
            break;
    }
}

extern "C" void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr, void *key) {
    unsigned long flags;
    spin_lock_irqsave(&q->lock, flags);
    wake_up_common(q, mode, nr, key);
    spin_unlock_irqrestore(&q->lock, flags);
}

static int do_wait_for_completion(struct completion *x, int state) {
    might_sleep();
    unsigned long flags;
    spin_lock_irqsave(&x->wait.lock, flags);
    if (!x->done) {
        DECLARE_WAITQUEUE(wait, current);
        wait.flags |= WQ_FLAG_EXCLUSIVE;
        list_add_tail(&wait.task_list, &x->wait.task_list);
        do {
            if (state == TASK_INTERRUPTIBLE && signal_pending(current)) {
                list_del(&wait.task_list);
                spin_unlock_irqrestore(&x->wait.lock, flags);
                return -ERESTARTSYS;
            }
            __set_current_state(state);
            spin_unlock_irqrestore(&x->wait.lock, flags);
            schedule();
            spin_lock_irqsave(&x->wait.lock, flags);
        } while (!x->done);
        list_del(&wait.task_list);
    }
    x->done--;
    spin_unlock_irqrestore(&x->wait.lock, flags);
    return 0;
}

extern "C" void wait_for_completion(struct completion *x) {
    do_wait_for_completion(x, TASK_UNINTERRUPTIBLE);
}

extern "C" int wait_for_completion_interruptible(struct completion *x) {
    return do_wait_for_completion(x, TASK_INTERRUPTIBLE);
}

extern "C" void complete(struct completion *x) {
    unsigned long flags;
    spin_lock_irqsave(&x->wait.lock, flags);
    x->done++;
    wake_up_common(&x->wait, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, 1, NULL);
    spin_unlock_irqrestore(&x->wait.lock, flags);
}

extern "C" void complete_all(struct completion *x) {
    unsigned long flags;
    spin_lock_irqsave(&x->wait.lock, flags);
    x->done += UINT_MAX / 2;
    wake_up_common(&x->wait, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, 0, NULL);
    spin_unlock_irqrestore(&x->wait.lock, flags);
}

extern "C" void complete_and_exit(struct completion *comp, long code) {
    /* Marked as exiting first: once the completion fires, whoever waited
     * may unload the module whose code started this thread. */
    __atomic_fetch_or(&current->flags, PF_EXITING, __ATOMIC_SEQ_CST);
    if (comp)
        complete(comp);
    do_exit(code);
}
