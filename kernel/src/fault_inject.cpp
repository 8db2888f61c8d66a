/*
 * Fault injection: rules that make chosen allocations fail.
 */
#include <linux/kernel.h>
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
static int rules_active;

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
    __atomic_store_n(&rules_active, 1, __ATOMIC_RELEASE);
    host_mutex_unlock(&fault_lock);
    return id;
}

extern "C" void standin_fault_clear(void) {
    host_mutex_lock(&fault_lock);
    nr_rules = 0;
    __atomic_store_n(&rules_active, 0, __ATOMIC_RELEASE);
    host_mutex_unlock(&fault_lock);
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
    int in_module = address_in_module(caller);
    int fail = 0;
    host_mutex_lock(&fault_lock);
    for (int i = 0; i < nr_rules && !fail; i++) {
        struct rule_state *r = &rules[i];
        if (!(r->rule.sites & site))
            continue;
        if (r->rule.gfp_mask && gfp != r->rule.gfp_mask)
            continue;
        if (r->rule.cache_prefix &&
            (!cache_name || strncmp(cache_name, r->prefix, strlen(r->prefix)) != 0))
            continue;
        if (r->rule.module_only && !in_module)
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
