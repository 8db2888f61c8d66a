/*
 * The state words of a Backup and of an AutoMapSession are read without a
 * lock; every store is one untorn word store followed by a write barrier.
 */
#ifndef VELMORA_RECORD_STATE_H
#define VELMORA_RECORD_STATE_H

#include <linux/compiler.h>
#include <asm/system.h>

#define velGetState(rec) ((u32)ACCESS_ONCE((rec)->state))
/* Moves the state from `from` to `to` in one step; 0 when it was not `from`
 * (another task changed it meanwhile). A full barrier. */
#define velChangeState(rec, from, to) \
    (cmpxchg(&(rec)->state, (u32)(from), (u32)(to)) == (u32)(from))
#define velSetState(rec, value)              \
    do {                                     \
        ACCESS_ONCE((rec)->state) = (value); \
        wmb();                               \
    } while (0)

#endif
