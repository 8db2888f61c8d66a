/*
 * synchronize_sched(): waits out every task that is inside a read-side
 * section and awake when it is called. A sleep ends the section, as a
 * context switch does on a kernel without preemption.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/rcupdate.h>
#include <linux/netdevice.h>
#include <linux/string.h>

#include "internal.h"

void sched_read_enter(struct task_struct *t) {
    __atomic_add_fetch(&t->sched_read_depth, 1, __ATOMIC_SEQ_CST);
}

void sched_read_exit(struct task_struct *t) {
    __atomic_sub_fetch(&t->sched_read_depth, 1, __ATOMIC_SEQ_CST);
}

/* Odd while asleep. */
void note_context_switch(struct task_struct *t) {
    __atomic_add_fetch(&t->context_switches, 1, __ATOMIC_SEQ_CST);
}

namespace {

enum { MAX_READERS = 256 };

/* A reader seen at the start of the grace period: the task, its pid (a task
 * record can be reused once its thread ends) and its switch count then. */
struct reader {
    struct task_struct *task;
    pid_t pid;
    unsigned long switches;
    int done;
};

struct grace_period {
    struct task_struct *self;
    struct reader readers[MAX_READERS];
    int count;
    int overflow;
    int seen[MAX_READERS];
};

bool in_section_awake(struct task_struct *t, unsigned long *switches) {
    *switches = __atomic_load_n(&t->context_switches, __ATOMIC_SEQ_CST);
    return __atomic_load_n(&t->sched_read_depth, __ATOMIC_SEQ_CST) > 0 && !(*switches & 1);
}

void collect(struct task_struct *t, void *arg) {
    struct grace_period *gp = (struct grace_period *)arg;
    unsigned long switches;
    if (t == gp->self || !in_section_awake(t, &switches))
        return;
    if (gp->count == MAX_READERS) {
        gp->overflow = 1;
        return;
    }
    gp->readers[gp->count++] = {t, t->pid, switches, 0};
}

/* A reader is done once it has switched or left its section; a reader
 * whose task is gone is done as well. */
void check(struct task_struct *t, void *arg) {
    struct grace_period *gp = (struct grace_period *)arg;
    for (int i = 0; i < gp->count; i++) {
        struct reader *r = &gp->readers[i];
        if (r->task != t || r->pid != t->pid)
            continue;
        gp->seen[i] = 1;
        unsigned long switches;
        if (!in_section_awake(t, &switches) || switches != r->switches)
            r->done = 1;
    }
}

bool all_done(struct grace_period *gp) {
    memset(gp->seen, 0, sizeof(gp->seen));
    for_each_task(check, gp);
    bool done = true;
    for (int i = 0; i < gp->count; i++) {
        if (!gp->seen[i])
            gp->readers[i].done = 1;
        done = done && gp->readers[i].done;
    }
    return done;
}

}  // namespace

extern "C" void synchronize_sched(void) {
    might_sleep();
    for (;;) {
        struct grace_period gp;
        memset(&gp, 0, sizeof(gp));
        gp.self = current;
        for_each_task(collect, &gp);
        while (!all_done(&gp)) {
            set_current_state(TASK_UNINTERRUPTIBLE);
            schedule_timeout(1);
        }
        /* More readers than one pass can hold: the ones left out are
         * waited for by another pass. */
        if (!gp.overflow)
            return;
    }
}

/* The grace period every module may wait for: without preemption, an RCU
 * grace period is the same as a scheduler one. */
extern "C" void synchronize_net(void) {
    might_sleep();
    synchronize_sched();
}
