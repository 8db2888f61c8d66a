#ifndef STANDIN_FAULT_H
#define STANDIN_FAULT_H

/*
 * Fault injection: make chosen kernel allocations, thread starts or disk
 * transfers fail, so that error paths run for real. Usable from kernel code
 * and from host tests alike: only built-in types.
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
    /* A bio handed to a simulated disk's make_request_fn straight from a
     * module (a driver reading for itself, or passing a bio on): it ends with
     * -EIO, its data untouched, as a failing disk would end it. */
    FAULT_DISK_READ = 1 << 8,
    FAULT_DISK_WRITE = 1 << 9,
};

struct standin_fault_rule {
    unsigned int sites;       /* FAULT_* bits this rule applies to */
    unsigned int gfp_mask;    /* 0: any flags; else only calls made with exactly these flags */
    const char *cache_prefix; /* slab rules: only caches whose name starts with this */
    int module_only;          /* only calls made from a loaded module's code */
    unsigned int skip;        /* let this many matching calls pass first */
    int times;                /* then fail this many (-1: every one) */
    /* Nonzero: only calls from this place in a module, given as the offset
     * of the return address from the start of the module's image (as the
     * census reports it), so a site is found again after a reload. */
    unsigned long call_site;
};

/*
 * The census: while it runs, every call from a module's code that could be
 * made to fail is counted by kind and call site, whatever the rules say.
 */
struct standin_fault_site_seen {
    unsigned int site;    /* one FAULT_* bit */
    unsigned long offset; /* return address - start of the module's image */
    unsigned long calls;  /* how many calls came from there */
    char where[112];      /* the module, the function and the offset in it */
};

#ifdef __cplusplus
extern "C" {
#endif
/* Returns the rule's id. */
int standin_fault_add(const struct standin_fault_rule *rule);
void standin_fault_clear(void);
/* How many calls the rule has failed so far. */
unsigned long standin_fault_hits(int id);
void standin_fault_census_start(void);
/* Ends the census; copies up to max sites (in order of first call) and
 * returns how many there were. */
int standin_fault_census_stop(struct standin_fault_site_seen *out, int max);
/* The name of a FAULT_* bit ("kmalloc", "disk read", ...). */
const char *standin_fault_site_name(unsigned int site);
#ifdef __cplusplus
}
#endif

#endif
