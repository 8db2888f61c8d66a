#ifndef STANDIN_MACHINE_H
#define STANDIN_MACHINE_H

/*
 * The machine room of the stand-in kernel: boot, modules, the kernel log and
 * the leak report. For the simulator and the tests; an agent never uses it.
 * Built-in types only, so kernel and host code can both include it.
 */

#ifdef __cplusplus
extern "C" {
#endif

/* Boots the kernel once per process (later calls do nothing). */
void standin_boot(void);
/* The release string the kernel was built for. */
const char *standin_uts_release(void);

/* insmod/rmmod: 0, or a negative errno (the kernel log says why). */
int standin_insmod(const char *path);
int standin_rmmod(const char *name);
/* Reference count of a loaded module, or -1 when it is not loaded. */
int standin_module_refcount(const char *name);

/* The kernel log, line by line; an unfinished line counts too. */
unsigned long standin_klog_lines(void);
/* Copies line i without its level; returns the level, or -1 past the end. */
int standin_klog_line(unsigned long i, char *buf, unsigned long size);
void standin_klog_clear(void);
/* dmesg: the whole log with times and levels, to standard error. */
void standin_klog_dump(void);
/* From now on every line of a level below `level` (8: all) is also written,
 * with its time and level, to the host descriptor fd; fd -1 stops it. */
void standin_klog_console(int fd, int level);

/* Kernel memory (objects and pages) currently held by loaded modules. */
unsigned long standin_module_allocations(void);
/* The same in bytes: objects at the size asked for (slab objects at their
 * cache's object size), pages at PAGE_SIZE. */
unsigned long standin_module_allocated_bytes(void);
/* Walks the page allocator's free lists; a BUG when one is broken. */
void standin_check_free_pages(void);

/*
 * The process and the kernel share the host's address space, so a pointer a
 * program makes up may land in the kernel's own memory, which a real process
 * could never reach. A program that passes arbitrary pointers confines its
 * memory, as user copies see it, to these ranges ([start, end) pairs; n = 0,
 * the default, is every address): a copy to or from anywhere else fails as
 * one to an unmapped address does. At most 8 ranges.
 */
void standin_confine_user_memory(const unsigned long (*ranges)[2], int n);

#ifdef __cplusplus
}
#endif

#endif
