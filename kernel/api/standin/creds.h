#ifndef STANDIN_CREDS_H
#define STANDIN_CREDS_H

/*
 * Who the calling thread's task is. A task of the host program is the
 * machine's root, with every capability; the threads a task starts inherit
 * its credentials. Built-in types only.
 */

#ifdef __cplusplus
extern "C" {
#endif

/* From now on the task is uid and gid; privileged: with every capability
 * (the machine's root), else with none, as setuid() to an ordinary user
 * leaves it. */
void standin_task_set_creds(unsigned int uid, unsigned int gid, int privileged);

/* The task's effective uid. */
unsigned int standin_task_uid(void);

#ifdef __cplusplus
}
#endif

#endif
