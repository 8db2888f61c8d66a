/*
 * Boot: memory, the kernel log, the first message and the initcalls of the
 * built-in code. Idempotent.
 */
#include <linux/autoconf.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/utsrelease.h>
#include <standin/machine.h>

#include "internal.h"

#define DEFAULT_MEMORY_MB 4096UL

static struct host_mutex boot_lock;
static int booted;

/* The linker's bounds of the initcall section; weak, as it may be empty. */
extern "C" {
extern initcall_t __start_standin_initcall[] __attribute__((weak));
extern initcall_t __stop_standin_initcall[] __attribute__((weak));
}

static void do_initcalls(void) {
    for (initcall_t *call = __start_standin_initcall; call < __stop_standin_initcall; call++) {
        int ret = (*call)();
        if (ret)
            printk("<4>initcall %p returned %d\n", (void *)*call, ret);
    }
}

static unsigned long memory_pages(void) {
    const char *mb = host_getenv("STANDIN_MEM_MB");
    unsigned long n = 0;
    for (; mb && *mb >= '0' && *mb <= '9'; mb++)
        n = n * 10 + (unsigned long)(*mb - '0');
    return (n ? n : DEFAULT_MEMORY_MB) * 256UL;
}

extern "C" void standin_boot(void) {
    host_mutex_lock(&boot_lock);
    if (!booted) {
        klog_init();
        page_alloc_init(memory_pages());
#ifdef CONFIG_SMP
        printk("<5>Linux version %s (standin) #1 SMP\n", UTS_RELEASE);
#else
        printk("<5>Linux version %s (standin) #1\n", UTS_RELEASE);
#endif
        do_initcalls();
        __atomic_store_n(&booted, 1, __ATOMIC_RELEASE);
    }
    host_mutex_unlock(&boot_lock);
}

extern "C" const char *standin_uts_release(void) {
    return UTS_RELEASE;
}
