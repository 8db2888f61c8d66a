/*
 * The user counts that guard the driver's shared records (the automap
 * table and its sessions, block maps, the queue registry): a count that
 * rests at 1; a reader counts itself in and out without a lock unless a
 * writer holds the record; a writer drains the count, marks it and keeps the
 * lock while it changes or frees the record.
 */
#ifndef VELMORA_USER_COUNT_H
#define VELMORA_USER_COUNT_H

#include <linux/spinlock.h>
#include <asm/atomic.h>

/* Carried by the count while a writer holds the record. */
#define USERS_CLOSING (1 << 24)

void usersIn(spinlock_t *lock, atomic_t *users);
/* Returns with the lock held, only the resting count left, and the count
 * marked: the record is the writer's until usersRelease. */
void drainUsers(spinlock_t *lock, atomic_t *users, unsigned long *flags);
/* The same for a drainer that holds `rest - 1` references of its own. */
void drainUsersTo(spinlock_t *lock, atomic_t *users, int rest, unsigned long *flags);
/* The writer lets go: the mark goes, then the lock. */
void usersRelease(spinlock_t *lock, atomic_t *users, unsigned long flags);

#endif
