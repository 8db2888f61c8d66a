#ifndef _LINUX_WAIT_H
#define _LINUX_WAIT_H

#include <linux/list.h>
#include <linux/spinlock.h>

struct task_struct;
typedef struct __wait_queue wait_queue_t;
typedef int (*wait_queue_func_t)(wait_queue_t *wait, unsigned mode, int sync, void *key);

struct __wait_queue {
    unsigned int flags;
    void *private_data;
    wait_queue_func_t func;
    struct list_head task_list;
    struct lockdep_wake_note wake_note; /* under the queue's lock */
};

/* dep_map: the queue as the dependency checker sees a wait on it (a
 * completion's queue is the completion). */
struct __wait_queue_head {
    spinlock_t lock;
    struct list_head task_list;
    struct lockdep_map dep_map;
};
typedef struct __wait_queue_head wait_queue_head_t;

#define __WAIT_QUEUE_HEAD_INIT_KIND(name, depname, kind)                         \
    {                                                                            \
        __SPIN_LOCK_UNLOCKED(name.lock), {&(name).task_list, &(name).task_list}, \
            STATIC_LOCKDEP_MAP_INIT_KIND(depname, NULL, kind)                    \
    }
#define __WAIT_QUEUE_HEAD_INITIALIZER(name) \
    __WAIT_QUEUE_HEAD_INIT_KIND(name, #name, LOCKDEP_WAITQUEUE)
#define DECLARE_WAIT_QUEUE_HEAD(name) wait_queue_head_t name = __WAIT_QUEUE_HEAD_INITIALIZER(name)

#define init_waitqueue_head(q)                  \
    do {                                        \
        static struct lock_class_key __key;     \
        __init_waitqueue_head((q), #q, &__key); \
    } while (0)

extern "C" {
void __init_waitqueue_head(wait_queue_head_t *q, const char *name, struct lock_class_key *key);
int default_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key);
int autoremove_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key);
void add_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);
void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *wait);
void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);
void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *wait, int state);
void finish_wait(wait_queue_head_t *q, wait_queue_t *wait);
void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr, void *key);
}

#define WQ_FLAG_EXCLUSIVE 0x01

#define DEFINE_WAIT(name) \
    wait_queue_t name = {0, current, autoremove_wake_function, LIST_HEAD_INIT((name).task_list)}
#define DECLARE_WAITQUEUE(name, tsk) \
    wait_queue_t name = {0, tsk, default_wake_function, {NULL, NULL}}

#define wake_up(x) __wake_up((x), 3, 1, NULL)
#define wake_up_all(x) __wake_up((x), 3, 0, NULL)
#define wake_up_interruptible(x) __wake_up((x), 1, 1, NULL)

#define wait_event(wq, condition)                                  \
    do {                                                           \
        if (condition)                                             \
            break;                                                 \
        DEFINE_WAIT(__wait);                                       \
        for (;;) {                                                 \
            prepare_to_wait(&(wq), &__wait, TASK_UNINTERRUPTIBLE); \
            if (condition)                                         \
                break;                                             \
            schedule();                                            \
        }                                                          \
        finish_wait(&(wq), &__wait);                               \
    } while (0)

#endif
