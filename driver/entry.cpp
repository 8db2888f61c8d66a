/*
 * Module load and unload, the shutdown command, and the module globals.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/fs.h>

#include "control_device.h"
#include "backup.h"
#include "hook_policy.h"
#include "intercept.h"
#include "shim-2.6.h"

MODULE_LICENSE("Proprietary");
MODULE_DESCRIPTION("velmora point-in-time backup and changed-block tracking");
MODULE_INFO(lockorder, VEL_LOCK_ORDER);

atomic_t initDone;
struct semaphore signalThread;
atomic_t busy;
DEFINE_SPINLOCK(busyLock);
Backup *activeSession;
atomic_t activeSessionUsers = ATOMIC_INIT(1);
DEFINE_SPINLOCK(activeSessionUsersLock);

int velInit(void) {
    sema_init(&signalThread, 1);
    int result = velModRegister(VEL_DEVICE_MAJOR, VEL_DEVICE_NAME, &velFileOps);
    if (result == 0)
        atomic_set(&initDone, 1);
    printk(KERN_INFO "%s: velmora version %d.%d.%d build %d %s\n", __func__, VEL_VERSION_MAJOR,
           VEL_VERSION_MINOR, VEL_DRIVER_VERSION_MINOR2, VEL_DRIVER_BUILD,
           atomic_read(&initDone) == 1 ? "loaded" : "load FAILED");
    return result;
}

/* Ends the change tracking of every device; the device stays usable. */
int velShutdown(void) {
    if (velCheckModUse())
        return -1;
    closeAllAMS();
    return 0;
}

int velUnload(void) {
    if (velShutdown())
        return -1;
    /* No queue holds a hook now; the code of the hooks must outlive the
     * tasks still running it. */
    waitForHookUsers();
    unregister_chrdev(VEL_DEVICE_MAJOR, VEL_DEVICE_NAME);
    printk(KERN_INFO "%s: velmora version %d.%d.%d build %d ready to be unloaded\n", __func__,
           VEL_VERSION_MAJOR, VEL_VERSION_MINOR, VEL_DRIVER_VERSION_MINOR2, VEL_DRIVER_BUILD);
    return 0;
}

static void doModuleUnload(void) {
    (void)velUnload();
}

void velExit(void) {
    doModuleUnload();
    printk(KERN_INFO "%s: velmora version %d.%d.%d build %d exiting\n", __func__, VEL_VERSION_MAJOR,
           VEL_VERSION_MINOR, VEL_DRIVER_VERSION_MINOR2, VEL_DRIVER_BUILD);
}

module_init(velInit);
module_exit(velExit);
