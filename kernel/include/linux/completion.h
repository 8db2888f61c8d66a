#ifndef _LINUX_COMPLETION_H
#define _LINUX_COMPLETION_H

#include <linux/wait.h>

struct completion {
    unsigned int done;
    wait_queue_head_t wait;
};

#define COMPLETION_INITIALIZER(work) \
    { 0, __WAIT_QUEUE_HEAD_INIT_KIND((work).wait, #work, LOCKDEP_COMPLETION) }
#define DECLARE_COMPLETION(work) struct completion work = COMPLETION_INITIALIZER(work)
#define INIT_COMPLETION(x) ((x).done = 0)

#define init_completion(x)                  \
    do {                                    \
        static struct lock_class_key __key; \
        __init_completion((x), #x, &__key); \
    } while (0)

extern "C" {
void __init_completion(struct completion *x, const char *name, struct lock_class_key *key);
void wait_for_completion(struct completion *x);
int wait_for_completion_interruptible(struct completion *x);
void complete(struct completion *x);
void complete_all(struct completion *x);
__attribute__((noreturn)) void complete_and_exit(struct completion *comp, long code);
}

#endif
