/*
 * A small lock validator. It keeps, per task, the stack of held locks and,
 * globally, the order in which lock classes have been taken inside each
 * other. Taking a lock whose class already (transitively) comes before a held
 * one would close a cycle: that is reported and stops the kernel, whether or
 * not the deadlock happened this time. Taking the same lock instance twice,
 * and a spin lock that is used both in interrupt context and with interrupts
 * enabled, are reported the same way.
 */
#include <linux/kernel.h>
#include <linux/lockdep.h>
#include <linux/sched.h>
#include <linux/string.h>

#include "internal.h"

#define CLASS_HASH_SIZE 4096

/*
 * The classes taken after a class. Known edges are read without the graph
 * lock (the common case of every lock acquisition); a new edge is added
 * under it. A grown array replaces the old one, which stays allocated and
 * chained for readers that may still look at it.
 */
struct edge_array {
    struct edge_array *older;
    unsigned int cap;
    struct lock_class *to[];
};

struct lock_class {
    struct lock_class_key *key;
    const char *name;
    int dead;
    int used_in_irq;
    int used_irqs_on;
    unsigned int nafter;
    struct edge_array *after;
    struct lock_class *hash_next;
    unsigned int visit;
};

static struct host_mutex graph_lock;
static struct lock_class *class_hash[CLASS_HASH_SIZE];
static unsigned int visit_gen;

static unsigned int hash_key(struct lock_class_key *key) {
    unsigned long k = (unsigned long)key;
    return (unsigned int)((k >> 4) ^ (k >> 16)) % CLASS_HASH_SIZE;
}

static struct lock_class *lookup_class(struct lockdep_map *map) {
    struct lock_class_key *key = map->key ? map->key : (struct lock_class_key *)map;
    struct lock_class *c = __atomic_load_n(&map->class_cache, __ATOMIC_ACQUIRE);
    if (c && c->key == key && !__atomic_load_n(&c->dead, __ATOMIC_RELAXED))
        return c;
    host_mutex_lock(&graph_lock);
    unsigned int h = hash_key(key);
    for (c = class_hash[h]; c; c = c->hash_next)
        if (c->key == key && !c->dead)
            break;
    if (!c) {
        c = (struct lock_class *)host_calloc(1, sizeof(*c));
        c->key = key;
        c->name = map->name ? map->name : "(unnamed)";
        c->hash_next = class_hash[h];
        class_hash[h] = c;
    }
    host_mutex_unlock(&graph_lock);
    __atomic_store_n(&map->class_cache, c, __ATOMIC_RELEASE);
    return c;
}

static unsigned int edge_count(struct lock_class *c) {
    return __atomic_load_n(&c->nafter, __ATOMIC_ACQUIRE);
}

static struct lock_class *edge_at(struct lock_class *c, unsigned int i) {
    struct edge_array *a = __atomic_load_n(&c->after, __ATOMIC_ACQUIRE);
    return __atomic_load_n(&a->to[i], __ATOMIC_RELAXED);
}

/* Safe without the graph lock. */
static int has_edge(struct lock_class *from, struct lock_class *to) {
    unsigned int n = edge_count(from);
    for (unsigned int i = 0; i < n; i++)
        if (edge_at(from, i) == to)
            return 1;
    return 0;
}

/* With the graph lock held. */
static void add_edge(struct lock_class *from, struct lock_class *to) {
    struct edge_array *a = from->after;
    unsigned int n = from->nafter;
    if (!a || n == a->cap) {
        unsigned int cap = a ? a->cap * 2 : 8;
        struct edge_array *grown = (struct edge_array *)host_calloc(
            1, sizeof(struct edge_array) + cap * sizeof(struct lock_class *));
        grown->older = a;
        grown->cap = cap;
        for (unsigned int i = 0; i < n; i++)
            grown->to[i] = a->to[i];
        __atomic_store_n(&from->after, grown, __ATOMIC_RELEASE);
        a = grown;
    }
    __atomic_store_n(&a->to[n], to, __ATOMIC_RELAXED);
    __atomic_store_n(&from->nafter, n + 1, __ATOMIC_RELEASE);
}

/* Depth-first search: is `target` reachable from `from`? Fills path[]. */
static int reaches(struct lock_class *from, struct lock_class *target, struct lock_class **path,
                   int depth, int *len) {
    if (depth >= 32)
        return 0;
    path[depth] = from;
    if (from == target) {
        *len = depth + 1;
        return 1;
    }
    if (from->visit == visit_gen)
        return 0;
    from->visit = visit_gen;
    for (unsigned int i = 0; i < from->nafter; i++)
        if (reaches(from->after->to[i], target, path, depth + 1, len))
            return 1;
    return 0;
}

static void symbol_of(unsigned long ip, char *buf, unsigned long size) {
    host_symbolize((void *)ip, buf, size);
}

static void report_cycle(struct task_struct *t, struct lock_class *held, unsigned long held_ip,
                         struct lock_class *taking, unsigned long ip, struct lock_class **path,
                         int len) {
    char a[256], b[256], chain[1024];
    symbol_of(ip, a, sizeof(a));
    symbol_of(held_ip, b, sizeof(b));
    int off = 0;
    for (int i = 0; i < len && off < (int)sizeof(chain) - 64; i++)
        off += snprintf(chain + off, sizeof(chain) - off, "%s%s", i ? " -> " : "", path[i]->name);
    kernel_die(
        "\n=======================================================\n"
        "[ INFO: possible circular locking dependency detected ]\n"
        "-------------------------------------------------------\n"
        "%s/%d is trying to acquire lock:\n (%s), at: %s\n\n"
        "but task is already holding lock:\n (%s), at: %s\n\n"
        "which lock already depends on the new lock:\n %s\n",
        t->comm, t->pid, taking->name, a, held->name, b, chain);
}

static void mark_usage(int *flag) {
    if (!__atomic_load_n(flag, __ATOMIC_RELAXED))
        __atomic_store_n(flag, 1, __ATOMIC_RELAXED);
}

static void check_irq_usage(struct task_struct *t, struct lock_class *c, unsigned long ip) {
    if (t->hardirq)
        mark_usage(&c->used_in_irq);
    else if (!t->irqs_off)
        mark_usage(&c->used_irqs_on);
    if (__atomic_load_n(&c->used_in_irq, __ATOMIC_RELAXED) &&
        __atomic_load_n(&c->used_irqs_on, __ATOMIC_RELAXED)) {
        char a[256];
        symbol_of(ip, a, sizeof(a));
        kernel_die(
            "\n=================================\n"
            "[ INFO: inconsistent lock state ]\n"
            "---------------------------------\n"
            "inconsistent {IN-HARDIRQ-W} -> {HARDIRQ-ON-W} usage.\n"
            "%s/%d takes (%s) at: %s\n"
            "the lock is taken both in interrupt context and with interrupts enabled\n",
            t->comm, t->pid, c->name, a);
    }
}

extern "C" void lockdep_init_map(struct lockdep_map *map, const char *name,
                                 struct lock_class_key *key, int subclass) {
    (void)subclass;
    map->key = key;
    map->name = name;
    map->class_cache = NULL;
}

extern "C" void lock_acquire(struct lockdep_map *map, void *instance, int read, unsigned long ip) {
    struct task_struct *t = current;
    for (int i = 0; i < t->lockdep_depth; i++) {
        if (t->held_locks[i].instance != instance)
            continue;
        char a[256], b[256];
        symbol_of(ip, a, sizeof(a));
        symbol_of(t->held_locks[i].acquire_ip, b, sizeof(b));
        kernel_die(
            "\n=============================================\n"
            "[ INFO: possible recursive locking detected ]\n"
            "---------------------------------------------\n"
            "%s/%d is trying to acquire lock:\n (%s), at: %s\n\n"
            "but task is already holding lock:\n (%s), at: %s\n",
            t->comm, t->pid, map->name, a, t->held_locks[i].map->name, b);
    }
    if (t->lockdep_depth >= MAX_LOCK_DEPTH)
        kernel_die("BUG: MAX_LOCK_DEPTH too low! %s/%d holds %d locks\n", t->comm, t->pid,
                   t->lockdep_depth);
    struct lock_class *c = lookup_class(map);
    check_irq_usage(t, c, ip);
    for (int i = 0; i < t->lockdep_depth; i++) {
        struct lock_class *h = t->held_locks[i].lock_class;
        /* Nesting two locks of one class is not an ordering question. */
        if (h == c || has_edge(h, c))
            continue;
        host_mutex_lock(&graph_lock);
        if (!has_edge(h, c)) {
            struct lock_class *path[32];
            int len = 0;
            visit_gen++;
            if (reaches(c, h, path, 0, &len)) {
                host_mutex_unlock(&graph_lock);
                report_cycle(t, h, t->held_locks[i].acquire_ip, c, ip, path, len);
            }
            add_edge(h, c);
        }
        host_mutex_unlock(&graph_lock);
    }
    struct held_lock *hl = &t->held_locks[t->lockdep_depth++];
    hl->map = map;
    hl->lock_class = c;
    hl->instance = instance;
    hl->acquire_ip = ip;
    hl->read = read;
}

extern "C" void lock_release(struct lockdep_map *map, void *instance) {
    struct task_struct *t = current;
    for (int i = t->lockdep_depth - 1; i >= 0; i--) {
        if (t->held_locks[i].instance != instance)
            continue;
        for (int j = i; j < t->lockdep_depth - 1; j++)
            t->held_locks[j] = t->held_locks[j + 1];
        t->lockdep_depth--;
        return;
    }
    kernel_die(
        "\n=====================================\n"
        "[ BUG: bad unlock balance detected! ]\n"
        "-------------------------------------\n"
        "%s/%d is trying to release lock (%s) that it does not hold\n",
        t->comm, t->pid, map->name);
}

/* Forgets the classes whose keys lived in a module's image, as the module's
 * memory can be reused by the next one. */
void lockdep_free_key_range(unsigned long lo, unsigned long hi) {
    host_mutex_lock(&graph_lock);
    for (unsigned int h = 0; h < CLASS_HASH_SIZE; h++)
        for (struct lock_class *c = class_hash[h]; c; c = c->hash_next) {
            unsigned long k = (unsigned long)c->key;
            if (k >= lo && k < hi)
                __atomic_store_n(&c->dead, 1, __ATOMIC_RELAXED);
        }
    for (unsigned int h = 0; h < CLASS_HASH_SIZE; h++)
        for (struct lock_class *c = class_hash[h]; c; c = c->hash_next) {
            /* Dead classes stay allocated: held locks may still point at them.
             * Readers without the lock may see an edge vanish, never a wrong one. */
            unsigned int keep = 0;
            for (unsigned int i = 0; i < c->nafter; i++) {
                struct lock_class *to = c->after->to[i];
                if (!to->dead && !c->dead)
                    __atomic_store_n(&c->after->to[keep++], to, __ATOMIC_RELAXED);
            }
            __atomic_store_n(&c->nafter, keep, __ATOMIC_RELEASE);
        }
    host_mutex_unlock(&graph_lock);
}
