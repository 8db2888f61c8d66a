/*
 * Interfaces between the facilities of the stand-in kernel. Not for modules.
 */
#ifndef STANDIN_INTERNAL_H
#define STANDIN_INTERNAL_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/module.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <standin/fault.h>

#include "../host/seam.h"

/* boot.cpp */
int kernel_booted(void);

/* bug.cpp: report and stop; the report goes to the log and to stderr. */
__attribute__((noreturn)) void kernel_die(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));

/* sched.cpp */
void task_sleep_prepare(struct task_struct *t);
void bkl_drop_for_sleep(struct task_struct *t);
void bkl_retake_after_sleep(struct task_struct *t);
/* Simulated interrupt context around a device's completion work. */
void irq_enter(void);
void irq_exit(void);
int wake_up_state(struct task_struct *t, unsigned int mode);
__attribute__((noreturn)) void do_exit(long code);
/* Calls fn(task, arg) for each live kernel thread; under the task lock. */
void for_each_kernel_thread(void (*fn)(struct task_struct *, void *), void *arg);
/* Sleeps the current task for ns nanoseconds (it may sleep). */
void task_sleep_ns(unsigned long long ns);

/* lockdep.cpp */
void lockdep_free_key_range(unsigned long lo, unsigned long hi);

/* fault_inject.cpp */
int should_fail(unsigned int site, gfp_t gfp, const char *cache_name, unsigned long caller);

/* memtrack.cpp: every tracked allocation starts with this header. */
enum alloc_kind { ALLOC_KMALLOC = 1, ALLOC_VMALLOC, ALLOC_SLAB, ALLOC_INTERNAL };
void *track_alloc(unsigned long size, enum alloc_kind kind, struct kmem_cache *cache,
                  unsigned long caller, int zero);
/* Validates and frees; returns the header's cache (for slab objects). */
void track_free(const void *p, enum alloc_kind kind, struct kmem_cache *cache, const char *who);
unsigned long track_size(const void *p);
/* Prints every live allocation made by code in [lo, hi); returns how many. */
unsigned long track_report_range(unsigned long lo, unsigned long hi, const char *owner);

/* page_alloc.cpp */
void page_alloc_init(unsigned long pages);
unsigned long pages_report_range(unsigned long lo, unsigned long hi, const char *owner);
void *phys_base(void);
unsigned long phys_pages(void);

/* slab.cpp */
unsigned long slab_report_range(unsigned long lo, unsigned long hi, const char *owner);

/* module.cpp */
struct module *module_of_address(unsigned long addr);
int address_in_module(unsigned long addr);

/* chrdev.cpp */
const struct file_operations *chrdev_fops(unsigned int major);
unsigned long chrdev_report_range(unsigned long lo, unsigned long hi, const char *owner);

/* printk.cpp */
void klog_init(void);

#endif
