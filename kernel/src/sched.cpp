/*
 * Tasks and the scheduler. Every host thread that enters the kernel has a
 * task; kernel threads are host threads started by kernel_thread(). A task
 * sleeps in schedule() until wake_up_process() makes it runnable again, and
 * gives up the big kernel lock while it sleeps.
 */
#include <linux/autoconf.h>
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/smp_lock.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <linux/jiffies.h>
#include <standin/peer.h>

#include "internal.h"

/* Initial-exec: the stand-in is loaded with the program, so every thread
 * (and a module loaded later) finds its task at a fixed offset. */
__thread struct task_struct *standin_current_task __attribute__((tls_model("initial-exec")));
#define current_task standin_current_task
static struct host_mutex tasks_lock;
static LIST_HEAD(task_list);
static int next_pid = 1;
static struct host_mutex kernel_flag; /* the big kernel lock */

static struct host_mutex *sleep_lock(struct task_struct *t) {
    return (struct host_mutex *)&t->sleep_storage[0];
}
static struct host_cond *sleep_cond(struct task_struct *t) {
    return (struct host_cond *)&t->sleep_storage[5];
}

/* Flags change on the task itself (exiting) while others look at them. */
static unsigned int task_flags(struct task_struct *t) {
    return __atomic_load_n(&t->flags, __ATOMIC_SEQ_CST);
}

static long task_state(struct task_struct *t) {
    return __atomic_load_n(&t->state, __ATOMIC_SEQ_CST);
}

static void task_release(void *arg) {
    struct task_struct *t = (struct task_struct *)arg;
    host_mutex_lock(&tasks_lock);
    list_del(&t->tasks);
    host_mutex_unlock(&tasks_lock);
    if (current_task == t)
        current_task = NULL;
    host_free(t);
}

static struct task_struct *task_create(const char *comm, unsigned int flags) {
    struct task_struct *t = (struct task_struct *)host_calloc(1, sizeof(*t));
    t->lock_depth = -1;
    t->flags = flags;
    t->state = TASK_RUNNING;
    strlcpy(t->comm, comm, sizeof(t->comm));
    /* A thread started by a task is who that task is. */
    if (current_task)
        cred_copy(t, current_task);
    else
        cred_init_root(t);
    host_mutex_lock(&tasks_lock);
    t->pid = next_pid++;
    list_add_tail(&t->tasks, &task_list);
    host_mutex_unlock(&tasks_lock);
    return t;
}

/* Binds the calling host thread to t. A uniprocessor kernel runs every
 * thread on one processor. */
static void task_attach(struct task_struct *t) {
    current_task = t;
    host_thread_at_exit(task_release, t);
#ifndef CONFIG_SMP
    host_pin_to_cpu(0);
#endif
}

extern "C" struct task_struct *get_current(void) {
    if (__builtin_expect(current_task != NULL, 1))
        return current_task;
    task_attach(task_create("user", 0));
    return current_task;
}

extern "C" void standin_task_serve(int pid, unsigned int uid, unsigned int gid) {
    struct task_struct *t = current;
    t->peer_pid = pid;
    t->peer_uid = uid;
    t->peer_gid = gid;
}

void bkl_drop_for_sleep(struct task_struct *t) {
    if (t->lock_depth >= 0)
        host_mutex_unlock(&kernel_flag);
}

void bkl_retake_after_sleep(struct task_struct *t) {
    if (t->lock_depth >= 0)
        host_mutex_lock(&kernel_flag);
}

static void schedule_check(struct task_struct *t) {
    if (t->preempt_count > 0 || t->hardirq || t->irqs_off)
        kernel_die("BUG: scheduling while atomic: %s/%d/0x%08x\n", t->comm, t->pid,
                   t->preempt_count | (t->hardirq << 16) | (t->irqs_off << 28));
}

static int interrupted(struct task_struct *t) {
    return task_state(t) == TASK_INTERRUPTIBLE && signal_pending(t);
}

/* Sleeps until woken, or until the deadline (0: none) passes. */
static void sleep_until(struct task_struct *t, unsigned long long deadline) {
    host_mutex_lock(sleep_lock(t));
    while (task_state(t) != TASK_RUNNING && !interrupted(t)) {
        if (!deadline) {
            host_cond_wait(sleep_cond(t), sleep_lock(t));
            continue;
        }
        unsigned long long now = host_monotonic_ns();
        if (now >= deadline)
            break;
        host_cond_timedwait(sleep_cond(t), sleep_lock(t), deadline - now);
    }
    __atomic_store_n(&t->state, TASK_RUNNING, __ATOMIC_SEQ_CST);
    host_mutex_unlock(sleep_lock(t));
}

extern "C" void schedule(void) {
    struct task_struct *t = current;
    schedule_check(t);
    fuzz_point();
    bkl_drop_for_sleep(t);
    note_context_switch(t);
    if (task_state(t) == TASK_RUNNING)
        host_yield();
    else
        sleep_until(t, 0);
    note_context_switch(t);
    bkl_retake_after_sleep(t);
}

extern "C" long schedule_timeout(long timeout) {
    if (timeout == MAX_SCHEDULE_TIMEOUT) {
        schedule();
        return timeout;
    }
    struct task_struct *t = current;
    schedule_check(t);
    fuzz_point();
    bkl_drop_for_sleep(t);
    unsigned long long deadline =
        host_monotonic_ns() + (unsigned long long)(timeout > 0 ? timeout : 0) * 1000000ULL;
    note_context_switch(t);
    if (task_state(t) == TASK_RUNNING)
        host_yield();
    else
        sleep_until(t, deadline);
    note_context_switch(t);
    bkl_retake_after_sleep(t);
    unsigned long long now = host_monotonic_ns();
    return now >= deadline ? 0 : (long)((deadline - now) / 1000000ULL);
}

void task_sleep_ns(unsigned long long ns) {
    struct task_struct *t = current;
    schedule_check(t);
    fuzz_point();
    bkl_drop_for_sleep(t);
    note_context_switch(t);
    host_sleep_ns(ns);
    note_context_switch(t);
    bkl_retake_after_sleep(t);
}

int wake_up_state(struct task_struct *t, unsigned int mode) {
    if (!t)
        return 0;
    int woken = 0;
    host_mutex_lock(sleep_lock(t));
    if (task_state(t) & mode) {
        __atomic_store_n(&t->state, TASK_RUNNING, __ATOMIC_SEQ_CST);
        host_cond_signal(sleep_cond(t));
        woken = 1;
    }
    host_mutex_unlock(sleep_lock(t));
    return woken;
}

extern "C" int wake_up_process(struct task_struct *tsk) {
    return wake_up_state(tsk, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE);
}

extern "C" void yield(void) {
    set_current_state(TASK_RUNNING);
    schedule();
}

extern "C" int cond_resched(void) {
    schedule();
    return 1;
}

void irq_enter(void) {
    struct task_struct *t = current;
    t->hardirq++;
    t->irqs_off++;
}

void irq_exit(void) {
    struct task_struct *t = current;
    t->hardirq--;
    t->irqs_off--;
}

/* Kernel threads. */

static void kthread_entry(void *arg) {
    struct task_struct *t = (struct task_struct *)arg;
    task_attach(t);
    host_thread_set_name(t->comm);
    do_exit(t->thread_fn(t->thread_arg));
}

void do_exit(long code) {
    struct task_struct *t = current;
    t->exit_code = code;
    __atomic_fetch_or(&t->flags, PF_EXITING, __ATOMIC_SEQ_CST);
    if (t->preempt_count || t->lockdep_depth)
        kernel_die("BUG: %s/%d exited holding %d locks\n", t->comm, t->pid, t->lockdep_depth);
    host_thread_exit();
}

extern "C" int kernel_thread(int (*fn)(void *), void *arg, unsigned long flags) {
    (void)flags;
    if (should_fail(FAULT_THREAD, GFP_KERNEL, NULL, _RET_IP_))
        return -ENOMEM;
    struct task_struct *t = task_create(current->comm, PF_KTHREAD);
    t->thread_fn = fn;
    t->thread_arg = arg;
    pid_t pid = t->pid;
    if (host_thread_start(kthread_entry, t) != 0) {
        task_release(t);
        return -EAGAIN;
    }
    return pid;
}

extern "C" void daemonize(const char *name, ...) {
    struct task_struct *t = current;
    va_list ap;
    va_start(ap, name);
    vsnprintf(t->comm, sizeof(t->comm), name, ap);
    va_end(ap);
    host_thread_set_name(t->comm);
    /* A daemon is init's child: root again, whoever started it. */
    cred_init_root(t);
    /* A daemon starts with every signal blocked. */
    __atomic_store_n(&t->signal_allowed_mask, 0UL, __ATOMIC_SEQ_CST);
}

static unsigned long sigbit(int sig) {
    return 1UL << (sig - 1);
}

extern "C" int allow_signal(int sig) {
    if (sig < 1 || sig > 64)
        return -EINVAL;
    __atomic_fetch_or(&current->signal_allowed_mask, sigbit(sig), __ATOMIC_SEQ_CST);
    return 0;
}

extern "C" int disallow_signal(int sig) {
    if (sig < 1 || sig > 64)
        return -EINVAL;
    __atomic_fetch_and(&current->signal_allowed_mask, ~sigbit(sig), __ATOMIC_SEQ_CST);
    return 0;
}

extern "C" int signal_pending(struct task_struct *p) {
    unsigned long pending = __atomic_load_n(&p->signal_pending_mask, __ATOMIC_SEQ_CST);
    if (task_flags(p) & PF_KTHREAD)
        pending &= __atomic_load_n(&p->signal_allowed_mask, __ATOMIC_SEQ_CST);
    return pending != 0;
}

extern "C" int send_sig(int sig, struct task_struct *p, int priv) {
    (void)priv;
    if (sig < 1 || sig > 64)
        return -EINVAL;
    __atomic_fetch_or(&p->signal_pending_mask, sigbit(sig), __ATOMIC_SEQ_CST);
    if (signal_pending(p))
        wake_up_state(p, TASK_INTERRUPTIBLE);
    return 0;
}

extern "C" void flush_signals(struct task_struct *t) {
    __atomic_store_n(&t->signal_pending_mask, 0UL, __ATOMIC_SEQ_CST);
}

extern "C" struct task_struct *find_task_by_pid(pid_t nr) {
    struct task_struct *t, *found = NULL;
    host_mutex_lock(&tasks_lock);
    list_for_each_entry(t, &task_list, tasks) {
        if (t->pid == nr && !(task_flags(t) & PF_EXITING))
            found = t;
    }
    host_mutex_unlock(&tasks_lock);
    return found;
}

void for_each_kernel_thread(void (*fn)(struct task_struct *, void *), void *arg) {
    struct task_struct *t;
    host_mutex_lock(&tasks_lock);
    list_for_each_entry(t, &task_list, tasks) {
        unsigned int flags = task_flags(t);
        if ((flags & PF_KTHREAD) && !(flags & PF_EXITING))
            fn(t, arg);
    }
    host_mutex_unlock(&tasks_lock);
}

void for_each_task(void (*fn)(struct task_struct *, void *), void *arg) {
    struct task_struct *t;
    host_mutex_lock(&tasks_lock);
    list_for_each_entry(t, &task_list, tasks) fn(t, arg);
    host_mutex_unlock(&tasks_lock);
}

/* The big kernel lock. */

extern "C" void lock_kernel(void) {
    struct task_struct *t = current;
    if (++t->lock_depth == 0)
        host_mutex_lock(&kernel_flag);
}

extern "C" void unlock_kernel(void) {
    struct task_struct *t = current;
    if (t->lock_depth < 0)
        kernel_die("BUG: unlock_kernel() by %s/%d without the lock\n", t->comm, t->pid);
    if (--t->lock_depth < 0)
        host_mutex_unlock(&kernel_flag);
}

extern "C" int kernel_locked(void) {
    return current->lock_depth >= 0;
}

extern "C" unsigned long get_jiffies(void) {
    static unsigned long long base;
    if (!base)
        base = host_monotonic_ns();
    return (unsigned long)((host_monotonic_ns() - base) / 1000000ULL);
}
