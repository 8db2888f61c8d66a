#ifndef STANDIN_PREEMPT_H
#define STANDIN_PREEMPT_H

/*
 * Preemption points on demand. A kernel with CONFIG_PREEMPT may switch a task
 * out as soon as it releases its last spin lock; the stand-in's tasks only
 * switch where the host scheduler happens to, so a window between two
 * critical sections of one task is almost never hit. A test sets a hook that
 * the stand-in calls at each such point and that may hold the task there
 * (wait_for_completion, msleep, schedule) while other tasks run.
 *
 * The points: every spin_unlock, spin_unlock_irq and spin_unlock_irqrestore
 * after which the task holds no spin lock, has interrupts enabled and does
 * not run a simulated interrupt. lock_name is the released lock's lockdep
 * name (e.g. "&b->mrLock"); caller the return address into the code that
 * called the unlock.
 *
 * The hook runs on the task itself, in process context. The spin locks it
 * takes (its own, or a completion's) are no points for it: one task never
 * runs the hook twice at once. It sees the task's state as the unlock left
 * it, possibly on its way to sleep; a hook that sleeps leaves the task
 * TASK_RUNNING, which the task's wait loop takes as a wake-up and checks its
 * condition again. It should sleep only through primitives that set their own
 * state. Built-in types only, so kernel and host code can both include it.
 */

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*standin_preempt_hook)(const char *lock_name, unsigned long caller, void *ctx);

/*
 * Sets, replaces (fn) or removes (NULL) the hook; returns at once, from any
 * task. Calls already under way go on with the hook and ctx they started
 * with: ctx must outlive them. standin_preempt_hook_sync() waits for them.
 */
void standin_set_preempt_hook(standin_preempt_hook fn, void *ctx);

/*
 * Waits until no call of any hook is running. After removing the hook this
 * makes its ctx free to go. Anything a running hook waits for must be let go
 * first; calling it from a hook is a BUG.
 */
void standin_preempt_hook_sync(void);

#ifdef __cplusplus
}
#endif

#endif
