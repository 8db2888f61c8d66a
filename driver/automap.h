/*
 * Automap sessions: the change tracking of each device, in a table by major
 * and minor, and the recording of every write in its device's session.
 */
#ifndef VELMORA_AUTOMAP_H
#define VELMORA_AUTOMAP_H

#include <linux/types.h>
#include <linux/bio.h>
#include <linux/spinlock.h>
#include <asm/atomic.h>

#include <velmora.h>

#include "block_map.h"
#include "geometry.h"
#include "record_state.h"

struct Backup;

/* Change tracking of one device, between one snapshot and the next. A
 * session is reached only with a reference (getAMS) or while counted in on
 * amListUsers; it is freed only after both drained (backup.h: lock order). */
typedef struct AutoMapSession {
    DiskInfo diskInfo;           /* a copy taken at creation; read-only */
    volatile u32 state;          /* enum VelAutoMapState; record_state.h */
    BlockMap map;                /* bits: its users; page array exchanged by the snapshot under
                                  * the drains of the session's and both maps' users */
    atomic_t users;              /* the session's user count: 1 plus its references */
    spinlock_t usersLock;        /* counts users in; held by a drainer */
    AMSessionKey sessionKey;     /* renewed by the snapshot of the backup that owns
                                  * busy, under its bSem, with a reference held */
    struct AutoMapSession *next; /* unused */
} AutoMapSession;

#define AM_LIST_SIZE 256
/* Slots are stored under amListUsersLock after a drain of amListUsers, and
 * read by tasks counted in on amListUsers. */
extern AutoMapSession *amList[AM_LIST_SIZE][AM_LIST_SIZE];
extern atomic_t amListUsers;
extern spinlock_t amListUsersLock;
extern atomic_t curAllocAMPages; /* atomic */

int amListHasSlot(dev_t kdev);
/* Counting in and out of the table, for readers that only look at a slot. */
void amListReaderIn(void);
void amListReaderOut(void);
AutoMapSession *amListLookup(dev_t kdev);
/* A session with a user reference taken, or NULL; putAMS drops it. */
AutoMapSession *getAMS(dev_t kdev);
void putAMS(AutoMapSession *ams);
int newAMS(struct Backup *b, AutoMapSession **amSession);
/* Drains and frees a session already out of the table and off its queue. */
void closeAM(AutoMapSession *ams);
/* Out of the table: the device's session, or the next one from *slot on. */
AutoMapSession *takeSession(dev_t kdev);
AutoMapSession *takeNextSession(unsigned int *slot);
int sessionExists(dev_t kdev);
void sessionOutOfSync(dev_t kdev);

/* Records a write in the session of the device it targets. */
void updateAM(struct bio *bio, int bioMinor);

#endif
