/*
 * A small lock validator. It keeps, per task, the stack of held locks and,
 * globally, the order in which lock classes have been taken inside each
 * other: spin locks, mutexes, rw-semaphores (either side) and semaphores
 * alike. Taking a lock whose class already (transitively) comes before a held
 * one would close a cycle: that is reported and stops the kernel, whether or
 * not the deadlock happened this time. Taking the same lock instance twice
 * (a read of an rw-semaphore included: a queued writer blocks it), and a spin
 * lock that is used both in interrupt context and with interrupts enabled,
 * are reported the same way.
 *
 * Completions and wait queues are classes without instances: a task that
 * waits on one while holding a sleeping lock L records L -> it, a task that
 * wakes it while holding L records it -> L (for a completion, when someone
 * waits; for a wait queue, when the wake-up ends a wait: wait.cpp), so a
 * waiter holding what its waker needs closes a cycle like two locks do.
 *
 * A semaphore is a lock until it is seen used as an event: upped by a task
 * that does not hold it, or still held when a system call returns. Its class
 * then stops being checked and every task forgets holding it.
 *
 * A module may declare the order of its own classes by name (its .modinfo
 * tag lockorder=a,b,c): taking one while holding a later one is reported at
 * once, even if the other order was never seen.
 */
#include <linux/kernel.h>
#include <linux/lockdep.h>
#include <linux/sched.h>
#include <linux/string.h>

#include "internal.h"

#define CLASS_HASH_SIZE 4096
#define MAX_CHAIN 32
#define EDGE_FRAMES 16

/*
 * A dependency from -> to, with what the report says about the first time
 * it was seen: where each of the two was taken, by whom, and the stack of
 * the second acquisition. Edges are never freed: every one stays on a list.
 */
struct lock_edge {
    struct lock_class *to;
    unsigned long from_ip, to_ip;
    int to_read;
    int wake; /* from a wake-up of `from` while holding `to` */
    pid_t pid;
    char comm[TASK_COMM_LEN];
    int nframes;
    void *frames[EDGE_FRAMES];
    struct lock_edge *all_next;
};

/*
 * The edges out of a class. Known edges are read without the graph lock
 * (the common case of every lock acquisition); a new edge is added under it.
 * A grown array replaces the old one, which stays allocated and chained for
 * readers that may still look at it.
 */
struct edge_array {
    struct edge_array *older;
    unsigned int cap;
    struct lock_edge *e[];
};

/* A declared order: the names of one module's classes, outer first. */
struct lock_order {
    struct lock_order *next;
    char owner[MODULE_NAME_LEN];
    unsigned long lo, hi; /* the module's image: its classes' keys lie there */
    char *text;           /* as declared */
    int n;
    char *names[MAX_CHAIN];
};

struct lock_class {
    struct lock_class_key *key;
    const char *name;
    int kind;
    int dead;
    int event; /* a semaphore used as an event: no longer checked */
    int used_in_irq;
    int used_irqs_on;
    unsigned int nafter;
    struct edge_array *after;
    /* Classes this one is known to lead to, by a hash of their address: the
     * common acquire finds its edge here instead of scanning them all. */
    struct lock_class *known_after[16];
    struct lock_class *hash_next;
    unsigned int visit;
    /* Where the declared orders put it, valid while order_gen is current. */
    unsigned int order_gen;
    struct lock_order *order;
    int order_pos;
};

static struct host_mutex graph_lock;
static struct lock_class *class_hash[CLASS_HASH_SIZE];
static unsigned int visit_gen;
static struct lock_edge *all_edges;
/* Declared orders; dropped ones stay allocated, as classes may point there. */
static struct lock_order *orders, *dropped_orders;
static int nr_orders;
static unsigned int orders_gen = 1;

static const char *const kind_names[] = {"spin lock", "mutex",      "rw_semaphore",
                                         "semaphore", "completion", "wait queue"};

static unsigned int hash_key(struct lock_class_key *key) {
    unsigned long k = (unsigned long)key;
    return (unsigned int)((k >> 4) ^ (k >> 16)) % CLASS_HASH_SIZE;
}

static int is_event(struct lock_class *c) {
    return __atomic_load_n(&c->event, __ATOMIC_ACQUIRE);
}

static int is_dead(struct lock_class *c) {
    return __atomic_load_n(&c->dead, __ATOMIC_RELAXED);
}

/* A keyless (statically initialised) map is its own key; the memory of an
 * on-stack one may come back as another kind of object. */
static struct lock_class *lookup_class(struct lockdep_map *map) {
    struct lock_class_key *key = map->key ? map->key : (struct lock_class_key *)map;
    struct lock_class *c = __atomic_load_n(&map->class_cache, __ATOMIC_ACQUIRE);
    if (c && c->key == key && !is_dead(c))
        return c;
    host_mutex_lock(&graph_lock);
    unsigned int h = hash_key(key);
    for (c = class_hash[h]; c; c = c->hash_next)
        if (c->key == key && !c->dead && c->kind == map->kind)
            break;
    if (!c) {
        c = (struct lock_class *)host_calloc(1, sizeof(*c));
        c->key = key;
        c->name = map->name ? map->name : "(unnamed)";
        c->kind = map->kind;
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

static struct lock_edge *edge_at(struct lock_class *c, unsigned int i) {
    struct edge_array *a = __atomic_load_n(&c->after, __ATOMIC_ACQUIRE);
    return __atomic_load_n(&a->e[i], __ATOMIC_ACQUIRE);
}

/* Safe without the graph lock. */
static int has_edge(struct lock_class *from, struct lock_class *to) {
    unsigned int n = edge_count(from);
    for (unsigned int i = 0; i < n; i++)
        if (edge_at(from, i)->to == to)
            return 1;
    return 0;
}

/* With the graph lock held. caller: the return address of the lockdep entry
 * point, where the stack kept for the report starts. */
static void add_edge(pid_t pid, const char *comm, struct lock_class *from, unsigned long from_ip,
                     struct lock_class *to, unsigned long to_ip, int to_read, int wake,
                     unsigned long caller) {
    struct lock_edge *e = (struct lock_edge *)host_calloc(1, sizeof(*e));
    e->to = to;
    e->from_ip = from_ip;
    e->to_ip = to_ip;
    e->to_read = to_read;
    e->wake = wake;
    e->pid = pid;
    strlcpy(e->comm, comm, sizeof(e->comm));
    void *frames[48];
    /* No caller: the acquisition's stack is gone (a waker's, seen later). */
    int n = caller ? host_stack_trace(frames, 48) : 0, first = 0;
    for (int i = 0; i < n; i++)
        if ((unsigned long)frames[i] == caller) {
            first = i;
            break;
        }
    for (int i = first; i < n && e->nframes < EDGE_FRAMES; i++)
        e->frames[e->nframes++] = frames[i];
    e->all_next = all_edges;
    all_edges = e;

    struct edge_array *a = from->after;
    unsigned int cnt = from->nafter;
    if (!a || cnt == a->cap) {
        unsigned int cap = a ? a->cap * 2 : 8;
        struct edge_array *grown = (struct edge_array *)host_calloc(
            1, sizeof(struct edge_array) + cap * sizeof(struct lock_edge *));
        grown->older = a;
        grown->cap = cap;
        for (unsigned int i = 0; i < cnt; i++)
            grown->e[i] = a->e[i];
        __atomic_store_n(&from->after, grown, __ATOMIC_RELEASE);
        a = grown;
    }
    __atomic_store_n(&a->e[cnt], e, __ATOMIC_RELEASE);
    __atomic_store_n(&from->nafter, cnt + 1, __ATOMIC_RELEASE);
}

/* Depth-first search, graph lock held: is `target` reachable from `from`?
 * Fills path[] with the edges followed. Event classes lead nowhere. */
static int reaches(struct lock_class *from, struct lock_class *target, struct lock_edge **path,
                   int depth, int *len) {
    if (from == target) {
        *len = depth;
        return 1;
    }
    if (depth >= MAX_CHAIN || from->visit == visit_gen || is_event(from))
        return 0;
    from->visit = visit_gen;
    for (unsigned int i = 0; i < from->nafter; i++) {
        path[depth] = from->after->e[i];
        if (reaches(path[depth]->to, target, path, depth + 1, len))
            return 1;
    }
    return 0;
}

/* ---- Reports ------------------------------------------------------------ */

static void symbol_of(unsigned long ip, char *buf, unsigned long size) {
    host_symbolize((void *)ip, buf, size);
}

/* One part of a report, to the log and to stderr; kernel_die ends it. */
static void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void report(const char *fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    printk("<0>%s", buf);
    host_write_stderr(buf, strlen(buf));
}

/* "(name){kind}" or "(name){kind, read}" */
static const char *describe(struct lock_class *c, int read, char *buf, unsigned long size) {
    snprintf(buf, size, "(%s){%s%s}", c->name, kind_names[c->kind], read ? ", read" : "");
    return buf;
}

static void report_header(const char *title) {
    char rule[80];
    unsigned long n = min(strlen(title) + 4, sizeof(rule) - 1);
    memset(rule, '=', n);
    rule[n] = 0;
    report("\n%s\n[ %s ]\n", rule, title);
    memset(rule, '-', n);
    report("%s\n", rule);
}

/* The chain path[0..len), whose last edge ends in the held lock. */
static void report_chain(struct lock_class *first, struct lock_edge **path, int len) {
    char a[256], b[256], d[320], p[320];
    report("\nthe existing dependency chain (in reverse order) is:\n");
    for (int i = len - 1; i >= 0; i--) {
        struct lock_edge *e = path[i];
        struct lock_class *prev = i ? path[i - 1]->to : first;
        symbol_of(e->to_ip, a, sizeof(a));
        symbol_of(e->from_ip, b, sizeof(b));
        describe(e->to, e->to_read, d, sizeof(d));
        describe(prev, 0, p, sizeof(p));
        if (e->wake)
            report("\n-> #%d %s:\n       taken at %s, held by %s/%d as it woke %s at %s\n", i + 1,
                   d, a, e->comm, e->pid, p, b);
        else
            report("\n-> #%d %s:\n       %s at %s by %s/%d while holding %s, taken at %s\n", i + 1,
                   d, e->to->kind >= LOCKDEP_COMPLETION ? "waited for" : "taken", a, e->comm,
                   e->pid, p, b);
        for (int f = 0; f < e->nframes; f++) {
            symbol_of((unsigned long)e->frames[f], a, sizeof(a));
            report("       [<%p>] %s\n", e->frames[f], a);
        }
    }
}

/* Taking (or waiting on) `taking` while holding `held`, whose class is
 * reached from it by path. */
static __attribute__((noreturn)) void report_cycle(struct task_struct *t, struct held_lock *held,
                                                   struct lock_class *taking, int read,
                                                   unsigned long ip, struct lock_edge **path,
                                                   int len) {
    char a[256], b[256], d[320], h[320];
    symbol_of(ip, a, sizeof(a));
    symbol_of(held->acquire_ip, b, sizeof(b));
    int wait = taking->kind >= LOCKDEP_COMPLETION;
    report_header("INFO: possible circular locking dependency detected");
    report(
        "%s/%d is %s:\n %s, at: %s\n\nbut task is already holding lock:\n %s, at: %s\n\n"
        "which lock already depends on the new %s.\n",
        t->comm, t->pid, wait ? "about to wait for" : "trying to acquire lock",
        describe(taking, read, d, sizeof(d)), a,
        describe(held->lock_class, held->read, h, sizeof(h)), b, wait ? "wait" : "lock");
    report_chain(taking, path, len);
    kernel_die("\n-> #0 %s:\n       %s at %s while holding %s; its stack:\n",
               describe(taking, read, d, sizeof(d)), wait ? "waited for" : "taken", a,
               describe(held->lock_class, held->read, h, sizeof(h)));
}

/* Waking `waking` while holding `held`, which a waiter of it may hold. */
static __attribute__((noreturn)) void report_wake_cycle(struct task_struct *t,
                                                        struct held_lock *held,
                                                        struct lock_class *waking, unsigned long ip,
                                                        struct lock_edge **path, int len) {
    char a[256], b[256], d[320], h[320];
    symbol_of(ip, a, sizeof(a));
    symbol_of(held->acquire_ip, b, sizeof(b));
    report_header("INFO: possible circular locking dependency detected");
    report(
        "%s/%d is waking:\n %s, at: %s\n\nwhile holding lock:\n %s, at: %s\n\n"
        "which a waiter may hold while it waits: the wake-up depends on the lock.\n",
        t->comm, t->pid, describe(waking, 0, d, sizeof(d)), a,
        describe(held->lock_class, held->read, h, sizeof(h)), b);
    report_chain(held->lock_class, path, len);
    kernel_die("\n-> #0 %s:\n       woken at %s while holding %s; its stack:\n",
               describe(waking, 0, d, sizeof(d)), a,
               describe(held->lock_class, held->read, h, sizeof(h)));
}

static __attribute__((noreturn)) void report_recursion(struct task_struct *t,
                                                       struct held_lock *held, struct lock_class *c,
                                                       int read, unsigned long ip) {
    char a[256], b[256], d[320], h[320];
    symbol_of(ip, a, sizeof(a));
    symbol_of(held->acquire_ip, b, sizeof(b));
    report_header("INFO: possible recursive locking detected");
    kernel_die(
        "%s/%d is trying to acquire lock:\n %s, at: %s\n\n"
        "but task is already holding lock:\n %s, at: %s\n",
        t->comm, t->pid, describe(c, read, d, sizeof(d)), a,
        describe(held->lock_class, held->read, h, sizeof(h)), b);
}

static void report_held(struct task_struct *t) {
    char a[256], d[320];
    report("%d lock%s held by %s/%d:\n", t->lockdep_depth, t->lockdep_depth == 1 ? "" : "s",
           t->comm, t->pid);
    for (int i = 0; i < t->lockdep_depth; i++) {
        struct held_lock *hl = &t->held_locks[i];
        symbol_of(hl->acquire_ip, a, sizeof(a));
        report(" #%d:  %s, at: %s\n", i, describe(hl->lock_class, hl->read, d, sizeof(d)), a);
    }
}

/* ---- Held locks --------------------------------------------------------- */

/* Drops the task's entries of classes that turned into events. Only the task
 * changes its own stack; another task's entries go when it next looks. */
static void prune(struct task_struct *t) {
    int keep = 0;
    for (int i = 0; i < t->lockdep_depth; i++)
        if (!is_event(t->held_locks[i].lock_class))
            t->held_locks[keep++] = t->held_locks[i];
    t->lockdep_depth = keep;
}

static void make_event(struct lock_class *c) {
    __atomic_store_n(&c->event, 1, __ATOMIC_RELEASE);
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

/* Records from -> to (held -> taken, or a wake-up's class -> held) unless it
 * closes a cycle, which is reported. */
static void add_dependency(struct task_struct *t, struct held_lock *held, struct lock_class *c,
                           int read, unsigned long ip, unsigned long caller, int wake) {
    struct lock_class *from = wake ? c : held->lock_class;
    struct lock_class *to = wake ? held->lock_class : c;
    /* Nesting two locks of one class is not an ordering question. */
    if (from == to)
        return;
    struct lock_class **known =
        &from->known_after[((unsigned long)to >> 6) % ARRAY_SIZE(from->known_after)];
    if (__atomic_load_n(known, __ATOMIC_RELAXED) == to)
        return;
    if (has_edge(from, to)) {
        __atomic_store_n(known, to, __ATOMIC_RELAXED);
        return;
    }
    host_mutex_lock(&graph_lock);
    if (!has_edge(from, to)) {
        struct lock_edge *path[MAX_CHAIN];
        int len = 0;
        visit_gen++;
        if (reaches(to, from, path, 0, &len)) {
            host_mutex_unlock(&graph_lock);
            if (wake)
                report_wake_cycle(t, held, c, ip, path, len);
            report_cycle(t, held, c, read, ip, path, len);
        }
        if (wake)
            add_edge(t->pid, t->comm, c, ip, held->lock_class, held->acquire_ip, held->read, 1,
                     caller);
        else
            add_edge(t->pid, t->comm, held->lock_class, held->acquire_ip, c, ip, read, 0, caller);
    }
    host_mutex_unlock(&graph_lock);
}

/* ---- Declared orders ---------------------------------------------------- */

/* The order that names c, and where; NULL when none does. */
static struct lock_order *order_of(struct lock_class *c, int *pos) {
    unsigned int gen = __atomic_load_n(&orders_gen, __ATOMIC_ACQUIRE);
    if (__atomic_load_n(&c->order_gen, __ATOMIC_ACQUIRE) != gen) {
        host_mutex_lock(&graph_lock);
        struct lock_order *found = NULL;
        int at = 0;
        unsigned long k = (unsigned long)c->key;
        for (struct lock_order *o = orders; o && !found; o = o->next) {
            if (k < o->lo || k >= o->hi)
                continue;
            for (int i = 0; i < o->n; i++)
                if (strcmp(o->names[i], c->name) == 0) {
                    found = o;
                    at = i;
                    break;
                }
        }
        __atomic_store_n(&c->order, found, __ATOMIC_RELAXED);
        __atomic_store_n(&c->order_pos, at, __ATOMIC_RELAXED);
        __atomic_store_n(&c->order_gen, orders_gen, __ATOMIC_RELEASE);
        host_mutex_unlock(&graph_lock);
    }
    *pos = __atomic_load_n(&c->order_pos, __ATOMIC_RELAXED);
    return __atomic_load_n(&c->order, __ATOMIC_RELAXED);
}

static void check_declared(struct task_struct *t, struct lock_class *c, int read,
                           unsigned long ip) {
    if (!__atomic_load_n(&nr_orders, __ATOMIC_ACQUIRE))
        return;
    int pos, held_pos;
    struct lock_order *o = order_of(c, &pos);
    if (!o)
        return;
    for (int i = 0; i < t->lockdep_depth; i++) {
        struct held_lock *hl = &t->held_locks[i];
        if (order_of(hl->lock_class, &held_pos) != o || held_pos <= pos)
            continue;
        char a[256], b[256], d[320], h[320];
        symbol_of(ip, a, sizeof(a));
        symbol_of(hl->acquire_ip, b, sizeof(b));
        report_header("INFO: lock taken against its declared order");
        kernel_die(
            "%s/%d is trying to acquire lock:\n %s, at: %s\n\n"
            "but task is already holding lock:\n %s, at: %s\n\n"
            "which module %s declares to come after it: lockorder=%s\n",
            t->comm, t->pid, describe(c, read, d, sizeof(d)), a,
            describe(hl->lock_class, hl->read, h, sizeof(h)), b, o->owner, o->text);
    }
}

void lockdep_declare_order(const char *owner, unsigned long lo, unsigned long hi,
                           const char *text) {
    struct lock_order *o = (struct lock_order *)host_calloc(1, sizeof(*o));
    strlcpy(o->owner, owner, sizeof(o->owner));
    o->lo = lo;
    o->hi = hi;
    unsigned long len = strlen(text);
    o->text = (char *)host_calloc(2, len + 1);
    memcpy(o->text, text, len);
    /* The names, split at commas, in a second copy; blanks around are not
     * part of a name. */
    char *s = o->text + len + 1;
    memcpy(s, text, len);
    while (*s && o->n < MAX_CHAIN) {
        char *end = strchr(s, ',');
        if (end)
            *end = 0;
        while (*s == ' ')
            s++;
        for (char *e = s + strlen(s); e > s && e[-1] == ' ';)
            *--e = 0;
        if (*s)
            o->names[o->n++] = s;
        if (!end)
            break;
        s = end + 1;
    }
    host_mutex_lock(&graph_lock);
    o->next = orders;
    orders = o;
    __atomic_add_fetch(&orders_gen, 1, __ATOMIC_RELEASE);
    __atomic_add_fetch(&nr_orders, 1, __ATOMIC_RELEASE);
    host_mutex_unlock(&graph_lock);
}

/* ---- Entry points ------------------------------------------------------- */

extern "C" void lockdep_init_map(struct lockdep_map *map, const char *name,
                                 struct lock_class_key *key, int subclass) {
    if (subclass < 0 || subclass >= MAX_LOCKDEP_SUBCLASSES)
        kernel_die("BUG: looking up invalid subclass: %d\n", subclass);
    map->key = key ? (struct lock_class_key *)&key->subkeys[subclass] : NULL;
    map->name = name;
    map->class_cache = NULL;
    map->kind = LOCKDEP_SPIN;
}

extern "C" void lock_acquire(struct lockdep_map *map, void *instance, int trylock, int read,
                             unsigned long ip) {
    struct task_struct *t = current;
    struct lock_class *c = lookup_class(map);
    if (is_event(c))
        return;
    prune(t);
    /* A trylock cannot wait: neither a recursion nor an ordering question. */
    if (!trylock)
        for (int i = 0; i < t->lockdep_depth; i++)
            if (t->held_locks[i].instance == instance)
                report_recursion(t, &t->held_locks[i], c, read, ip);
    if (t->lockdep_depth >= MAX_LOCK_DEPTH)
        kernel_die("BUG: MAX_LOCK_DEPTH too low! %s/%d holds %d locks\n", t->comm, t->pid,
                   t->lockdep_depth);
    check_irq_usage(t, c, ip);
    if (!trylock) {
        check_declared(t, c, read, ip);
        for (int i = 0; i < t->lockdep_depth; i++)
            add_dependency(t, &t->held_locks[i], c, read, ip, _RET_IP_, 0);
    }
    struct held_lock *hl = &t->held_locks[t->lockdep_depth++];
    hl->map = map;
    hl->lock_class = c;
    hl->instance = instance;
    hl->acquire_ip = ip;
    hl->read = read;
}

extern "C" void lock_acquired(struct lockdep_map *map) {
    (void)map;
    prune(current);
}

extern "C" void lock_release(struct lockdep_map *map, void *instance) {
    struct task_struct *t = current;
    prune(t);
    for (int i = t->lockdep_depth - 1; i >= 0; i--) {
        if (t->held_locks[i].instance != instance)
            continue;
        for (int j = i; j < t->lockdep_depth - 1; j++)
            t->held_locks[j] = t->held_locks[j + 1];
        t->lockdep_depth--;
        return;
    }
    if (is_event(lookup_class(map)))
        return;
    report_header("BUG: bad unlock balance detected!");
    kernel_die("%s/%d is trying to release lock (%s) that it does not hold\n", t->comm, t->pid,
               map->name);
}

/*
 * up() of a semaphore. The holder's up is a release; anyone else's makes the
 * semaphore an event. That is decided here, before up() hands the count to a
 * sleeper: the sleeper announced its down before it slept, and forgets it as
 * it wakes (lock_acquired), so it never runs holding an event as a lock.
 */
void lockdep_sem_up(struct lockdep_map *map, void *instance) {
    struct task_struct *t = current;
    struct lock_class *c = lookup_class(map);
    if (!is_event(c)) {
        for (int i = t->lockdep_depth - 1; i >= 0; i--)
            if (t->held_locks[i].instance == instance) {
                lock_release(map, instance);
                return;
            }
        make_event(c);
    }
    prune(t);
}

/* Only sleeping locks count: a spin lock cannot be held across the sleep
 * (that is reported on its own), and none can be taken under one, so no
 * cycle through a wait ever passes one. */
static int sleeping_lock(struct held_lock *hl) {
    return hl->lock_class->kind != LOCKDEP_SPIN;
}

int lockdep_wait(struct lockdep_map *map, unsigned long ip) {
    struct task_struct *t = current;
    if (!t->lockdep_depth)
        return 0;
    struct lock_class *c = lookup_class(map);
    int held = 0;
    prune(t);
    for (int i = 0; i < t->lockdep_depth; i++)
        if (sleeping_lock(&t->held_locks[i])) {
            add_dependency(t, &t->held_locks[i], c, 0, ip, _RET_IP_, 0);
            held++;
        }
    return held;
}

void lockdep_wake(struct lockdep_map *map, unsigned long ip) {
    struct task_struct *t = current;
    if (!t->lockdep_depth)
        return;
    struct lock_class *c = lookup_class(map);
    prune(t);
    for (int i = 0; i < t->lockdep_depth; i++)
        if (sleeping_lock(&t->held_locks[i]))
            add_dependency(t, &t->held_locks[i], c, 0, ip, _RET_IP_, 1);
}

void lockdep_wake_note(struct lockdep_wake_note *note, unsigned long ip) {
    struct task_struct *t = current;
    note->nr = 0;
    note->ip = ip;
    note->pid = t->pid;
    strlcpy(note->comm, t->comm, sizeof(note->comm));
    for (int i = 0; i < t->lockdep_depth && note->nr < LOCKDEP_WAKE_LOCKS; i++) {
        struct held_lock *hl = &t->held_locks[i];
        if (!sleeping_lock(hl) || is_event(hl->lock_class))
            continue;
        note->classes[note->nr] = hl->lock_class;
        note->acquire_ip[note->nr++] = hl->acquire_ip;
    }
}

/* The wait for map ended with the wake-up that left the note: the waker's
 * locks come after the queue, as if the waiter had woken it itself. */
void lockdep_wait_done(struct lockdep_map *map, struct lockdep_wake_note *note) {
    if (!note->nr)
        return;
    struct task_struct *t = current;
    struct lock_class *c = lookup_class(map);
    for (int i = 0; i < note->nr; i++) {
        struct lock_class *l = note->classes[i];
        if (l == c || is_event(l) || has_edge(c, l))
            continue;
        host_mutex_lock(&graph_lock);
        if (!has_edge(c, l)) {
            struct lock_edge *path[MAX_CHAIN];
            int len = 0;
            visit_gen++;
            if (reaches(l, c, path, 0, &len)) {
                host_mutex_unlock(&graph_lock);
                char a[256], b[256], d[320], h[320];
                symbol_of(note->ip, a, sizeof(a));
                symbol_of(note->acquire_ip[i], b, sizeof(b));
                report_header("INFO: possible circular locking dependency detected");
                report(
                    "%s/%d was woken from:\n %s\nby %s/%d, at: %s\n\n"
                    "which held lock:\n %s, at: %s\n\n"
                    "which a waiter may hold while it waits: the wake-up depends on the "
                    "lock.\n",
                    t->comm, t->pid, describe(c, 0, d, sizeof(d)), note->comm, note->pid, a,
                    describe(l, 0, h, sizeof(h)), b);
                report_chain(l, path, len);
                kernel_die("\n-> #0 %s:\n       woken at %s by %s/%d while holding %s\n", d, a,
                           note->comm, note->pid, h);
            }
            add_edge(note->pid, note->comm, c, note->ip, l, note->acquire_ip[i], 0, 1, 0);
        }
        host_mutex_unlock(&graph_lock);
    }
}

/*
 * A system call returns to user space. A semaphore still held is an event
 * (the start of a job whose count another task gives back): it is classified
 * first, so that it is not reported below, and before the task can enter the
 * kernel again and take it, or a lock under it, as if it held it. Anything
 * else still held is a bug.
 */
void lockdep_sys_exit(void) {
    struct task_struct *t = current;
    if (!t->lockdep_depth)
        return;
    for (int i = 0; i < t->lockdep_depth; i++)
        if (t->held_locks[i].lock_class->kind == LOCKDEP_SEMAPHORE)
            make_event(t->held_locks[i].lock_class);
    prune(t);
    if (!t->lockdep_depth)
        return;
    report_header("BUG: lock held when returning to user space!");
    report("%s/%d is leaving the kernel with locks still held!\n", t->comm, t->pid);
    report_held(t);
    kernel_die("\n");
}

/* Forgets the classes whose keys lived in a module's image, as the module's
 * memory can be reused by the next one, and the module's declared order. */
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
                struct lock_edge *e = c->after->e[i];
                if (!e->to->dead && !c->dead)
                    __atomic_store_n(&c->after->e[keep++], e, __ATOMIC_RELEASE);
            }
            __atomic_store_n(&c->nafter, keep, __ATOMIC_RELEASE);
        }
    for (struct lock_order **p = &orders; *p;) {
        struct lock_order *o = *p;
        if (o->lo >= lo && o->hi <= hi) {
            *p = o->next;
            o->next = dropped_orders;
            dropped_orders = o;
            __atomic_sub_fetch(&nr_orders, 1, __ATOMIC_RELEASE);
            __atomic_add_fetch(&orders_gen, 1, __ATOMIC_RELEASE);
        } else {
            p = &o->next;
        }
    }
    host_mutex_unlock(&graph_lock);
}
