#ifndef _LINUX_RCUPDATE_H
#define _LINUX_RCUPDATE_H

/*
 * Grace periods. The kernel runs without preemption: a task on its way
 * through kernel code that does not sleep is a reader of every pointer it
 * has loaded. synchronize_sched() returns once every task that was such a
 * reader when it was called has slept or left that code. The stand-in
 * tracks the one stretch where that matters to a module: the block layer's
 * call through a queue's make_request_fn, which it makes without a
 * reference on the module behind the function.
 */

#ifdef __cplusplus
extern "C" {
#endif

void synchronize_sched(void);

#ifdef __cplusplus
}
#endif

#endif
