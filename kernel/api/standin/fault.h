#ifndef STANDIN_FAULT_H
#define STANDIN_FAULT_H

/*
 * Fault injection: make chosen kernel allocations (or thread starts) fail,
 * so that error paths run for real. Usable from kernel code and from host
 * tests alike: only built-in types.
 */

enum standin_fault_site {
    FAULT_KMALLOC = 1 << 0,
    FAULT_VMALLOC = 1 << 1,
    FAULT_PAGES = 1 << 2,
    FAULT_SLAB_ALLOC = 1 << 3,
    FAULT_SLAB_CREATE = 1 << 4,
    FAULT_BIO = 1 << 5,
    FAULT_BUFFER_HEAD = 1 << 6,
    FAULT_THREAD = 1 << 7,
};

struct standin_fault_rule {
    unsigned int sites;       /* FAULT_* bits this rule applies to */
    unsigned int gfp_mask;    /* 0: any flags; else only calls made with exactly these flags */
    const char *cache_prefix; /* slab rules: only caches whose name starts with this */
    int module_only;          /* only calls made from a loaded module's code */
    unsigned int skip;        /* let this many matching calls pass first */
    int times;                /* then fail this many (-1: every one) */
};

#ifdef __cplusplus
extern "C" {
#endif
/* Returns the rule's id. */
int standin_fault_add(const struct standin_fault_rule *rule);
void standin_fault_clear(void);
/* How many calls the rule has failed so far. */
unsigned long standin_fault_hits(int id);
#ifdef __cplusplus
}
#endif

#endif
