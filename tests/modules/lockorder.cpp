/*
 * A module that declares the order of its own lock classes, by the names the
 * lock validator knows them by, and takes them when asked: in that order, or
 * the last one before the middle one.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/mutex.h>
#include <linux/rwsem.h>
#include <linux/semaphore.h>

MODULE_LICENSE("GPL");
MODULE_INFO(lockorder, "orderOuter, &lo->inner, orderLast");

static DECLARE_RWSEM(orderOuter);
static DEFINE_MUTEX(orderLast);
static struct lockorder { struct semaphore inner; } lockorderData;

extern "C" void lockorderTake(int lastFirst) {
    struct lockorder *lo = &lockorderData;
    if (lastFirst) {
        mutex_lock(&orderLast);
        down(&lo->inner);
        up(&lo->inner);
        mutex_unlock(&orderLast);
    } else {
        down_read(&orderOuter);
        down(&lo->inner);
        up(&lo->inner);
        up_read(&orderOuter);
    }
}

static int lockorderInit(void) {
    struct lockorder *lo = &lockorderData;
    sema_init(&lo->inner, 1);
    return 0;
}

static void lockorderExit(void) {}

module_init(lockorderInit);
module_exit(lockorderExit);
