/*
 * Recording a write in the automap of the device it targets.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/fs.h>

#include "automap.h"
#include "geometry.h"

void updateAM(struct bio *bio, int bioMinor) {
    dev_t kdev = MKDEV(MAJOR(bio->bi_bdev->bd_dev), (unsigned int)bioMinor);
    AutoMapSession *ams = getAMS(kdev);
    if (!ams)
        return;
    u32 startBN, endBN;
    BIOToBlockNumbers(&ams->diskInfo, bio, &startBN, &endBN);
    if (velGetState(ams) == VEL_AMS_IN_SYNC && startBN <= endBN) {
        /* Inclusive, and ends after block 0xFFFFFFFF instead of wrapping. */
        for (u32 i = startBN;; i++) {
            u32 r = setBlock(&ams->map, i);
            if (r) {
                velSetState(ams, VEL_AMS_NOT_IN_SYNC);
                printk(KERN_WARNING
                       "%s: device resize detected (block %d in size %d) in automap update, "
                       "automap not in sync%s",
                       "updateAM", (int)r, (int)ams->map.size, "\n");
            }
            if (i == endBN)
                break;
        }
    }
    putAMS(ams);
}
