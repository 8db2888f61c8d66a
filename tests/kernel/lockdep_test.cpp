/*
 * The lock validator on sleeping locks: semaphores and rw-semaphores in the
 * order graph with mmap_sem behind user copies, a semaphore used as an event
 * left alone, waits on completions, locks held back to user space, and the
 * order a module declares.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/semaphore.h>
#include <linux/rwsem.h>
#include <linux/mutex.h>
#include <linux/completion.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/delay.h>
#include <linux/errno.h>
#include <asm/mman.h>
#include <asm/uaccess.h>
#include <kunit/test.h>
#include <standin/syscalls.h>

#define LD_MAJOR 231
#define NODE "/dev/lockdep"
#define CMD_START 1 /* takes `signal` and returns with it, as a job's start does */
#define CMD_KICK 2  /* gives the worker one round */
#define CMD_STOP 3
#define CMD_HOLD 4 /* returns holding a mutex */

static struct semaphore map_sem; /* taken by the device's mmap */

/* A worker that waits on an event semaphore, as a driver's thread does. */
static struct {
    struct semaphore lock;   /* the commands' lock, taken by the worker too */
    struct semaphore signal; /* the worker's event */
    struct completion started, worked, exited;
    int stop, rounds;
} ev;
static DEFINE_MUTEX(held_mutex);

static int worker(void *arg) {
    complete(&ev.started);
    for (;;) {
        (void)down_interruptible(&ev.signal);
        if (ACCESS_ONCE(ev.stop))
            break;
        down(&ev.lock);
        ev.rounds++;
        up(&ev.lock);
        complete(&ev.worked);
    }
    up(&ev.signal);
    complete_and_exit(&ev.exited, 0);
}

static int ld_ioctl(struct inode *inode, struct file *f, unsigned int cmd, unsigned long arg) {
    switch (cmd) {
        case CMD_START:
            down(&ev.lock);
            down(&ev.signal);
            ev.stop = 0;
            if (kernel_thread(worker, NULL, 0) < 0) {
                up(&ev.signal);
                up(&ev.lock);
                return -ENOMEM;
            }
            wait_for_completion(&ev.started);
            up(&ev.lock);
            return 0;
        case CMD_KICK:
            up(&ev.signal);
            return 0;
        case CMD_STOP:
            down(&ev.lock);
            ev.stop = 1;
            up(&ev.signal);
            up(&ev.lock);
            wait_for_completion(&ev.exited);
            return 0;
        case CMD_HOLD:
            mutex_lock(&held_mutex);
            return 0;
    }
    return -ENOTTY;
}

static int ld_mmap(struct file *f, struct vm_area_struct *vma) {
    down(&map_sem);
    up(&map_sem);
    return 0;
}

static struct file_operations ld_fops = {
    .ioctl = ld_ioctl,
    .mmap = ld_mmap,
};

static int dev_open(struct kunit *test) {
    sema_init(&map_sem, 1);
    sema_init(&ev.lock, 1);
    sema_init(&ev.signal, 1);
    init_completion(&ev.started);
    init_completion(&ev.worked);
    init_completion(&ev.exited);
    ev.rounds = 0;
    KUNIT_EXPECT_EQ(test, register_chrdev(LD_MAJOR, "lockdep", &ld_fops), 0);
    sys::mknod(NODE, S_IFCHR | 0600, MKDEV(LD_MAJOR, 0));
    return sys::open(NODE, O_RDWR);
}

static void semaphores_in_both_orders(struct kunit *test) {
    struct {
        struct semaphore a, b;
    } pair, *p = &pair;
    sema_init(&p->a, 1);
    sema_init(&p->b, 1);
    down(&p->a);
    down(&p->b);
    up(&p->b);
    up(&p->a);
    down(&p->b);
    down(&p->a);
}

/* The mapping takes map_sem under mmap_sem; a copy from it under map_sem
 * may fault, which takes mmap_sem: reported at the copy, before any fault. */
static void user_copy_under_a_semaphore_that_mmap_takes(struct kunit *test) {
    int fd = dev_open(test);
    void *p = sys::mmap(NULL, PAGE_SIZE, PROT_READ, MAP_SHARED, fd, 0);
    KUNIT_ASSERT_TRUE(test, p != MAP_FAILED);
    char buf[8];
    down(&map_sem);
    KUNIT_EXPECT_EQ(test, copy_from_user(buf, p, sizeof(buf)), 0UL);
}

static void rwsem_read_under_its_own_write(struct kunit *test) {
    struct rw_semaphore sem;
    init_rwsem(&sem);
    down_write(&sem);
    down_read(&sem);
}

/* The start returns holding the worker's semaphore, the worker downs it
 * round after round and takes the command lock under it, other calls up it:
 * an event, not a lock, however often it starts again. */
static void event_semaphore_is_not_a_lock(struct kunit *test) {
    int fd = dev_open(test);
    for (int run = 0; run < 2; run++) {
        KUNIT_ASSERT_EQ(test, sys::ioctl(fd, CMD_START, 0UL), 0);
        for (int i = 0; i < 3; i++) {
            KUNIT_EXPECT_EQ(test, sys::ioctl(fd, CMD_KICK, 0UL), 0);
            wait_for_completion(&ev.worked);
        }
        KUNIT_EXPECT_EQ(test, sys::ioctl(fd, CMD_STOP, 0UL), 0);
    }
    KUNIT_EXPECT_EQ(test, ev.rounds, 6);
    sys::close(fd);
    unregister_chrdev(LD_MAJOR, "lockdep");
}

static void mutex_held_back_to_user_space(struct kunit *test) {
    int fd = dev_open(test);
    sys::ioctl(fd, CMD_HOLD, 0UL);
}

static struct completion done;

static int waiter(void *arg) {
    wait_for_completion(&done);
    return 0;
}

static int has_waiter(struct completion *x) {
    unsigned long flags;
    spin_lock_irqsave(&x->wait.lock, flags);
    int waiting = !list_empty(&x->wait.task_list);
    spin_unlock_irqrestore(&x->wait.lock, flags);
    return waiting;
}

/* Completed under `m` while someone waits, then waited for under `m`. */
static void completion_waited_under_its_completers_lock(struct kunit *test) {
    struct mutex m;
    mutex_init(&m);
    init_completion(&done);
    KUNIT_ASSERT_GT(test, kernel_thread(waiter, NULL, 0), 0);
    while (!has_waiter(&done))
        msleep(1);
    mutex_lock(&m);
    complete(&done);
    mutex_unlock(&m);
    mutex_lock(&m);
    wait_for_completion(&done);
}

static struct kunit_case lockdep_cases[] = {
    KUNIT_CASE_BUG(semaphores_in_both_orders,
                   "circular locking dependency detected.*trying to acquire lock:\n"
                   " \\(&p->a\\)\\{semaphore\\}.*already holding lock:\n \\(&p->b\\)"),
    KUNIT_CASE_BUG(user_copy_under_a_semaphore_that_mmap_takes,
                   "trying to acquire lock:\n \\(&mm->mmap_sem\\)\\{rw_semaphore, read\\}"
                   ".*already holding lock:\n \\(&map_sem\\)\\{semaphore\\}"
                   ".*-> #1 \\(&map_sem\\)\\{semaphore\\}:\n[^\n]*"
                   "while holding \\(&mm->mmap_sem\\)\\{rw_semaphore\\}"),
    KUNIT_CASE_BUG(rwsem_read_under_its_own_write,
                   "possible recursive locking detected.*\\(&sem\\)\\{rw_semaphore, read\\}"),
    KUNIT_CASE(event_semaphore_is_not_a_lock),
    KUNIT_CASE_BUG(
        mutex_held_back_to_user_space,
        "BUG: lock held when returning to user space!.*#0:  \\(held_mutex\\)\\{mutex\\}"),
    KUNIT_CASE_BUG(completion_waited_under_its_completers_lock,
                   "about to wait for:\n \\(&done\\)\\{completion\\}.*already holding lock:\n"
                   " \\(&m\\)\\{mutex\\}"),
    {},
};

static struct kunit_suite lockdep_suite = {"lockdep", lockdep_cases};
kunit_test_suite(lockdep_suite);

/* The module's order: the right one passes; the last lock before the middle
 * one is reported, though those two were never taken the other way. */
extern "C" void lockorderTake(int lastFirst);

static void declared_order_is_enforced(struct kunit *test) {
    lockorderTake(0);
    lockorderTake(1);
}

static struct kunit_case declared_cases[] = {
    KUNIT_CASE_BUG(declared_order_is_enforced,
                   "against its declared order.*acquire lock:\n \\(&lo->inner\\)\\{semaphore\\}"
                   ".*holding lock:\n \\(orderLast\\)\\{mutex\\}.*module lockorder declares"),
    {},
};

static struct kunit_suite declared_suite = {"lockdep_declared", declared_cases, "lockorder"};
kunit_test_suite(declared_suite);
