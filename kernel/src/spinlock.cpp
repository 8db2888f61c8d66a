/*
 * Spin locks and the interrupt flag of a task. A spin lock really spins; its
 * holder counts as atomic until it lets go, so might_sleep() and schedule()
 * catch a sleep under it. Letting go of the last one is a preemption point,
 * where a test's hook may hold the task.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/hardirq.h>
#include <standin/preempt.h>

#include "internal.h"

#define X86_EFLAGS_IF 0x200UL

static void spin_bug(spinlock_t *lock, const char *msg) {
    struct task_struct *t = current;
    struct task_struct *owner = __atomic_load_n(&lock->owner, __ATOMIC_RELAXED);
    kernel_die("BUG: spinlock %s on CPU#0, %s/%d\n lock: %p, .magic: %08x, .owner: %s/%d\n", msg,
               t->comm, t->pid, (void *)lock, lock->magic, owner ? owner->comm : "<none>",
               owner ? owner->pid : -1);
}

static void raw_spin(volatile int *word) {
    unsigned int spins = 0;
    for (;;) {
        if (!__atomic_exchange_n(word, 1, __ATOMIC_ACQUIRE))
            return;
        while (__atomic_load_n(word, __ATOMIC_RELAXED)) {
            host_cpu_relax();
            /* The holder's host thread may be descheduled: let it run. */
            if (++spins % 256 == 0)
                host_yield();
        }
    }
}

extern "C" void __spin_lock_init(spinlock_t *lock, const char *name, struct lock_class_key *key) {
    lock->locked = 0;
    lock->magic = SPINLOCK_MAGIC;
    lock->owner = NULL;
    lockdep_init_map(&lock->dep_map, name, key, 0);
}

static void do_lock(spinlock_t *lock, unsigned long ip) {
    struct task_struct *t = current;
    if (lock->magic != SPINLOCK_MAGIC)
        spin_bug(lock, "bad magic");
    if (__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) == t)
        spin_bug(lock, "recursion");
    fuzz_point();
    t->preempt_count++;
    lock_acquire(&lock->dep_map, lock, 0, 0, ip);
    raw_spin(&lock->locked);
    __atomic_store_n(&lock->owner, t, __ATOMIC_RELAXED);
}

static void do_unlock(spinlock_t *lock) {
    struct task_struct *t = current;
    if (lock->magic != SPINLOCK_MAGIC)
        spin_bug(lock, "bad magic");
    if (!__atomic_load_n(&lock->locked, __ATOMIC_RELAXED))
        spin_bug(lock, "already unlocked");
    if (__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) != t)
        spin_bug(lock, "wrong owner");
    __atomic_store_n(&lock->owner, (struct task_struct *)NULL, __ATOMIC_RELAXED);
    lock_release(&lock->dep_map, lock);
    __atomic_store_n(&lock->locked, 0, __ATOMIC_RELEASE);
    t->preempt_count--;
    fuzz_point();
}

/*
 * The preemption hook. Function and context change together under a sequence
 * count (odd while they change), so a reader never pairs one hook with
 * another's context and never waits on a lock for them.
 */
static standin_preempt_hook hook_fn;
static void *hook_ctx;
static unsigned int hook_seq;
static struct host_mutex hook_set_lock; /* one setter at a time */
static int hook_calls;                  /* calls under way, for the sync */
/* A task is one host thread: this is the task's guard against the hook
 * running again from the spin locks the hook itself takes. */
static __thread int in_hook __attribute__((tls_model("initial-exec")));

extern "C" void standin_set_preempt_hook(standin_preempt_hook fn, void *ctx) {
    host_mutex_lock(&hook_set_lock);
    __atomic_add_fetch(&hook_seq, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&hook_fn, fn, __ATOMIC_SEQ_CST);
    __atomic_store_n(&hook_ctx, ctx, __ATOMIC_SEQ_CST);
    __atomic_add_fetch(&hook_seq, 1, __ATOMIC_SEQ_CST);
    host_mutex_unlock(&hook_set_lock);
}

extern "C" void standin_preempt_hook_sync(void) {
    if (in_hook)
        kernel_die("BUG: standin_preempt_hook_sync() called from a preemption hook\n");
    while (__atomic_load_n(&hook_calls, __ATOMIC_SEQ_CST))
        task_sleep_ns(100000);
}

/* Counted before the hook is read, so a sync that follows a removal sees every
 * call that may still use the old one. */
static noinline void preempt_point(const char *lock_name, unsigned long caller) {
    struct task_struct *t = current;
    if (t->preempt_count || t->irqs_off || t->hardirq || in_hook)
        return;
    in_hook = 1;
    __atomic_add_fetch(&hook_calls, 1, __ATOMIC_SEQ_CST);
    standin_preempt_hook fn;
    void *ctx;
    for (;;) {
        unsigned int seq = __atomic_load_n(&hook_seq, __ATOMIC_SEQ_CST);
        fn = __atomic_load_n(&hook_fn, __ATOMIC_SEQ_CST);
        ctx = __atomic_load_n(&hook_ctx, __ATOMIC_SEQ_CST);
        if (!(seq & 1) && seq == __atomic_load_n(&hook_seq, __ATOMIC_SEQ_CST))
            break;
        host_yield(); /* the setter may share our one processor */
    }
    if (fn)
        fn(lock_name, caller, ctx);
    __atomic_sub_fetch(&hook_calls, 1, __ATOMIC_SEQ_CST);
    in_hook = 0;
}

/* Non-NULL when a hook is set: the lock's name, taken before the unlock, as
 * the lock may be gone once free. Without a hook, one relaxed load. */
static inline const char *point_name(spinlock_t *lock) {
    if (likely(!__atomic_load_n(&hook_fn, __ATOMIC_RELAXED)))
        return NULL;
    return lock->dep_map.name ? lock->dep_map.name : "";
}

extern "C" void _spin_lock(spinlock_t *lock) {
    do_lock(lock, _RET_IP_);
}
extern "C" void _spin_unlock(spinlock_t *lock) {
    const char *name = point_name(lock);
    do_unlock(lock);
    if (unlikely(name != NULL))
        preempt_point(name, _RET_IP_);
}

extern "C" int _spin_trylock(spinlock_t *lock) {
    struct task_struct *t = current;
    if (lock->magic != SPINLOCK_MAGIC)
        spin_bug(lock, "bad magic");
    if (__atomic_exchange_n(&lock->locked, 1, __ATOMIC_ACQUIRE))
        return 0;
    t->preempt_count++;
    lock_acquire(&lock->dep_map, lock, 1, 0, _RET_IP_);
    __atomic_store_n(&lock->owner, t, __ATOMIC_RELAXED);
    return 1;
}

extern "C" unsigned long __local_irq_save(void) {
    struct task_struct *t = current;
    unsigned long flags = t->irqs_off ? 0 : X86_EFLAGS_IF;
    t->irqs_off = 1;
    return flags;
}

extern "C" void local_irq_restore(unsigned long flags) {
    current->irqs_off = (flags & X86_EFLAGS_IF) ? 0 : 1;
}

extern "C" void local_irq_disable(void) {
    current->irqs_off = 1;
}
extern "C" void local_irq_enable(void) {
    current->irqs_off = 0;
}
extern "C" int irqs_disabled(void) {
    return current->irqs_off;
}

extern "C" unsigned long _spin_lock_irqsave(spinlock_t *lock) {
    unsigned long flags = __local_irq_save();
    do_lock(lock, _RET_IP_);
    return flags;
}

extern "C" void _spin_unlock_irqrestore(spinlock_t *lock, unsigned long flags) {
    const char *name = point_name(lock);
    do_unlock(lock);
    local_irq_restore(flags);
    if (unlikely(name != NULL))
        preempt_point(name, _RET_IP_);
}

extern "C" void _spin_lock_irq(spinlock_t *lock) {
    local_irq_disable();
    do_lock(lock, _RET_IP_);
}

extern "C" void _spin_unlock_irq(spinlock_t *lock) {
    const char *name = point_name(lock);
    do_unlock(lock);
    local_irq_enable();
    if (unlikely(name != NULL))
        preempt_point(name, _RET_IP_);
}

extern "C" int spin_is_locked(spinlock_t *lock) {
    return __atomic_load_n(&lock->locked, __ATOMIC_RELAXED) != 0;
}

extern "C" int in_interrupt(void) {
    return current->hardirq;
}
extern "C" int in_irq(void) {
    return current->hardirq;
}
extern "C" int in_atomic(void) {
    return current->preempt_count > 0 || current->hardirq;
}
