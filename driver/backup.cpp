/*
 * The end of a file's backup session.
 */
#include <linux/kernel.h>
#include <linux/slab.h>

#include "vellib.h"

void closeBackup(Backup *b) {
    down(&b->bSem);
    down_write(&b->writers);
    /* A record that never started a backup holds nothing but itself. */
    up_write(&b->writers);
    up(&b->bSem);
    kfree(b);
}
