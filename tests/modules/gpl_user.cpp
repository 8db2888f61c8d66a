/*
 * A module that waits for a grace period with synchronize_sched, which 2.6
 * exports to GPL-compatible modules only; built once under each licence.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/rcupdate.h>

MODULE_LICENSE(GPL_USER_LICENSE);

static int gplUserInit(void) {
    synchronize_sched();
    return 0;
}

static void gplUserExit(void) {}

module_init(gplUserInit);
module_exit(gplUserExit);
