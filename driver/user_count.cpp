/*
 * The user counts that guard the driver's shared records: a reader counts
 * itself in under the record's lock and out without it; a writer drains the
 * count down to its resting value of 1 and keeps the lock, so no reader can
 * come in until it lets go.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/spinlock.h>

#include "user_count.h"

void usersIn(spinlock_t *lock, atomic_t *users) {
    unsigned long flags;
    spin_lock_irqsave(lock, flags);
    atomic_inc(users);
    spin_unlock_irqrestore(lock, flags);
}

void drainUsers(spinlock_t *lock, atomic_t *users, unsigned long *flags) {
    drainUsersTo(lock, users, 1, flags);
}

void drainUsersTo(spinlock_t *lock, atomic_t *users, int rest, unsigned long *flags) {
    for (;;) {
        spin_lock_irqsave(lock, *flags);
        /* With the lock held no user can count in, only out. The test is a
         * fully ordered read-modify-write: what the users did before they
         * counted out is seen by the drainer. */
        int others = atomic_sub_return(rest, users);
        atomic_add(rest, users);
        if (others == 0)
            return;
        spin_unlock_irqrestore(lock, *flags);
        schedule();
    }
}
