/*
 * Fault injection: rules that make chosen allocations, thread starts and disk
 * transfers fail, and the census of the places in a module that reach them.
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/string.h>
#include <standin/fault.h>

#include "internal.h"

#define MAX_RULES 32

struct rule_state {
    struct standin_fault_rule rule;
    char prefix[64];
    unsigned long seen;
    unsigned long hits;
};

static struct host_mutex fault_lock;
static struct rule_state rules[MAX_RULES];
static int nr_rules;
static int rules_active; /* rules or a census: should_fail has work to do */

#define MAX_CENSUS 512
static int census_on;
static struct standin_fault_site_seen census[MAX_CENSUS];
static int census_count;

static void update_active(void) {
    __atomic_store_n(&rules_active, nr_rules > 0 || census_on, __ATOMIC_RELEASE);
}

extern "C" int standin_fault_add(const struct standin_fault_rule *rule) {
    host_mutex_lock(&fault_lock);
    if (nr_rules == MAX_RULES)
        kernel_die("BUG: too many fault-injection rules\n");
    int id = nr_rules++;
    struct rule_state *r = &rules[id];
    memset(r, 0, sizeof(*r));
    r->rule = *rule;
    if (rule->cache_prefix) {
        strlcpy(r->prefix, rule->cache_prefix, sizeof(r->prefix));
        r->rule.cache_prefix = r->prefix;
    }
    update_active();
    host_mutex_unlock(&fault_lock);
    return id;
}

extern "C" void standin_fault_clear(void) {
    host_mutex_lock(&fault_lock);
    nr_rules = 0;
    update_active();
    host_mutex_unlock(&fault_lock);
}

extern "C" void standin_fault_census_start(void) {
    host_mutex_lock(&fault_lock);
    census_count = 0;
    census_on = 1;
    update_active();
    host_mutex_unlock(&fault_lock);
}

extern "C" int standin_fault_census_stop(struct standin_fault_site_seen *out, int max) {
    host_mutex_lock(&fault_lock);
    census_on = 0;
    update_active();
    int n = census_count;
    for (int i = 0; i < n && i < max; i++)
        out[i] = census[i];
    host_mutex_unlock(&fault_lock);
    return n;
}

extern "C" const char *standin_fault_site_name(unsigned int site) {
    switch (site) {
        case FAULT_KMALLOC:
            return "kmalloc";
        case FAULT_VMALLOC:
            return "vmalloc";
        case FAULT_PAGES:
            return "alloc_pages";
        case FAULT_SLAB_ALLOC:
            return "kmem_cache_alloc";
        case FAULT_SLAB_CREATE:
            return "kmem_cache_create";
        case FAULT_BIO:
            return "bio_alloc";
        case FAULT_BUFFER_HEAD:
            return "alloc_buffer_head";
        case FAULT_THREAD:
            return "kernel_thread";
        case FAULT_DISK_READ:
            return "disk read";
        case FAULT_DISK_WRITE:
            return "disk write";
        default:
            return "?";
    }
}

/* Called under fault_lock. */
static void count_in_census(unsigned int site, unsigned long offset, unsigned long caller,
                            const char *module) {
    for (int i = 0; i < census_count; i++) {
        if (census[i].site == site && census[i].offset == offset) {
            census[i].calls++;
            return;
        }
    }
    if (census_count == MAX_CENSUS)
        kernel_die("BUG: more than %d fault sites in the census\n", MAX_CENSUS);
    struct standin_fault_site_seen *s = &census[census_count++];
    s->site = site;
    s->offset = offset;
    s->calls = 1;
    char sym[96];
    snprintf(s->where, sizeof(s->where), "%s:%s", module,
             host_symbolize((void *)caller, sym, sizeof(sym)));
}

extern "C" unsigned long standin_fault_hits(int id) {
    host_mutex_lock(&fault_lock);
    unsigned long hits = id >= 0 && id < nr_rules ? rules[id].hits : 0;
    host_mutex_unlock(&fault_lock);
    return hits;
}

int should_fail(unsigned int site, gfp_t gfp, const char *cache_name, unsigned long caller) {
    if (!__atomic_load_n(&rules_active, __ATOMIC_ACQUIRE))
        return 0;
    struct module *mod = module_of_address(caller);
    int in_module = mod != NULL;
    unsigned long offset = mod ? caller - mod->core_lo : 0;
    int fail = 0;
    host_mutex_lock(&fault_lock);
    if (census_on && mod)
        count_in_census(site, offset, caller, mod->name);
    for (int i = 0; i < nr_rules && !fail; i++) {
        struct rule_state *r = &rules[i];
        if (!(r->rule.sites & site))
            continue;
        if (r->rule.gfp_mask && gfp != r->rule.gfp_mask)
            continue;
        if (r->rule.cache_prefix &&
            (!cache_name || strncmp(cache_name, r->prefix, strlen(r->prefix)) != 0))
            continue;
        /* Disk transfers are failed only where a module hands them on. */
        int module_only = r->rule.module_only || r->rule.call_site ||
                          (site & (FAULT_DISK_READ | FAULT_DISK_WRITE));
        if (module_only && !in_module)
            continue;
        if (r->rule.call_site && r->rule.call_site != offset)
            continue;
        if (r->seen++ < r->rule.skip)
            continue;
        if (r->rule.times >= 0 && r->hits >= (unsigned long)r->rule.times)
            continue;
        r->hits++;
        fail = 1;
    }
    host_mutex_unlock(&fault_lock);
    return fail;
}
