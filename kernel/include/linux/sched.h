#ifndef _LINUX_SCHED_H
#define _LINUX_SCHED_H

#include <linux/types.h>
#include <linux/capability.h>
#include <linux/list.h>
#include <linux/lockdep.h>
#include <linux/spinlock.h>
#include <linux/kernel.h>
#include <asm/signal.h>

#define TASK_RUNNING 0
#define TASK_INTERRUPTIBLE 1
#define TASK_UNINTERRUPTIBLE 2

#define TASK_COMM_LEN 16
#define MAX_LOCK_DEPTH 48

#define PF_EXITING 0x00000004
#define PF_KTHREAD 0x00200000

#define CLONE_FS 0x00000200
#define CLONE_FILES 0x00000400
#define CLONE_SIGHAND 0x00000800
#define CLONE_KERNEL (CLONE_FS | CLONE_FILES | CLONE_SIGHAND)

#define MAX_SCHEDULE_TIMEOUT LONG_MAX

struct held_lock {
    struct lockdep_map *map;
    struct lock_class *lock_class;
    void *instance;
    unsigned long acquire_ip;
    int read;
};

/*
 * A task: a kernel thread, or a user thread while it is inside the kernel.
 * Each runs on its own host thread; `state` and the sleep storage let
 * schedule() really put it to sleep until wake_up_process().
 */
struct task_struct {
    volatile long state;
    pid_t pid;
    char comm[TASK_COMM_LEN];
    unsigned int flags;
    int preempt_count; /* spin locks held */
    int irqs_off;      /* local interrupts disabled */
    int hardirq;       /* running a simulated interrupt */
    int lock_depth;    /* big kernel lock depth, -1 when not held */
    int lockdep_depth;
    struct held_lock held_locks[MAX_LOCK_DEPTH];
    unsigned long signal_pending_mask;
    unsigned long signal_allowed_mask;
    int (*thread_fn)(void *);
    void *thread_arg;
    long exit_code;
    struct list_head tasks;
    unsigned long sleep_storage[11];
    /* For synchronize_sched(): odd while the task sleeps, bumped at each
     * sleep and wake; and how deep it is in calls through a queue's
     * make_request_fn, which the block layer makes without a reference. */
    unsigned long context_switches;
    int sched_read_depth;
    /* The host process whose system calls the task makes when one reaches
     * the kernel through a socket (0: this process), and the credentials it
     * connected with. */
    pid_t peer_pid;
    uid_t peer_uid;
    gid_t peer_gid;
    /* Who the task is: its ids and capabilities, inherited by the threads it
     * starts; a task of the host program is the machine's root. */
    uid_t uid, euid;
    gid_t gid, egid;
    kernel_cap_t cap_effective, cap_permitted;
};

extern "C" {
struct task_struct *get_current(void);
void schedule(void);
long schedule_timeout(long timeout);
int wake_up_process(struct task_struct *tsk);
void yield(void);
int cond_resched(void);

/* Kernel threads. */
int kernel_thread(int (*fn)(void *), void *arg, unsigned long flags);
void daemonize(const char *name, ...) __attribute__((format(printf, 1, 2)));
int allow_signal(int sig);
int disallow_signal(int sig);
int send_sig(int sig, struct task_struct *p, int priv);
int signal_pending(struct task_struct *p);
void flush_signals(struct task_struct *t);
struct task_struct *find_task_by_pid(pid_t nr);
}

/* The task of this thread, read as the kernel reads a per-CPU variable: at
 * a fixed offset, without a call; the first use on a thread makes it. */
extern "C" __thread struct task_struct *standin_current_task
    __attribute__((tls_model("initial-exec")));
static inline struct task_struct *get_current_fast(void) {
    struct task_struct *t = standin_current_task;
    return __builtin_expect(t != NULL, 1) ? t : get_current();
}
#define current get_current_fast()

#define __set_current_state(state_value) \
    __atomic_store_n(&current->state, (state_value), __ATOMIC_RELAXED)
/* A store with a full barrier, so the next test of the wake-up condition
 * cannot be done before the state is visible to wakers. */
#define set_current_state(state_value) \
    __atomic_store_n(&current->state, (state_value), __ATOMIC_SEQ_CST)

#include <linux/completion.h>

#endif
