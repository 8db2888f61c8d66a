/*
 * Credentials: who a task is. A task of the host program starts as the
 * machine's root with every capability, as init does; a thread a task starts
 * inherits its credentials; a daemon becomes root again, as daemonize()
 * reparents to init. A host program or a test makes a task an ordinary user
 * with standin_task_set_creds().
 */
#include <linux/capability.h>
#include <linux/sched.h>
#include <standin/creds.h>

#include "internal.h"

static kernel_cap_t all_caps(void) {
    kernel_cap_t c;
    c.cap[0] = ~0U;
    c.cap[1] = ~0U;
    return c;
}

void cred_init_root(struct task_struct *t) {
    t->uid = t->euid = 0;
    t->gid = t->egid = 0;
    t->cap_effective = t->cap_permitted = all_caps();
}

void cred_copy(struct task_struct *to, const struct task_struct *from) {
    to->uid = from->uid;
    to->euid = from->euid;
    to->gid = from->gid;
    to->egid = from->egid;
    to->cap_effective = from->cap_effective;
    to->cap_permitted = from->cap_permitted;
}

extern "C" int capable(int cap) {
    if (cap < 0 || cap > CAP_LAST_CAP)
        BUG();
    return cap_raised(current->cap_effective, cap);
}

extern "C" void standin_task_set_creds(unsigned int uid, unsigned int gid, int privileged) {
    struct task_struct *t = current;
    t->uid = t->euid = uid;
    t->gid = t->egid = gid;
    if (privileged) {
        t->cap_effective = t->cap_permitted = all_caps();
    } else {
        kernel_cap_t none = {{0, 0}};
        t->cap_effective = t->cap_permitted = none;
    }
}

extern "C" unsigned int standin_task_uid(void) {
    return current->euid;
}
