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

/* Change tracking of one device, between one snapshot and the next. */
typedef struct AutoMapSession {
    DiskInfo diskInfo;
    volatile u32 state; /* enum VelAutoMapState */
    BlockMap map;
    atomic_t users;
    spinlock_t usersLock;
    AMSessionKey sessionKey;
    struct AutoMapSession *next;
} AutoMapSession;

#define AM_LIST_SIZE 256
extern AutoMapSession *amList[AM_LIST_SIZE][AM_LIST_SIZE];
extern atomic_t amListUsers;
extern spinlock_t amListUsersLock;
extern atomic_t curAllocAMPages;

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
