/*
 * Tasks: kernel threads start, sleep until woken, and leave through
 * complete_and_exit; a thread start can be made to fail; schedule fuzzing
 * acts at lock trips and replays its seed.
 */
#include <linux/autoconf.h>
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/errno.h>
#include <linux/string.h>
#include <kunit/test.h>
#include <standin/creds.h>
#include <standin/fault.h>
#include <standin/fuzz.h>
#include <linux/spinlock.h>

#include "internal.h"

static struct completion started, woken;
static volatile int wake_seen;
static char comm_seen[TASK_COMM_LEN];

static int sleeper_thread(void *arg) {
    daemonize("kdemo%d", 7);
    memcpy(comm_seen, current->comm, TASK_COMM_LEN);
    complete(&started);
    set_current_state(TASK_INTERRUPTIBLE);
    schedule();
    wake_seen = 1;
    complete_and_exit(&woken, 0);
}

static void thread_sleeps_until_woken(struct kunit *test) {
    init_completion(&started);
    init_completion(&woken);
    wake_seen = 0;
    pid_t pid = kernel_thread(sleeper_thread, NULL, CLONE_KERNEL);
    KUNIT_ASSERT_GT(test, pid, 0);
    wait_for_completion(&started);
    KUNIT_EXPECT_STREQ(test, comm_seen, "kdemo7");
    msleep(30);
    KUNIT_EXPECT_EQ(test, wake_seen, 0);
    struct task_struct *t = find_task_by_pid(pid);
    KUNIT_ASSERT_NOT_NULL(test, t);
    /* Wake until it is awake: it may not have gone to sleep yet. */
    while (!wake_up_process(t) && !wake_seen)
        msleep(1);
    wait_for_completion(&woken);
    KUNIT_EXPECT_EQ(test, wake_seen, 1);
}

static void thread_start_can_fail(struct kunit *test) {
    struct standin_fault_rule rule = {FAULT_THREAD, 0, NULL, 0, 0, 1};
    standin_fault_add(&rule);
    int r = kernel_thread(sleeper_thread, NULL, 0);
    standin_fault_clear();
    KUNIT_EXPECT_EQ(test, r, -ENOMEM);
}

static void schedule_timeout_returns_after_timeout(struct kunit *test) {
    set_current_state(TASK_UNINTERRUPTIBLE);
    long left = schedule_timeout(20);
    KUNIT_EXPECT_EQ(test, left, 0L);
    KUNIT_EXPECT_EQ(test, current->state, (long)TASK_RUNNING);
}

#ifndef CONFIG_SMP
/* A uniprocessor kernel runs every task on one processor. */
static int affinity_seen;

static int report_affinity(void *arg) {
    affinity_seen = host_cpu_count();
    complete((struct completion *)arg);
    return 0;
}

static void uniprocessor_runs_on_one_cpu(struct kunit *test) {
    DECLARE_COMPLETION(done);
    (void)current;
    KUNIT_EXPECT_EQ(test, host_cpu_count(), 1);
    KUNIT_ASSERT_GT(test, kernel_thread(report_affinity, &done, 0), 0);
    wait_for_completion(&done);
    KUNIT_EXPECT_EQ(test, affinity_seen, 1);
}
#endif

/* Acts as often as it is asked to, never when off, and one task's decisions
 * come again with the same seed, so a failing run can be replayed. */
static unsigned long long fuzz_acts_over_lock_trips(unsigned long long seed) {
    static DEFINE_SPINLOCK(fuzzed);
    standin_fuzz_start(seed, 100, 0);
    for (int i = 0; i < 2000; i++) {
        spin_lock(&fuzzed);
        spin_unlock(&fuzzed);
    }
    standin_fuzz_stop();
    return standin_fuzz_acts();
}

static void fuzzing_acts_while_on_and_replays_its_seed(struct kunit *test) {
    unsigned long long first = fuzz_acts_over_lock_trips(41);
    KUNIT_EXPECT_GT(test, first, 200ULL); /* 4000 points at 100 in 1000 */
    KUNIT_EXPECT_LT(test, first, 600ULL);
    fuzz_acts_over_lock_trips(42);
    KUNIT_EXPECT_EQ(test, fuzz_acts_over_lock_trips(41), first);
    DEFINE_SPINLOCK(unfuzzed);
    spin_lock(&unfuzzed);
    spin_unlock(&unfuzzed);
    KUNIT_EXPECT_EQ(test, standin_fuzz_acts(), first);
}

/* Who a thread is: a child of an ordinary user's task is that user, a
 * daemon is root again, and the host program's tasks are root. */
struct cred_seen {
    struct completion done;
    int admin, daemon_admin;
    unsigned int uid;
};

static int report_creds(void *arg) {
    struct cred_seen *seen = (struct cred_seen *)arg;
    seen->admin = capable(CAP_SYS_ADMIN);
    seen->uid = current->euid;
    daemonize("credtest");
    seen->daemon_admin = capable(CAP_SYS_ADMIN) && capable(CAP_SYS_RAWIO) && current->euid == 0;
    complete(&seen->done);
    return 0;
}

static void threads_inherit_their_creators_credentials(struct kunit *test) {
    KUNIT_EXPECT_TRUE(test, capable(CAP_SYS_ADMIN));
    KUNIT_EXPECT_EQ(test, current->euid, 0u);
    standin_task_set_creds(1000, 100, 0);
    struct cred_seen seen;
    init_completion(&seen.done);
    seen.admin = -1;
    KUNIT_ASSERT_GT(test, kernel_thread(report_creds, &seen, 0), 0);
    wait_for_completion(&seen.done);
    KUNIT_EXPECT_FALSE(test, capable(CAP_SYS_ADMIN));
    KUNIT_EXPECT_EQ(test, seen.admin, 0);
    KUNIT_EXPECT_EQ(test, seen.uid, 1000u);
    KUNIT_EXPECT_TRUE(test, seen.daemon_admin);
    standin_task_set_creds(0, 0, 1);
    KUNIT_EXPECT_TRUE(test, capable(CAP_SYS_ADMIN));
}

static struct kunit_case sched_cases[] = {
#ifndef CONFIG_SMP
    KUNIT_CASE(uniprocessor_runs_on_one_cpu),
#endif
    KUNIT_CASE(thread_sleeps_until_woken),
    KUNIT_CASE(thread_start_can_fail),
    KUNIT_CASE(schedule_timeout_returns_after_timeout),
    KUNIT_CASE(fuzzing_acts_while_on_and_replays_its_seed),
    KUNIT_CASE(threads_inherit_their_creators_credentials),
    {},
};

static struct kunit_suite sched_suite = {"sched", sched_cases};
kunit_test_suite(sched_suite);
