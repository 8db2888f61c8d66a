#ifndef _LINUX_LOCKDEP_H
#define _LINUX_LOCKDEP_H

/*
 * Lock dependency checking. Every lock belongs to a class: the static key of
 * the place that initialised it (or, for a statically defined lock, the lock
 * itself). Taking a lock of class B while holding one of class A records
 * A -> B; taking them the other way round anywhere later is reported as a
 * possible deadlock, before it can happen.
 */
struct lock_class;
struct lock_class_key {
    char __one_byte;
};

struct lockdep_map {
    struct lock_class_key *key;
    const char *name;
    struct lock_class *class_cache;
};

#define STATIC_LOCKDEP_MAP_INIT(_name, _key) \
    { (_key), (_name), NULL }

extern "C" {
void lockdep_init_map(struct lockdep_map *map, const char *name, struct lock_class_key *key,
                      int subclass);
/* read: 0 exclusive, 1 shared. */
void lock_acquire(struct lockdep_map *map, void *instance, int read, unsigned long ip);
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
