/*
 * Wait queues and completions, on top of the scheduler's sleep and wake-up.
 * The lock validator keeps a class per init site for each, as for locks, and
 * sees the sleeping locks a waiter holds and those its waker held.
 *
 * A completion is one event: its wake-up counts whenever someone waits (a
 * task that completes its own request before it waits holds what it holds
 * for itself). A wait queue often serves several conditions, so only the
 * wake-up that ends a wait counts: the waker leaves its locks in each entry it
 * wakes, and the waiter hands the last ones to the validator as it leaves.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/errno.h>

#include "internal.h"

/* The waiter holds a sleeping lock while it waits: wakers leave a note. */
#define WQ_FLAG_HOLDS_LOCKS 0x100

/* Under the queue's lock: a waker may be writing the entry. */
static void start_wait(wait_queue_t *wait, int holds_locks) {
    if (holds_locks)
        wait->flags |= WQ_FLAG_HOLDS_LOCKS;
    else
        wait->flags &= ~WQ_FLAG_HOLDS_LOCKS;
    wait->wake_note.nr = 0;
}

/* Called under the queue's lock; the note is handed over after it. */
static void end_wait(wait_queue_t *wait, struct lockdep_wake_note *note) {
    note->nr = 0;
    if (wait->flags & WQ_FLAG_HOLDS_LOCKS)
        *note = wait->wake_note;
}

static void init_head(wait_queue_head_t *q, const char *name, struct lock_class_key *key,
                      int kind) {
    __spin_lock_init(&q->lock, name, key);
    INIT_LIST_HEAD(&q->task_list);
    lockdep_init_map(&q->dep_map, name, key, 1);
    q->dep_map.kind = kind;
}

extern "C" void __init_waitqueue_head(wait_queue_head_t *q, const char *name,
                                      struct lock_class_key *key) {
    init_head(q, name, key, LOCKDEP_WAITQUEUE);
}

extern "C" void __init_completion(struct completion *x, const char *name,
                                  struct lock_class_key *key) {
    x->done = 0;
    init_head(&x->wait, name, key, LOCKDEP_COMPLETION);
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
    int holds = lockdep_wait(&q->dep_map, _RET_IP_);
    wait->flags &= ~WQ_FLAG_EXCLUSIVE;
    spin_lock_irqsave(&q->lock, flags);
    start_wait(wait, holds);
    list_add(&wait->task_list, &q->task_list);
    spin_unlock_irqrestore(&q->lock, flags);
}

extern "C" void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *wait) {
    unsigned long flags;
    int holds = lockdep_wait(&q->dep_map, _RET_IP_);
    wait->flags |= WQ_FLAG_EXCLUSIVE;
    spin_lock_irqsave(&q->lock, flags);
    start_wait(wait, holds);
    list_add_tail(&wait->task_list, &q->task_list);
    spin_unlock_irqrestore(&q->lock, flags);
}

extern "C" void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait) {
    unsigned long flags;
    struct lockdep_wake_note note;
    spin_lock_irqsave(&q->lock, flags);
    list_del(&wait->task_list);
    end_wait(wait, &note);
    spin_unlock_irqrestore(&q->lock, flags);
    lockdep_wait_done(&q->dep_map, &note);
}

extern "C" void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *wait, int state) {
    unsigned long flags;
    int holds = lockdep_wait(&q->dep_map, _RET_IP_);
    wait->flags &= ~WQ_FLAG_EXCLUSIVE;
    spin_lock_irqsave(&q->lock, flags);
    start_wait(wait, holds);
    if (list_empty(&wait->task_list))
        list_add(&wait->task_list, &q->task_list);
    set_current_state(state);
    spin_unlock_irqrestore(&q->lock, flags);
}

extern "C" void finish_wait(wait_queue_head_t *q, wait_queue_t *wait) {
    unsigned long flags;
    struct lockdep_wake_note note;
    __set_current_state(TASK_RUNNING);
    /* Always under the lock: the waker may be unlinking the entry. */
    spin_lock_irqsave(&q->lock, flags);
    if (!list_empty(&wait->task_list))
        list_del_init(&wait->task_list);
    end_wait(wait, &note);
    spin_unlock_irqrestore(&q->lock, flags);
    lockdep_wait_done(&q->dep_map, &note);
}

/* Under the queue's lock, so the completion is still there. */
static void completion_wake_check(struct completion *x, unsigned long ip) {
    if (!list_empty(&x->wait.task_list))
        lockdep_wake(&x->wait.dep_map, ip);
}

static void wake_up_common(wait_queue_head_t *q, unsigned int mode, int nr, void *key,
                           unsigned long ip) {
    wait_queue_t *curr, *next;
    list_for_each_entry_safe(curr, next, &q->task_list, task_list) {
        unsigned int flags = curr->flags;
        if (flags & WQ_FLAG_HOLDS_LOCKS)
            lockdep_wake_note(&curr->wake_note, ip);
        if (curr->func(curr, mode, 0, key) && (flags & WQ_FLAG_EXCLUSIVE) && !--nr)
            break;
    }
}

extern "C" void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr, void *key) {
    unsigned long flags;
    spin_lock_irqsave(&q->lock, flags);
    wake_up_common(q, mode, nr, key, _RET_IP_);
    spin_unlock_irqrestore(&q->lock, flags);
}

static int do_wait_for_completion(struct completion *x, int state, unsigned long ip) {
    might_sleep();
    lockdep_wait(&x->wait.dep_map, ip);
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
    do_wait_for_completion(x, TASK_UNINTERRUPTIBLE, _RET_IP_);
}

extern "C" int wait_for_completion_interruptible(struct completion *x) {
    return do_wait_for_completion(x, TASK_INTERRUPTIBLE, _RET_IP_);
}

extern "C" void complete(struct completion *x) {
    unsigned long flags;
    spin_lock_irqsave(&x->wait.lock, flags);
    completion_wake_check(x, _RET_IP_);
    x->done++;
    wake_up_common(&x->wait, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, 1, NULL, _RET_IP_);
    spin_unlock_irqrestore(&x->wait.lock, flags);
}

extern "C" void complete_all(struct completion *x) {
    unsigned long flags;
    spin_lock_irqsave(&x->wait.lock, flags);
    completion_wake_check(x, _RET_IP_);
    x->done += UINT_MAX / 2;
    wake_up_common(&x->wait, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, 0, NULL, _RET_IP_);
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
