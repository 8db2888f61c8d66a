/*
 * The module loader. A module is a shared object built as kernel code; insmod
 * checks its .modinfo (vermagic, licence), maps it, runs its init and makes it
 * live. rmmod refuses a module still referenced, runs its exit and then checks
 * that the module left nothing behind: memory, pages, slab caches, character
 * devices, threads. A module image that was mapped before the load (linked
 * into the test program) can be loaded only once, since its data would not
 * start zeroed a second time.
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <linux/vermagic.h>
#include <standin/machine.h>

#include "internal.h"

static struct host_mutex module_mutex;
static LIST_HEAD(modules);

#define MAX_PINNED 16
static char pinned_used[MAX_PINNED][256];
static int nr_pinned_used;

static void module_name_from_path(const char *path, char *name, unsigned long size) {
    const char *base = strrchr(path, '/');
    base = base ? base + 1 : path;
    strlcpy(name, base, size);
    char *dot = strrchr(name, '.');
    if (dot && strcmp(dot, ".ko") == 0)
        *dot = 0;
}

static const char *modinfo_get(const char *info, long len, const char *tag) {
    size_t taglen = strlen(tag);
    for (long off = 0; off < len;) {
        const char *s = info + off;
        size_t n = strlen(s);
        if (n > taglen && strncmp(s, tag, taglen) == 0 && s[taglen] == '=')
            return s + taglen + 1;
        off += (long)n + 1;
    }
    return NULL;
}

static int license_is_gpl_compatible(const char *license) {
    return strcmp(license, "GPL") == 0 || strcmp(license, "GPL v2") == 0 ||
           strcmp(license, "GPL and additional rights") == 0 ||
           strcmp(license, "Dual BSD/GPL") == 0 || strcmp(license, "Dual MIT/GPL") == 0 ||
           strcmp(license, "Dual MPL/GPL") == 0;
}

/*
 * Exported with EXPORT_SYMBOL_GPL on every 2.6 release that has them: a module
 * whose licence is not GPL-compatible does not find them.
 */
static const char *const gpl_only_symbols[] = {
    "synchronize_sched", /* GPL-only throughout 2.6 (synchronize_rcu's before it was its own) */
    "lockdep_init_map",  /* lockdep's hooks (2.6.18 on) */
    "lock_acquire",      /* lockdep's hooks (2.6.18 on) */
    "lock_acquired",     /* lock statistics (2.6.23 on) */
    "lock_release",      /* lockdep's hooks (2.6.18 on) */
};

static int gpl_only(const char *sym) {
    for (unsigned long i = 0; i < sizeof(gpl_only_symbols) / sizeof(gpl_only_symbols[0]); i++)
        if (strcmp(sym, gpl_only_symbols[i]) == 0)
            return 1;
    return 0;
}

/* An ELF64 symbol as the file holds it. */
struct elf64_sym {
    unsigned int st_name;
    unsigned char st_info;
    unsigned char st_other;
    unsigned short st_shndx; /* 0: undefined, to be resolved at the load */
    unsigned long long st_value;
    unsigned long long st_size;
};

/* A section of the module file whole, NUL-terminated; NULL when it has none. */
static char *read_section(const char *path, const char *section, long *len) {
    for (unsigned long size = 4096;; size *= 2) {
        char *buf = (char *)host_malloc(size + 1);
        long n = host_elf_section(path, section, buf, size);
        if (n >= 0 && (unsigned long)n < size) {
            buf[n] = 0;
            *len = n;
            return buf;
        }
        host_free(buf);
        if (n < 0)
            return NULL;
    }
}

/*
 * The symbols the module leaves undefined, resolved as simplify_symbols does:
 * a GPL-only one is unknown to a module that is not GPL-compatible. Each is
 * named; -ENOENT if any. Stricter than the kernel for a weak reference, which
 * would load as NULL: dlopen would bind it all the same.
 */
static int resolve_symbols(const char *name, const char *path) {
    long syms_len = 0, strs_len = 0;
    char *syms = read_section(path, ".dynsym", &syms_len);
    char *strs = read_section(path, ".dynstr", &strs_len);
    int ret = 0;
    for (long off = 0; syms && strs && off + (long)sizeof(struct elf64_sym) <= syms_len;
         off += (long)sizeof(struct elf64_sym)) {
        struct elf64_sym sym;
        memcpy(&sym, syms + off, sizeof(sym));
        if (sym.st_shndx != 0 || (long)sym.st_name >= strs_len || !gpl_only(strs + sym.st_name))
            continue;
        printk("<4>%s: Unknown symbol %s\n", name, strs + sym.st_name);
        ret = -ENOENT;
    }
    host_free(syms);
    host_free(strs);
    return ret;
}

static struct module *find_module(const char *name) {
    struct module *mod;
    list_for_each_entry(mod, &modules, list) {
        if (strcmp(mod->name, name) == 0)
            return mod;
    }
    return NULL;
}

static int pinned_was_used(const char *path) {
    for (int i = 0; i < nr_pinned_used; i++)
        if (strcmp(pinned_used[i], path) == 0)
            return 1;
    return 0;
}

struct thread_check {
    struct module *mod;
    unsigned long count;
};

static void check_thread(struct task_struct *t, void *arg) {
    struct thread_check *c = (struct thread_check *)arg;
    unsigned long fn = (unsigned long)t->thread_fn;
    if (fn < c->mod->core_lo || fn >= c->mod->core_hi)
        return;
    c->count++;
    printk("<3>%s: thread %s/%d still runs module code\n", c->mod->name, t->comm, t->pid);
}

/* Everything the module still holds; each item is reported in the log. */
static unsigned long module_leaks(struct module *mod) {
    struct thread_check threads = {mod, 0};
    for_each_kernel_thread(check_thread, &threads);
    return track_report_range(mod->core_lo, mod->core_hi, mod->name) +
           pages_report_range(mod->core_lo, mod->core_hi, mod->name) +
           slab_report_range(mod->core_lo, mod->core_hi, mod->name) +
           chrdev_report_range(mod->core_lo, mod->core_hi, mod->name) + threads.count;
}

static void free_module(struct module *mod) {
    int pinned = mod->image_pinned;
    char path[256];
    strlcpy(path, mod->path, sizeof(path));
    unsigned long leaks = module_leaks(mod);
    if (leaks)
        kernel_die("BUG: module %s left %lu kernel objects behind (listed in the log)\n", mod->name,
                   leaks);
    lockdep_free_key_range(mod->core_lo, mod->core_hi);
    host_mutex_lock(&module_mutex);
    list_del(&mod->list);
    host_mutex_unlock(&module_mutex);
    host_dlclose(mod->image);
    if (pinned) {
        if (nr_pinned_used < MAX_PINNED)
            strlcpy(pinned_used[nr_pinned_used++], path, 256);
    } else if (host_dl_is_loaded(path)) {
        kernel_die("BUG: module image %s is still mapped after unload\n", path);
    }
}

extern "C" int standin_insmod(const char *path) {
    char name[MODULE_NAME_LEN], info[4096], err[512];
    standin_boot();
    module_name_from_path(path, name, sizeof(name));

    long len = host_elf_section(path, ".modinfo", info, sizeof(info) - 1);
    if (len < 0) {
        printk("<3>%s: cannot read the module file %s\n", name, path);
        return -ENOEXEC;
    }
    info[len] = 0;
    const char *magic = modinfo_get(info, len, "vermagic");
    if (!magic) {
        printk("<3>%s: no version magic, tainting kernel.\n", name);
    } else if (strcmp(magic, VERMAGIC_STRING) != 0) {
        printk("<3>%s: version magic '%s' should be '%s'\n", name, magic, VERMAGIC_STRING);
        return -ENOEXEC;
    }
    const char *license = modinfo_get(info, len, "license");
    if (!license || !license_is_gpl_compatible(license))
        printk("<4>%s: module license '%s' taints kernel.\n", name,
               license ? license : "unspecified");

    host_mutex_lock(&module_mutex);
    if (find_module(name)) {
        host_mutex_unlock(&module_mutex);
        return -EEXIST;
    }
    int symbols = license && license_is_gpl_compatible(license) ? 0 : resolve_symbols(name, path);
    if (symbols) {
        host_mutex_unlock(&module_mutex);
        return symbols;
    }
    int pinned = host_dl_is_loaded(path);
    if (pinned && pinned_was_used(path)) {
        host_mutex_unlock(&module_mutex);
        printk(
            "<3>%s: the module image is still mapped from an earlier load; "
            "its data would not start zeroed\n",
            name);
        return -EBUSY;
    }
    void *image = host_dlopen(path, err, sizeof(err));
    if (!image) {
        host_mutex_unlock(&module_mutex);
        printk("<3>%s: %s\n", name, err);
        return -ENOEXEC;
    }
    struct module *mod = (struct module *)host_dlsym(image, "__this_module");
    if (!mod || host_dl_range(image, &mod->core_lo, &mod->core_hi) != 0) {
        host_dlclose(image);
        host_mutex_unlock(&module_mutex);
        printk("<3>%s: not a module (no struct module)\n", name);
        return -ENOEXEC;
    }
    mod->image = image;
    mod->image_pinned = pinned;
    strlcpy(mod->path, path, sizeof(mod->path));
    strlcpy(mod->license, license ? license : "", sizeof(mod->license));
    strlcpy(mod->vermagic, magic ? magic : "", sizeof(mod->vermagic));
    atomic_set(&mod->refcnt, 0);
    __atomic_store_n(&mod->state, MODULE_STATE_COMING, __ATOMIC_SEQ_CST);
    list_add_tail(&mod->list, &modules);
    host_mutex_unlock(&module_mutex);
    /* The order of the module's own lock classes, if it declares one; it is
     * dropped with the module's classes (lockdep_free_key_range). */
    const char *lockorder = modinfo_get(info, len, "lockorder");
    if (lockorder)
        lockdep_declare_order(mod->name, mod->core_lo, mod->core_hi, lockorder);

    int ret = mod->init ? mod->init() : 0;
    if (ret < 0) {
        __atomic_store_n(&mod->state, MODULE_STATE_GOING, __ATOMIC_SEQ_CST);
        free_module(mod);
        return ret;
    }
    if (ret > 0) {
        printk(
            "<4>%s: '%s'->init suspiciously returned %d, it should follow 0/-E convention\n"
            "<4>%s: loading module anyway...\n",
            "sys_init_module", mod->name, ret, "sys_init_module");
        dump_stack();
    }
    __atomic_store_n(&mod->state, MODULE_STATE_LIVE, __ATOMIC_SEQ_CST);
    return 0;
}

extern "C" int standin_rmmod(const char *name) {
    host_mutex_lock(&module_mutex);
    struct module *mod = find_module(name);
    if (!mod || mod->state != MODULE_STATE_LIVE) {
        host_mutex_unlock(&module_mutex);
        return -ENOENT;
    }
    if (!mod->exit) {
        host_mutex_unlock(&module_mutex);
        return -EBUSY;
    }
    /* Going first, then the count: a concurrent try_module_get() counts
     * itself in first and backs out when it sees the module going. */
    mod->waiter = current;
    __atomic_store_n(&mod->state, MODULE_STATE_GOING, __ATOMIC_SEQ_CST);
    if (atomic_read(&mod->refcnt) != 0) {
        __atomic_store_n(&mod->state, MODULE_STATE_LIVE, __ATOMIC_SEQ_CST);
        host_mutex_unlock(&module_mutex);
        return -EWOULDBLOCK;
    }
    host_mutex_unlock(&module_mutex);
    mod->exit();
    free_module(mod);
    return 0;
}

extern "C" int standin_module_refcount(const char *name) {
    host_mutex_lock(&module_mutex);
    struct module *mod = find_module(name);
    int count = mod ? atomic_read(&mod->refcnt) : -1;
    host_mutex_unlock(&module_mutex);
    return count;
}

extern "C" unsigned int module_refcount(struct module *mod) {
    return (unsigned int)atomic_read(&mod->refcnt);
}

extern "C" int try_module_get(struct module *module) {
    if (!module)
        return 1;
    atomic_inc(&module->refcnt);
    if (likely(module_is_live(module)))
        return 1;
    atomic_dec(&module->refcnt);
    return 0;
}

#if LINUX_VERSION_CODE > KERNEL_VERSION(2, 6, 19)
extern "C" void module_put(struct module *module) {
    if (module) {
        atomic_dec(&module->refcnt);
        if (unlikely(!module_is_live(module)))
            wake_up_process(module->waiter);
    }
}
#endif

struct module *module_of_address(unsigned long addr) {
    struct module *mod, *found = NULL;
    host_mutex_lock(&module_mutex);
    list_for_each_entry(mod, &modules, list) {
        if (addr >= mod->core_lo && addr < mod->core_hi)
            found = mod;
    }
    host_mutex_unlock(&module_mutex);
    return found;
}

int address_in_module(unsigned long addr) {
    return module_of_address(addr) != NULL;
}

void module_ranges_get(struct module_ranges *r) {
    struct module *mod;
    memset(r, 0, sizeof(*r));
    host_mutex_lock(&module_mutex);
    list_for_each_entry(mod, &modules, list) {
        if (r->n == (int)ARRAY_SIZE(r->lo)) {
            r->overflow = 1;
            break;
        }
        r->lo[r->n] = mod->core_lo;
        r->hi[r->n++] = mod->core_hi;
    }
    host_mutex_unlock(&module_mutex);
}

int module_ranges_has(const struct module_ranges *r, unsigned long addr) {
    for (int i = 0; i < r->n; i++)
        if (addr >= r->lo[i] && addr < r->hi[i])
            return 1;
    return r->overflow && address_in_module(addr);
}
