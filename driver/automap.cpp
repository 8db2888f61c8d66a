/*
 * Automap sessions: the change tracking of each device, in a table by major
 * and minor. A session outlives the backup that created it; it is reached
 * only through a reference taken under the table's and the session's user
 * counts, and freed only after both have drained.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/string.h>

#include "automap.h"
#include "backup.h"
#include "user_count.h"

AutoMapSession *amList[AM_LIST_SIZE][AM_LIST_SIZE];
atomic_t amListUsers = ATOMIC_INIT(1);
DEFINE_SPINLOCK(amListUsersLock);
atomic_t curAllocAMPages;

/* Devices whose major or minor has no row or column have no session. */
static AutoMapSession **amListSlot(dev_t kdev) {
    if (MAJOR(kdev) >= AM_LIST_SIZE || MINOR(kdev) >= AM_LIST_SIZE)
        return NULL;
    return &amList[MAJOR(kdev)][MINOR(kdev)];
}

int amListHasSlot(dev_t kdev) {
    return amListSlot(kdev) != NULL;
}

void amListReaderIn(void) {
    usersIn(&amListUsersLock, &amListUsers);
}

void amListReaderOut(void) {
    atomic_dec(&amListUsers);
}

/* With the caller counted in on amListUsers. */
AutoMapSession *amListLookup(dev_t kdev) {
    AutoMapSession **slot = amListSlot(kdev);
    return slot ? (AutoMapSession *)ACCESS_ONCE(*slot) : NULL;
}

AutoMapSession *getAMS(dev_t kdev) {
    if (!amListSlot(kdev))
        return NULL;
    amListReaderIn();
    AutoMapSession *ams = amListLookup(kdev);
    if (ams)
        usersIn(&ams->usersLock, &ams->users);
    amListReaderOut();
    return ams;
}

void putAMS(AutoMapSession *ams) {
    atomic_dec(&ams->users);
}

static void waitForAMListUsers(unsigned long *flags) {
    drainUsers(&amListUsersLock, &amListUsers, flags);
}

static void waitForAMSUsers(AutoMapSession *ams, unsigned long *flags) {
    drainUsers(&ams->usersLock, &ams->users, flags);
}

/* Takes a session out of its slot; returns what was there. */
static AutoMapSession *takeFromSlot(AutoMapSession **slot) {
    unsigned long flags;
    waitForAMListUsers(&flags);
    AutoMapSession *ams = *slot;
    ACCESS_ONCE(*slot) = (AutoMapSession *)NULL;
    usersRelease(&amListUsersLock, &amListUsers, flags);
    return ams;
}

int newAMS(Backup *b, AutoMapSession **amSession) {
    AutoMapSession **slot = amListSlot(b->diskInfo.kdev);
    if (!slot)
        return VEL_ERR_INVALID;
    AutoMapSession *ams = (AutoMapSession *)kmalloc(sizeof(*ams), GFP_KERNEL);
    if (!ams)
        return VEL_ERR_NO_MEMORY;
    memset(ams, 0, sizeof(*ams));
    ams->diskInfo = b->diskInfo;
    velSetState(ams, VEL_AMS_NOT_IN_SYNC);
    if (ams->diskInfo.blockSize == 0) {
        printk(KERN_CRIT "%s: Blocksize set to 0 when making automap%s", __func__, "\n");
        BUG();
    }
    int numPages;
    int r = newBlockMap(&ams->map, (u32)b->diskInfo.numBlocks, NULL, BLOCKMAP_ZEROED, &numPages);
    if (r) {
        printk(KERN_ERR "%s: failed to create new device map%s", __func__, "\n");
        kfree(ams);
        return r;
    }
    /* The session outlives the backup: it holds its own device reference. */
    ams->diskInfo.bdev = bdget(b->diskInfo.kdev);
    ams->diskInfo.superBlock = NULL;
    atomic_add(numPages, &curAllocAMPages);
    atomic_set(&ams->users, 1);
    spin_lock_init(&ams->usersLock);
    *amSession = ams;
    unsigned long flags;
    waitForAMListUsers(&flags);
    ACCESS_ONCE(*slot) = ams;
    usersRelease(&amListUsersLock, &amListUsers, flags);
    return VEL_OK;
}

/* Drains the session's users and frees it; it is out of the table and
 * off its queue already. */
void closeAM(AutoMapSession *ams) {
    unsigned long flags;
    int numPagesFreed = 0;
    waitForAMSUsers(ams, &flags);
    usersRelease(&ams->usersLock, &ams->users, flags);
    closeBlockMap(&ams->map, &numPagesFreed);
    atomic_sub(numPagesFreed, &curAllocAMPages);
    if (ams->diskInfo.bdev)
        bdput(ams->diskInfo.bdev);
    kfree(ams);
}

AutoMapSession *takeSession(dev_t kdev) {
    AutoMapSession **slot = amListSlot(kdev);
    return slot ? takeFromSlot(slot) : NULL;
}

AutoMapSession *takeNextSession(unsigned int *slot) {
    for (; *slot < AM_LIST_SIZE * AM_LIST_SIZE; (*slot)++) {
        AutoMapSession **entry = &amList[*slot / AM_LIST_SIZE][*slot % AM_LIST_SIZE];
        /* An empty slot is not worth a drain. */
        if (!ACCESS_ONCE(*entry))
            continue;
        AutoMapSession *ams = takeFromSlot(entry);
        if (ams) {
            (*slot)++;
            return ams;
        }
    }
    return NULL;
}

int sessionExists(dev_t kdev) {
    amListReaderIn();
    int found = amListLookup(kdev) != NULL;
    amListReaderOut();
    return found;
}

void sessionOutOfSync(dev_t kdev) {
    amListReaderIn();
    AutoMapSession *ams = amListLookup(kdev);
    if (ams)
        velSetState(ams, VEL_AMS_NOT_IN_SYNC);
    amListReaderOut();
}
