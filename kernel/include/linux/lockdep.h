#ifndef _LINUX_LOCKDEP_H
#define _LINUX_LOCKDEP_H

/*
 * Lock dependency checking. Every lock belongs to a class: the static key of
 * the place that initialised it (or, for a statically defined lock, the lock
 * itself). Taking a lock of class B while holding one of class A records
 * A -> B; taking them the other way round anywhere later is reported as a
 * possible deadlock, before it can happen. Completions and wait queues are
 * classes too: waiting on one while holding A records A -> it, waking it
 * while holding B records it -> B.
 */
struct lock_class;
#define MAX_LOCKDEP_SUBCLASSES 8
/* A lock and the locks inside it (a semaphore's spin lock) share the init
 * site's key: the subclass picks one byte of it, so each has its own class. */
struct lock_class_key {
    char subkeys[MAX_LOCKDEP_SUBCLASSES];
};

/* What a class is; semaphores, completions and wait queues are checked in
 * their own ways. */
#define LOCKDEP_SPIN 0
#define LOCKDEP_MUTEX 1
#define LOCKDEP_RWSEM 2
#define LOCKDEP_SEMAPHORE 3
#define LOCKDEP_COMPLETION 4
#define LOCKDEP_WAITQUEUE 5

struct lockdep_map {
    struct lock_class_key *key;
    const char *name;
    struct lock_class *class_cache;
    int kind;
};

/* What the last wake-up of a wait-queue entry leaves in it: the sleeping
 * locks the waker held. The waiter records them if that wake ended its wait. */
#define LOCKDEP_WAKE_LOCKS 4
struct lockdep_wake_note {
    int nr;
    int pid;
    char comm[16];
    unsigned long ip;
    struct lock_class *classes[LOCKDEP_WAKE_LOCKS];
    unsigned long acquire_ip[LOCKDEP_WAKE_LOCKS];
};

#define STATIC_LOCKDEP_MAP_INIT_KIND(_name, _key, _kind) \
    { (_key), (_name), NULL, (_kind) }
#define STATIC_LOCKDEP_MAP_INIT(_name, _key) STATIC_LOCKDEP_MAP_INIT_KIND(_name, _key, LOCKDEP_SPIN)

extern "C" {
/* A spin lock's map; other kinds set map->kind after it. */
void lockdep_init_map(struct lockdep_map *map, const char *name, struct lock_class_key *key,
                      int subclass);
/* Before a lock is taken (after, for a trylock that succeeded); read: 0
 * exclusive, 1 shared. A trylock cannot wait, so it only counts as held. */
void lock_acquire(struct lockdep_map *map, void *instance, int trylock, int read, unsigned long ip);
/* After a lock that was announced by lock_acquire was got by waiting. */
void lock_acquired(struct lockdep_map *map);
void lock_release(struct lockdep_map *map, void *instance);
}

#define _RET_IP_ (unsigned long)__builtin_return_address(0)
#define _THIS_IP_                \
    ({                           \
        __label__ __here;        \
    __here:                      \
        (unsigned long)&&__here; \
    })

#endif
