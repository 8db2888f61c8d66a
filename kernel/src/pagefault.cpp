/*
 * Page faults of the process's device mappings. An access to a page not
 * mapped yet faults; the mapping's driver hands out the page (vm_ops->fault,
 * or nopage before 2.6.26), its frame is mapped at the address and the
 * reference the driver took is kept until munmap, and the access is retried.
 * A fault the driver refuses is a bus error for the process. User copies
 * that meet such a page fault it in the same way and retry, and a mapping
 * shown to another process has every page faulted in at once.
 */
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/rwsem.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <asm/signal.h>
#include <standin/peer.h>

#include "internal.h"

#define FAULT_MAPPED 0

/* The driver's page for the fault, with a reference; NULL when refused. */
static struct page *driver_page(struct vm_area_struct *vma, unsigned long uaddr, int write) {
    const struct vm_operations_struct *ops = vma->vm_ops;
    if (!ops)
        return NULL;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 23)
    if (ops->fault) {
        struct vm_fault vmf;
        vmf.flags = write ? FAULT_FLAG_WRITE : 0;
        vmf.pgoff = vma->vm_pgoff + ((uaddr - vma->vm_start) >> PAGE_SHIFT);
        vmf.virtual_address = (void __user *)uaddr;
        vmf.page = NULL;
        /* Out of memory too ends in a bus error: there is no OOM killer. */
        if (ops->fault(vma, &vmf) & (VM_FAULT_OOM | VM_FAULT_SIGBUS))
            return NULL;
        if (!vmf.page)
            kernel_die("BUG: fault handler of a mapping returned no page\n");
        return vmf.page;
    }
#endif
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 26)
    if (ops->nopage) {
        int type = VM_FAULT_MINOR;
        struct page *page = ops->nopage(vma, uaddr, &type);
        return page == NOPAGE_OOM ? NULL : page;
    }
#endif
    return NULL;
}

/*
 * Maps the page at addr; mmap_sem held for reading. Returns FAULT_MAPPED
 * (by this task or another), or the signal the access earns.
 */
static int handle_mm_fault(struct vm_area_struct *vma, unsigned long addr, int write) {
    unsigned long need = write ? VM_WRITE : (VM_READ | VM_WRITE | VM_EXEC);
    if (!(vma->vm_flags & need))
        return SIGSEGV;
    unsigned long uaddr = addr & PAGE_MASK;
    struct page **slot = vma_page_slot(vma, (uaddr - vma->vm_start) >> PAGE_SHIFT);
    spinlock_t *ptl = mm_page_table_lock();
    spin_lock(ptl);
    struct page *mapped = *slot;
    spin_unlock(ptl);
    if (mapped)
        return FAULT_MAPPED; /* another task mapped it first */

    struct page *page = driver_page(vma, uaddr, write);
    if (!page)
        return SIGBUS;
    int writable = 0;
    if (vma->vm_flags & VM_WRITE) {
        writable = 1;
        if (!(vma->vm_flags & VM_SHARED)) {
            /* A private writable mapping writes to its own copy; it takes
             * the copy at the first fault, not only at the first write. */
            struct page *copy = alloc_page(GFP_HIGHUSER);
            if (copy)
                memcpy(page_address(copy), page_address(page), PAGE_SIZE);
            put_page(page);
            if (!copy)
                return SIGBUS;
            page = copy;
        }
    }
    spin_lock(ptl);
    if (*slot) {
        spin_unlock(ptl);
        put_page(page);
        return FAULT_MAPPED; /* another task mapped it first */
    }
    if (host_phys_map_user((void *)uaddr, page_to_pfn(page), writable) != 0) {
        spin_unlock(ptl);
        put_page(page);
        return SIGBUS;
    }
    *slot = page;
    spin_unlock(ptl);
    return FAULT_MAPPED;
}

static int holds_lock(struct task_struct *t, void *instance) {
    for (int i = 0; i < t->lockdep_depth; i++)
        if (t->held_locks[i].instance == instance)
            return 1;
    return 0;
}

static int fault_at(unsigned long addr, int write) {
    struct rw_semaphore *sem = mm_mmap_sem();
    down_read(sem);
    struct vm_area_struct *vma = find_vma(addr);
    int ret = vma ? handle_mm_fault(vma, addr, write) : SIGSEGV;
    up_read(sem);
    return ret;
}

/* The host's page-fault entry: 0 when the access can be retried. */
static int on_fault(void *addr, int write) {
    unsigned long a = (unsigned long)addr;
    /* Not a mapping of ours, or a fault while the mappings change: a crash
     * that the host reports as it is. */
    if (!mm_may_hold(a) || holds_lock(current, mm_mmap_sem()))
        return SIGSEGV;
    int ret = fault_at(a, write);
    return ret == FAULT_MAPPED ? 0 : ret;
}

/* Called once, with mmap_sem held for writing, before the first mapping. */
void pagefault_install(void) {
    static int installed;
    if (installed)
        return;
    host_set_fault_handler(on_fault);
    installed = 1;
}

int fault_in_user(const void *addr, int write) {
    unsigned long a = (unsigned long)addr;
    if (!mm_may_hold(a))
        return -EFAULT;
    int ret = fault_at(a, write);
    return ret == FAULT_MAPPED ? 0 : -EFAULT;
}

/*
 * For a mapping shown to another process: every page is mapped now, as reads
 * would map them, so that the other process sees the frames from the start.
 */
extern "C" int standin_mapping_frames(void *addr, unsigned long len, unsigned long *frames) {
    syscall_exit_check exit_check;
    unsigned long start = (unsigned long)addr;
    unsigned long end = start + PAGE_ALIGN(len);
    if ((start & ~PAGE_MASK) || !len || end <= start)
        return -EINVAL;
    struct rw_semaphore *sem = mm_mmap_sem();
    spinlock_t *ptl = mm_page_table_lock();
    down_read(sem);
    struct vm_area_struct *vma = find_vma(start);
    int ret = 0;
    if (!vma || vma->vm_start != start || vma->vm_end != end)
        ret = -EINVAL;
    for (unsigned long a = start; !ret && a < end; a += PAGE_SIZE) {
        if (handle_mm_fault(vma, a, 0) != FAULT_MAPPED) {
            ret = -EFAULT;
            break;
        }
        unsigned long index = (a - start) >> PAGE_SHIFT;
        spin_lock(ptl);
        frames[index] = page_to_pfn(*vma_page_slot(vma, index));
        spin_unlock(ptl);
    }
    up_read(sem);
    return ret;
}

void might_fault(void) {
    might_sleep();
    struct rw_semaphore *sem = mm_mmap_sem();
    lock_acquire(&sem->dep_map, sem, 0, 1, _RET_IP_);
    lock_release(&sem->dep_map, sem);
}
