/*
 * The address space of the process and its device mappings: mmap and munmap.
 * A mapping reserves its whole range at once and gets its pages lazily, from
 * the fault path (pagefault.cpp). From mmap to munmap it holds a reference to
 * its file, so the file is released only after its last mapping is gone.
 *
 * mmap_sem is taken for writing to change the mappings and for reading by
 * faults; page_table_lock guards the pages a fault maps. The process has one
 * address space, shared by every task.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/rwsem.h>
#include <linux/spinlock.h>
#include <linux/errno.h>
#include <asm/mman.h>
#include <standin/peer.h>
#include <standin/syscalls.h>

#include "internal.h"

/* A mapping and one slot per page for the page its fault mapped there. */
struct vma_node {
    struct vm_area_struct vma;
    unsigned long nr_pages;
    struct page **pages;
};

struct mm_struct {
    struct vm_area_struct *mmap; /* every mapping, in no order */
    struct rw_semaphore mmap_sem;
    spinlock_t page_table_lock;
    unsigned long lo, hi; /* bounds of all mappings, read without a lock */
};

static struct mm_struct mm = {
    NULL,
    {0, __SPIN_LOCK_UNLOCKED(&mm->mmap_sem.wait_lock), LIST_HEAD_INIT(mm.mmap_sem.wait_list),
     STATIC_LOCKDEP_MAP_INIT_KIND("&mm->mmap_sem", NULL, LOCKDEP_RWSEM)},
    __SPIN_LOCK_UNLOCKED(&mm->page_table_lock),
    0,
    0,
};

static struct vma_node *node_of(struct vm_area_struct *vma) {
    return container_of(vma, struct vma_node, vma);
}

struct rw_semaphore *mm_mmap_sem(void) {
    return &mm.mmap_sem;
}

spinlock_t *mm_page_table_lock(void) {
    return &mm.page_table_lock;
}

int mm_may_hold(unsigned long addr) {
    return addr >= __atomic_load_n(&mm.lo, __ATOMIC_ACQUIRE) &&
           addr < __atomic_load_n(&mm.hi, __ATOMIC_ACQUIRE);
}

struct vm_area_struct *find_vma(unsigned long addr) {
    for (struct vm_area_struct *vma = mm.mmap; vma; vma = vma->vm_next)
        if (addr >= vma->vm_start && addr < vma->vm_end)
            return vma;
    return NULL;
}

struct page **vma_page_slot(struct vm_area_struct *vma, unsigned long index) {
    struct vma_node *node = node_of(vma);
    if (index >= node->nr_pages)
        kernel_die("BUG: page %lu of a mapping of %lu pages\n", index, node->nr_pages);
    return &node->pages[index];
}

/* Called with mmap_sem held for writing; the fault path reads the bounds
 * first, so they are published under page_table_lock with the list. */
static void update_bounds(void) {
    unsigned long lo = ~0UL, hi = 0;
    for (struct vm_area_struct *vma = mm.mmap; vma; vma = vma->vm_next) {
        lo = min(lo, vma->vm_start);
        hi = max(hi, vma->vm_end);
    }
    __atomic_store_n(&mm.lo, lo, __ATOMIC_RELEASE);
    __atomic_store_n(&mm.hi, hi, __ATOMIC_RELEASE);
}

/* The first mapping that meets [start, end). */
static struct vm_area_struct *find_vma_in(unsigned long start, unsigned long end) {
    for (struct vm_area_struct *vma = mm.mmap; vma; vma = vma->vm_next)
        if (vma->vm_start < end && vma->vm_end > start)
            return vma;
    return NULL;
}

static void link_vma(struct vm_area_struct *vma) {
    spin_lock(&mm.page_table_lock);
    vma->vm_next = mm.mmap;
    mm.mmap = vma;
    update_bounds();
    spin_unlock(&mm.page_table_lock);
}

static void unlink_vma(struct vm_area_struct *vma) {
    spin_lock(&mm.page_table_lock);
    for (struct vm_area_struct **p = &mm.mmap; *p; p = &(*p)->vm_next) {
        if (*p == vma) {
            *p = vma->vm_next;
            break;
        }
    }
    update_bounds();
    spin_unlock(&mm.page_table_lock);
}

/* The flags the kernel derives from prot, flags and the file's open mode. */
static long mmap_vm_flags(struct file *f, int prot, int flags, unsigned long *vm_flags) {
    unsigned long vf = VM_MAYREAD | VM_MAYWRITE | VM_MAYEXEC;
    if (prot & PROT_READ)
        vf |= VM_READ;
    if (prot & PROT_WRITE)
        vf |= VM_WRITE;
    if (prot & PROT_EXEC)
        vf |= VM_EXEC;
    switch (flags & MAP_TYPE) {
        case MAP_SHARED:
            if ((prot & PROT_WRITE) && !(f->f_mode & FMODE_WRITE))
                return -EACCES;
            vf |= VM_SHARED | VM_MAYSHARE;
            /* A file open for reading only gives a shared mapping that can
             * never be written: it is not a writable shared mapping. */
            if (!(f->f_mode & FMODE_WRITE))
                vf &= ~(VM_MAYWRITE | VM_SHARED);
            [[fallthrough]];
        case MAP_PRIVATE:
            if (!(f->f_mode & FMODE_READ))
                return -EACCES;
            break;
        default:
            return -EINVAL;
    }
    *vm_flags = vf;
    return 0;
}

/*
 * Makes the mapping; the result is 0 with *start set, a negative errno, or
 * the positive value the driver's mmap returned (and no mapping).
 */
static long do_mmap(struct file *f, unsigned long len, int prot, int flags, unsigned long pgoff,
                    unsigned long *start) {
    unsigned long vm_flags;
    long err = mmap_vm_flags(f, prot, flags, &vm_flags);
    if (err)
        return err;
    if (!f->f_op->mmap)
        return -ENODEV;

    down_write(&mm.mmap_sem);
    pagefault_install();
    void *range = host_reserve(len);
    struct vma_node *node = (struct vma_node *)host_calloc(1, sizeof(*node));
    struct page **pages = (struct page **)host_calloc(len >> PAGE_SHIFT, sizeof(*pages));
    if (!range || !node || !pages) {
        if (range)
            host_unreserve(range, len);
        host_free(node);
        host_free(pages);
        up_write(&mm.mmap_sem);
        return -ENOMEM;
    }
    node->nr_pages = len >> PAGE_SHIFT;
    node->pages = pages;
    struct vm_area_struct *vma = &node->vma;
    vma->vm_mm = &mm;
    vma->vm_start = (unsigned long)range;
    vma->vm_end = vma->vm_start + len;
    vma->vm_flags = vm_flags;
    vma->vm_page_prot.pgprot = vm_flags & (VM_READ | VM_WRITE | VM_EXEC | VM_SHARED);
    vma->vm_pgoff = pgoff;
    vma->vm_file = f;
    get_file(f);

    /* As on Linux, the first mapping is not opened through vm_ops->open. */
    long ret = f->f_op->mmap(f, vma);
    if (ret) {
        fput(f);
        host_free(pages);
        host_free(node);
        host_unreserve(range, len);
        up_write(&mm.mmap_sem);
        return ret;
    }
    *start = vma->vm_start; /* another task may unmap it once mmap_sem is free */
    link_vma(vma);
    up_write(&mm.mmap_sem);
    return 0;
}

/* Takes the mapping out of the process; mmap_sem held for writing. */
static void unmap_vma(struct vm_area_struct *vma) {
    struct vma_node *node = node_of(vma);
    /* The process loses the pages before the driver may free them. */
    host_unreserve((void *)vma->vm_start, vma->vm_end - vma->vm_start);
    for (unsigned long i = 0; i < node->nr_pages; i++)
        if (node->pages[i])
            put_page(node->pages[i]);
    if (vma->vm_ops && vma->vm_ops->close)
        vma->vm_ops->close(vma);
}

/* Drops the mapping's file, after mmap_sem is released: the last reference
 * runs the driver's release, a whole teardown that may sleep for long and
 * take locks that are held elsewhere around user copies. */
static void free_vma(struct vm_area_struct *vma) {
    struct vma_node *node = node_of(vma);
    fput(vma->vm_file);
    host_free(node->pages);
    host_free(node);
}

extern "C" int standin_phys_memory_fd(void) {
    return host_phys_fd();
}

static long fail(long err) {
    host_set_errno((int)-err);
    return -1;
}

namespace sys {

/*
 * A driver's mmap that returns a positive value instead of an error leaves
 * no mapping behind, and the value reaches the caller as the mapping's
 * address, as Linux hands it back: a driver must refuse with a negative
 * errno. The address is a hint the stand-in does not follow; MAP_FIXED and
 * anonymous mappings are not offered: it maps device files only.
 */
void *mmap(void *addr, unsigned long length, int prot, int flags, int fd, long offset) {
    syscall_exit_check exit_check;
    (void)addr;
    if (!length || (offset & ~PAGE_MASK) || offset < 0 || (flags & (MAP_FIXED | MAP_ANONYMOUS))) {
        fail(-EINVAL);
        return MAP_FAILED;
    }
    unsigned long len = PAGE_ALIGN(length);
    if (!len) {
        fail(-ENOMEM);
        return MAP_FAILED;
    }
    struct file *f = fget(fd);
    if (!f) {
        fail(-EBADF);
        return MAP_FAILED;
    }
    unsigned long start = 0;
    long ret = do_mmap(f, len, prot, flags, (unsigned long)offset >> PAGE_SHIFT, &start);
    fput(f);
    if (ret > 0)
        return (void *)ret;
    if (ret) {
        host_set_errno((int)-ret);
        return MAP_FAILED;
    }
    return (void *)start;
}

/*
 * Removes every mapping in the range. A mapping only partly inside it is
 * refused with EINVAL: the stand-in does not split mappings.
 */
int munmap(void *addr, unsigned long length) {
    syscall_exit_check exit_check;
    unsigned long start = (unsigned long)addr;
    unsigned long end = start + PAGE_ALIGN(length);
    if ((start & ~PAGE_MASK) || !length || end <= start)
        return (int)fail(-EINVAL);
    down_write(&mm.mmap_sem);
    for (struct vm_area_struct *vma = mm.mmap; vma; vma = vma->vm_next) {
        int meets = vma->vm_start < end && vma->vm_end > start;
        if (meets && (vma->vm_start < start || vma->vm_end > end)) {
            up_write(&mm.mmap_sem);
            return (int)fail(-EINVAL);
        }
    }
    struct vm_area_struct *vma, *gone = NULL;
    while ((vma = find_vma_in(start, end)) != NULL) {
        unlink_vma(vma);
        unmap_vma(vma);
        vma->vm_next = gone;
        gone = vma;
    }
    up_write(&mm.mmap_sem);
    while ((vma = gone) != NULL) {
        gone = vma->vm_next;
        free_vma(vma);
    }
    return 0;
}

}  // namespace sys
