#ifndef _LINUX_MODULE_H
#define _LINUX_MODULE_H

#include <linux/version.h>
#include <linux/types.h>
#include <linux/list.h>
#include <linux/init.h>
#include <linux/sched.h>
#include <asm/atomic.h>

#define MODULE_NAME_LEN 64

enum module_state {
    MODULE_STATE_LIVE,
    MODULE_STATE_COMING,
    MODULE_STATE_GOING,
};

/*
 * The record of a loaded module. The loader fills everything after `exit`;
 * the module's own image sets the name and the two entry points.
 */
struct module {
    enum module_state state;
    struct list_head list;
    char name[MODULE_NAME_LEN];
    int (*init)(void);
    void (*exit)(void);
    atomic_t refcnt;
    struct task_struct *waiter;
    void *image;           /* the loaded object */
    unsigned long core_lo; /* address range of its image */
    unsigned long core_hi;
    char license[64];
    char vermagic[128];
    char path[256];
    int image_pinned; /* mapped before the load: linked into the program */
};

extern "C" {
extern struct module __this_module;
int init_module(void);
void cleanup_module(void);
unsigned int module_refcount(struct module *mod);
int try_module_get(struct module *module);
}

#define THIS_MODULE (&__this_module)

static inline int module_is_live(struct module *mod) {
    return __atomic_load_n(&mod->state, __ATOMIC_SEQ_CST) != MODULE_STATE_GOING;
}

#if LINUX_VERSION_CODE <= KERNEL_VERSION(2, 6, 19)
/* Up to 2.6.19 dropping a reference is inline: it also wakes the task that
 * waits to unload the module once the module is going away. */
static inline void module_put(struct module *module) {
    if (module) {
        atomic_dec(&module->refcnt);
        if (unlikely(!module_is_live(module)))
            wake_up_process(module->waiter);
    }
}
#else
extern "C" void module_put(struct module *module);
#endif

#define module_init(initfn)            \
    extern "C" int init_module(void) { \
        return initfn();               \
    }
#define module_exit(exitfn)                \
    extern "C" void cleanup_module(void) { \
        exitfn();                          \
    }

#define __MODULE_INFO_ID2(tag, line) __mod_##tag##line
#define __MODULE_INFO_ID(tag, line) __MODULE_INFO_ID2(tag, line)
#define MODULE_INFO(tag, info)                          \
    static const char __MODULE_INFO_ID(tag, __LINE__)[] \
        __attribute__((used, unused, section(".modinfo"), aligned(1))) = #tag "=" info

#define MODULE_LICENSE(_license) MODULE_INFO(license, _license)
#define MODULE_AUTHOR(_author) MODULE_INFO(author, _author)
#define MODULE_DESCRIPTION(_description) MODULE_INFO(description, _description)
#define MODULE_VERSION(_version) MODULE_INFO(version, _version)

#define EXPORT_SYMBOL(sym)
#define EXPORT_SYMBOL_GPL(sym)

#endif
