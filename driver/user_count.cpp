/*
 * The user counts that guard the driver's shared records: a reader counts
 * itself in and out with one atomic operation each, taking the record's lock
 * only while a writer holds the record; a writer drains the count down to
 * its resting value, marks it and keeps the lock, so no reader can come in
 * until it lets go with usersRelease.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/spinlock.h>

#include "user_count.h"

/*
 * The count is a fully ordered read-modify-write: when it shows no writer,
 * the reader has also seen everything the last writer did before it let go.
 * A writer holds the record while the count carries USERS_CLOSING; a reader
 * that meets it steps back and waits for the writer under the lock.
 */
void usersIn(spinlock_t *lock, atomic_t *users) {
    if (!(atomic_inc_return(users) & USERS_CLOSING))
        return;
    atomic_dec(users);
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
        /* Only when no other user is in does the count take the mark, in one
         * step: a reader counts in either before (and is seen) or after (and
         * meets the mark). What the users did before they counted out is
         * seen here. */
        if (atomic_cmpxchg(users, rest, rest + USERS_CLOSING) == rest)
            return;
        spin_unlock_irqrestore(lock, *flags);
        schedule();
    }
}

void usersRelease(spinlock_t *lock, atomic_t *users, unsigned long flags) {
    atomic_sub(USERS_CLOSING, users);
    spin_unlock_irqrestore(lock, flags);
}
