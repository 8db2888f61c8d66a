/*
 * Boot: memory, the kernel log and the first message. Idempotent.
 */
#include <linux/autoconf.h>
#include <linux/kernel.h>
#include <linux/utsrelease.h>
#include <standin/machine.h>

#include "internal.h"

#define DEFAULT_MEMORY_MB 4096UL

static struct host_mutex boot_lock;
static int booted;

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
        __atomic_store_n(&booted, 1, __ATOMIC_RELEASE);
    }
    host_mutex_unlock(&boot_lock);
}

extern "C" const char *standin_uts_release(void) {
    return UTS_RELEASE;
}
