/*
 * The user counts that guard the driver's shared records (the automap
 * table and its sessions, block maps, the queue registry): a count that
 * rests at 1; a reader counts itself in under the record's lock and out
 * without it; a writer drains the count and keeps the lock while it changes
 * or frees the record.
 */
#ifndef VELMORA_USER_COUNT_H
#define VELMORA_USER_COUNT_H

#include <linux/spinlock.h>
#include <asm/atomic.h>

void usersIn(spinlock_t *lock, atomic_t *users);
/* Returns with the lock held and only the resting count left. */
void drainUsers(spinlock_t *lock, atomic_t *users, unsigned long *flags);
/* The same for a drainer that holds `rest - 1` references of its own. */
void drainUsersTo(spinlock_t *lock, atomic_t *users, int rest, unsigned long *flags);

#endif
