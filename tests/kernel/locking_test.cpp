/*
 * The stand-in's locks: they exclude, they sleep and wake in order, and the
 * lock validator stops the kernel on the mistakes a real kernel's lock
 * debugging reports.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/semaphore.h>
#include <linux/rwsem.h>
#include <linux/mutex.h>
#include <linux/completion.h>
#include <linux/slab.h>
#include <linux/smp_lock.h>
#include <linux/delay.h>
#include <linux/errno.h>
#include <kunit/test.h>
#include <standin/preempt.h>

#include "internal.h"

static DEFINE_SPINLOCK(lock_a);
static DEFINE_SPINLOCK(lock_b);
static DEFINE_MUTEX(mutex_a);
static DECLARE_RWSEM(rwsem_b);
static DECLARE_MUTEX(sem_a);

/* Contended spin lock: every increment lands exactly once. */
struct counter_work {
    spinlock_t lock;
    long counter;
    int loops;
    struct completion done;
};

static int counter_thread(void *arg) {
    struct counter_work *w = (struct counter_work *)arg;
    for (int i = 0; i < w->loops; i++) {
        unsigned long flags;
        spin_lock_irqsave(&w->lock, flags);
        w->counter++;
        spin_unlock_irqrestore(&w->lock, flags);
    }
    complete(&w->done);
    return 0;
}

static void spin_lock_excludes(struct kunit *test) {
    struct counter_work w;
    spin_lock_init(&w.lock);
    w.counter = 0;
    w.loops = 20000;
    init_completion(&w.done);
    for (int i = 0; i < 4; i++)
        KUNIT_ASSERT_GT(test, kernel_thread(counter_thread, &w, 0), 0);
    for (int i = 0; i < 4; i++)
        wait_for_completion(&w.done);
    KUNIT_EXPECT_EQ(test, w.counter, 80000L);
}

static void sleeping_under_spin_lock(struct kunit *test) {
    spin_lock(&lock_a);
    down(&sem_a);
}

static void schedule_under_spin_lock(struct kunit *test) {
    unsigned long flags;
    spin_lock_irqsave(&lock_a, flags);
    (void)flags;
    schedule();
}

static void sleeping_allocation_under_spin_lock(struct kunit *test) {
    spin_lock(&lock_a);
    kfree(kmalloc(16, GFP_KERNEL));
}

static void atomic_allocation_under_spin_lock(struct kunit *test) {
    spin_lock(&lock_a);
    void *p = kmalloc(16, GFP_ATOMIC);
    spin_unlock(&lock_a);
    KUNIT_EXPECT_NOT_NULL(test, p);
    kfree(p);
}

static void spin_locks_in_both_orders(struct kunit *test) {
    spin_lock(&lock_a);
    spin_lock(&lock_b);
    spin_unlock(&lock_b);
    spin_unlock(&lock_a);
    /* The same order again is fine... */
    spin_lock(&lock_a);
    spin_lock(&lock_b);
    spin_unlock(&lock_b);
    spin_unlock(&lock_a);
    /* ...the other one is a possible deadlock, reported before it happens. */
    spin_lock(&lock_b);
    spin_lock(&lock_a);
}

static void sleeping_locks_in_both_orders(struct kunit *test) {
    mutex_lock(&mutex_a);
    down_write(&rwsem_b);
    up_write(&rwsem_b);
    mutex_unlock(&mutex_a);
    down_read(&rwsem_b);
    mutex_lock(&mutex_a);
}

static void spin_lock_twice(struct kunit *test) {
    spin_lock(&lock_a);
    spin_lock(&lock_a);
}

static void unlock_of_unheld_mutex(struct kunit *test) {
    mutex_unlock(&mutex_a);
}

static void uninitialised_spin_lock(struct kunit *test) {
    spinlock_t *l = (spinlock_t *)kzalloc(sizeof(*l), GFP_KERNEL);
    spin_lock(l);
}

static void irq_lock_taken_with_irqs_on(struct kunit *test) {
    spin_lock(&lock_a);
    spin_unlock(&lock_a);
    irq_enter();
    spin_lock(&lock_a);
}

/* A semaphore handed from one task to another, in arrival order. */
struct sem_work {
    struct semaphore *sem;
    int order[3];
    atomic_t next;
    struct completion done;
};

static int sem_waiter(void *arg) {
    struct sem_work *w = (struct sem_work *)arg;
    down(w->sem);
    w->order[atomic_inc_return(&w->next) - 1] = current->pid;
    up(w->sem);
    complete(&w->done);
    return 0;
}

static void semaphore_wakes_waiters_in_order(struct kunit *test) {
    struct semaphore sem;
    struct sem_work w;
    sema_init(&sem, 0);
    w.sem = &sem;
    atomic_set(&w.next, 0);
    init_completion(&w.done);
    int pids[3];
    for (int i = 0; i < 3; i++) {
        pids[i] = kernel_thread(sem_waiter, &w, 0);
        msleep(20); /* let it queue before the next one */
    }
    KUNIT_EXPECT_EQ(test, down_trylock(&sem), 1);
    up(&sem);
    for (int i = 0; i < 3; i++)
        wait_for_completion(&w.done);
    for (int i = 0; i < 3; i++)
        KUNIT_EXPECT_EQ(test, w.order[i], pids[i]);
    KUNIT_EXPECT_EQ(test, down_trylock(&sem), 0);
}

static int interrupted_result;

static int interruptible_sleeper(void *arg) {
    struct completion *done = (struct completion *)arg;
    struct semaphore sem;
    daemonize("sleeper");
    allow_signal(SIGKILL);
    sema_init(&sem, 0);
    interrupted_result = down_interruptible(&sem);
    complete_and_exit(done, 0);
}

static void signal_interrupts_down_interruptible(struct kunit *test) {
    DECLARE_COMPLETION(done);
    pid_t pid = kernel_thread(interruptible_sleeper, &done, 0);
    KUNIT_ASSERT_GT(test, pid, 0);
    msleep(20);
    struct task_struct *t = find_task_by_pid(pid);
    KUNIT_ASSERT_NOT_NULL(test, t);
    send_sig(SIGKILL, t, 0);
    wait_for_completion(&done);
    KUNIT_EXPECT_EQ(test, interrupted_result, -EINTR);
}

/* A reader that arrives while a writer waits queues behind the writer. */
struct rw_work {
    struct rw_semaphore *sem;
    atomic_t writer_done;
    int reader_saw_writer_done;
    struct completion done;
};

static int rw_writer(void *arg) {
    struct rw_work *w = (struct rw_work *)arg;
    down_write(w->sem);
    atomic_set(&w->writer_done, 1);
    up_write(w->sem);
    complete(&w->done);
    return 0;
}

static int rw_reader(void *arg) {
    struct rw_work *w = (struct rw_work *)arg;
    down_read(w->sem);
    w->reader_saw_writer_done = atomic_read(&w->writer_done);
    up_read(w->sem);
    complete(&w->done);
    return 0;
}

static void rwsem_reader_queues_behind_writer(struct kunit *test) {
    struct rw_semaphore sem;
    struct rw_work w;
    init_rwsem(&sem);
    w.sem = &sem;
    atomic_set(&w.writer_done, 0);
    w.reader_saw_writer_done = 0;
    init_completion(&w.done);
    down_read(&sem);
    kernel_thread(rw_writer, &w, 0);
    msleep(20);
    KUNIT_EXPECT_EQ(test, down_read_trylock(&sem), 0);
    kernel_thread(rw_reader, &w, 0);
    msleep(20);
    up_read(&sem);
    wait_for_completion(&w.done);
    wait_for_completion(&w.done);
    KUNIT_EXPECT_EQ(test, w.reader_saw_writer_done, 1);
}

/* The big kernel lock is given up while its holder sleeps. */
static atomic_t bkl_taken;

static int bkl_taker(void *arg) {
    lock_kernel();
    atomic_set(&bkl_taken, 1);
    unlock_kernel();
    complete((struct completion *)arg);
    return 0;
}

static void bkl_dropped_while_sleeping(struct kunit *test) {
    DECLARE_COMPLETION(done);
    atomic_set(&bkl_taken, 0);
    lock_kernel();
    kernel_thread(bkl_taker, &done, 0);
    for (int i = 0; i < 200 && !atomic_read(&bkl_taken); i++)
        msleep(5);
    KUNIT_EXPECT_EQ(test, atomic_read(&bkl_taken), 1);
    KUNIT_EXPECT_TRUE(test, kernel_locked());
    unlock_kernel();
    wait_for_completion(&done);
}

/* Preemption points: what a hook saw on one task, and where it holds it. */
static DEFINE_SPINLOCK(preempt_a);
static DEFINE_SPINLOCK(preempt_outer);
static DEFINE_SPINLOCK(window_lock);
static int window_value;

struct preempt_probe {
    struct task_struct *task; /* the one task it watches */
    const char *hold_at;      /* the lock after which it holds the task */
    struct completion ready, go, in_window, let_go, done;
    const char *names[8];
    unsigned long callers[8];
    int calls, depth, max_depth;
    int before, after; /* what the held task saw on each side of its window */
};

static void probe_hook(const char *name, unsigned long caller, void *ctx) {
    struct preempt_probe *p = (struct preempt_probe *)ctx;
    if (current != p->task)
        return;
    if (++p->depth > p->max_depth)
        p->max_depth = p->depth;
    if (p->calls < 8) {
        p->names[p->calls] = name;
        p->callers[p->calls] = caller;
    }
    p->calls++;
    if (p->hold_at && !strcmp(name, p->hold_at)) {
        p->hold_at = NULL; /* once */
        /* Their own unlocks do not call the hook again. */
        complete(&p->in_window);
        wait_for_completion(&p->let_go);
    }
    p->depth--;
}

/* Returns whether the lock is still taken; also keeps the last unlock from
 * being a tail call, whose return address would lie in our caller. */
static int unlock_each_way(spinlock_t *lock) {
    unsigned long flags;
    spin_lock(lock);
    spin_unlock(lock);
    spin_lock_irq(lock);
    spin_unlock_irq(lock);
    spin_lock_irqsave(lock, flags);
    spin_unlock_irqrestore(lock, flags);
    return spin_is_locked(lock);
}

static int window_task(void *arg) {
    struct preempt_probe *p = (struct preempt_probe *)arg;
    p->task = current;
    complete(&p->ready);
    wait_for_completion(&p->go);
    spin_lock(&window_lock);
    p->before = window_value;
    spin_unlock(&window_lock);
    spin_lock(&window_lock);
    p->after = window_value;
    spin_unlock(&window_lock);
    complete(&p->done);
    return 0;
}

static void preempt_hook_runs_after_the_last_unlock(struct kunit *test) {
    /* Called through a pointer, so the unlocks are in the very code whose
     * address the callers are checked against, not in an inlined copy. */
    int (*volatile unlocker)(spinlock_t *) = unlock_each_way;
    struct preempt_probe p;
    memset(&p, 0, sizeof(p));
    p.task = current;
    unsigned long flags;
    standin_set_preempt_hook(probe_hook, &p);
    int taken = unlocker(&preempt_a);
    spin_lock(&preempt_outer);
    spin_lock(&preempt_a);
    spin_unlock(&preempt_a); /* still atomic: no point */
    spin_unlock(&preempt_outer);
    local_irq_save(flags);
    spin_lock(&preempt_a);
    spin_unlock(&preempt_a); /* interrupts off: no point */
    local_irq_restore(flags);
    standin_set_preempt_hook(NULL, NULL);
    standin_preempt_hook_sync(); /* other tasks' calls may still read p */
    taken |= unlocker(&preempt_a);
    KUNIT_EXPECT_EQ(test, taken, 0);
    KUNIT_ASSERT_EQ(test, p.calls, 4);
    for (int i = 0; i < 3; i++) {
        KUNIT_EXPECT_STREQ(test, p.names[i], "preempt_a");
        KUNIT_EXPECT_LT(test, p.callers[i] - (unsigned long)unlock_each_way, 1024UL);
    }
    KUNIT_EXPECT_STREQ(test, p.names[3], "preempt_outer");

    /* A task held in its window between two critical sections sees what
     * another task did meanwhile. */
    memset(&p, 0, sizeof(p));
    p.hold_at = "window_lock";
    init_completion(&p.ready);
    init_completion(&p.go);
    init_completion(&p.in_window);
    init_completion(&p.let_go);
    init_completion(&p.done);
    window_value = 1;
    KUNIT_ASSERT_GT(test, kernel_thread(window_task, &p, 0), 0);
    wait_for_completion(&p.ready);
    standin_set_preempt_hook(probe_hook, &p);
    complete(&p.go);
    wait_for_completion(&p.in_window);
    spin_lock(&window_lock);
    window_value = 2;
    spin_unlock(&window_lock);
    complete(&p.let_go);
    wait_for_completion(&p.done);
    standin_set_preempt_hook(NULL, NULL);
    standin_preempt_hook_sync();
    KUNIT_EXPECT_EQ(test, p.before, 1);
    KUNIT_EXPECT_EQ(test, p.after, 2);
    KUNIT_EXPECT_EQ(test, p.max_depth, 1);
}

static struct kunit_case locking_cases[] = {
    KUNIT_CASE(spin_lock_excludes),
    KUNIT_CASE_BUG(sleeping_under_spin_lock, "BUG: sleeping function called from invalid context"),
    KUNIT_CASE_BUG(schedule_under_spin_lock, "BUG: scheduling while atomic"),
    KUNIT_CASE_BUG(sleeping_allocation_under_spin_lock,
                   "BUG: sleeping function called from invalid context"),
    KUNIT_CASE(atomic_allocation_under_spin_lock),
    KUNIT_CASE_BUG(spin_locks_in_both_orders, "possible circular locking dependency detected"),
    KUNIT_CASE_BUG(sleeping_locks_in_both_orders, "possible circular locking dependency detected"),
    KUNIT_CASE_BUG(spin_lock_twice, "BUG: spinlock recursion"),
    KUNIT_CASE_BUG(unlock_of_unheld_mutex, "mutex_unlock of mutex_a"),
    KUNIT_CASE_BUG(uninitialised_spin_lock, "BUG: spinlock bad magic"),
    KUNIT_CASE_BUG(irq_lock_taken_with_irqs_on, "inconsistent lock state"),
    KUNIT_CASE(semaphore_wakes_waiters_in_order),
    KUNIT_CASE(signal_interrupts_down_interruptible),
    KUNIT_CASE(rwsem_reader_queues_behind_writer),
    KUNIT_CASE(bkl_dropped_while_sleeping),
    KUNIT_CASE(preempt_hook_runs_after_the_last_unlock),
    {},
};

static struct kunit_suite locking_suite = {"locking", locking_cases};
kunit_test_suite(locking_suite);
