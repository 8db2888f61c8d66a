/*
 * The transfer buffer: up to two mappings of the control device per backup.
 * Each area's pages are allocated when it is mapped and handed to the agent
 * by the fault handler; the read commands fill them through their kernel
 * addresses, so the agent reads block data without a copy.
 *
 * An unmap may come while a read command fills the same area: the agent's
 * munmap does not wait for its own command running in another thread. The
 * command holds bSem, which velVMclose must not wait for: it runs with
 * mmap_sem held for writing, and a command copies to user space (mmap_sem
 * for reading) while it holds bSem. So the filler marks its area between
 * vmaFillBegin and vmaFillEnd, and velVMclose leaves a marked area's pages
 * to vmaFillEnd. Until then the area is neither found nor reused.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/spinlock.h>
#include <linux/version.h>
#include <linux/errno.h>

#include "transfer_buffer.h"
#include "backup.h"

/* An area whose mapping is gone while a fill still writes its pages. */
#define VMA_CLOSED ((struct vm_area_struct *)-1L)
/* An area taken by an mmap that is still allocating its pages. */
#define VMA_RESERVED ((struct vm_area_struct *)-2L)

/* Guards the areas' vma members and a mapping's fill mark. Nothing is taken
 * under it and nothing under it sleeps. */
static DEFINE_SPINLOCK(vmaLock);

struct vm_operations_struct velVMOps = {
    .open = velVMopen,
    .close = velVMclose,
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 26)
    .fault = velVMfault,
#else
    .nopage = velVMnopage,
#endif
};

static int areaMapped(BackupVMA *area) {
    return area->vma && area->vma != VMA_CLOSED && area->vma != VMA_RESERVED;
}

/* The lookups below without a lock of their own: vmaLock held. */
static BackupVMA *areaOf(Backup *b, struct vm_area_struct *vma) {
    for (int i = 0; i < 2; i++)
        if (vma && b->vmAreas[i].vma == vma)
            return &b->vmAreas[i];
    return NULL;
}

static BackupVMA *freeArea(Backup *b) {
    for (int i = 0; i < 2; i++)
        if (!b->vmAreas[i].vma)
            return &b->vmAreas[i];
    return NULL;
}

/* Takes a free area for a new mapping; NULL when both are in use. */
static BackupVMA *reserveArea(Backup *b) {
    spin_lock(&vmaLock);
    BackupVMA *area = freeArea(b);
    if (area)
        area->vma = VMA_RESERVED;
    spin_unlock(&vmaLock);
    return area;
}

static void unreserveArea(Backup *b, BackupVMA *area) {
    freeMMPages(b, area);
    spin_lock(&vmaLock);
    area->vma = NULL;
    spin_unlock(&vmaLock);
}

/*
 * Allocates a reserved area's pages and publishes it. No fill can meet the
 * area before that (a fill looks areas up by their mapping), nor can the
 * release of the file, which the mapping keeps open.
 */
static int mapArea(Backup *b, struct vm_area_struct *vma) {
    /* The start stores maxVMPages before it leaves states 0 and 1. */
    u32 state = velGetState(b);
    smp_rmb();
    if (state == VEL_STATE_IDLE || state == VEL_STATE_STARTING || vma->vm_pgoff != 0)
        return -EINVAL;
    unsigned long count = (vma->vm_end - vma->vm_start) / PAGE_SIZE;
    if (count == 0 || count > (unsigned long)ACCESS_ONCE(b->maxVMPages))
        return -EINVAL;
    BackupVMA *area = reserveArea(b);
    if (!area)
        return -EINVAL;
    area->vmPages = (int)count;
    for (unsigned long i = 0; i < count; i++) {
        struct page *page = alloc_pages(GFP_KERNEL, 0);
        if (!page) {
            unreserveArea(b, area);
            return -ENOMEM;
        }
        atomic_inc(&b->totalAllocPages);
        atomic_inc(&b->curAllocPages);
        area->mmPages[i] = page;
    }
    vma->vm_ops = &velVMOps;
    vma->vm_private_data = NULL;
    spin_lock(&vmaLock);
    area->vma = vma;
    spin_unlock(&vmaLock);
    return 0;
}

/*
 * The kernel calls this with mmap_sem held for writing, and a command may
 * fault on user memory (mmap_sem for reading) while it holds bSem: so this
 * never waits for bSem. The refusals are errors, as the kernel hands any
 * other value back to the caller as the mapping's address.
 */
int velMMAP(struct file *file, struct vm_area_struct *vma) {
    Backup *b = (Backup *)file->private_data;
    if (!b)
        return -ENODEV;
    /* Only a read-only private view: the agent never writes the buffer. */
    if (!(vma->vm_flags & VM_READ) || (vma->vm_flags & (VM_WRITE | VM_SHARED)))
        return -EINVAL;
    return mapArea(b, vma);
}

void velVMopen(struct vm_area_struct *vma) {}

void velVMclose(struct vm_area_struct *vma) {
    if (!vma->vm_file)
        return;
    Backup *b = (Backup *)vma->vm_file->private_data;
    if (!b)
        return;
    spin_lock(&vmaLock);
    BackupVMA *area = areaOf(b, vma);
    if (area && vma->vm_private_data == area) {
        area->vma = VMA_CLOSED; /* vmaFillEnd frees the pages */
    } else if (area) {
        area->vma = NULL;
        freeMMPages(b, area);
    }
    spin_unlock(&vmaLock);
}

/*
 * The page behind a fault, with a reference for the mapping. A mapping that
 * is not registered is served from the first area when that one is mapped.
 * The areas change under mmap_sem, except at the end of a deferred fill,
 * hence vmaLock.
 */
struct page *velVMnopage(struct vm_area_struct *vma, unsigned long address, int *type) {
    if (!vma->vm_file) {
        printk(KERN_WARNING "%s: vma does not have associated backup%s", __func__, "\n");
        return NULL;
    }
    Backup *b = (Backup *)vma->vm_file->private_data;
    BackupVMA *area = NULL;
    struct page *page = NULL;
    spin_lock(&vmaLock);
    if (b) {
        area = areaOf(b, vma);
        if (!area && areaMapped(&b->vmAreas[0]))
            area = &b->vmAreas[0];
    }
    unsigned long i = (address - vma->vm_start) / PAGE_SIZE;
    if (area && i < (unsigned long)area->vmPages) {
        page = area->mmPages[i];
        get_page(page);
    }
    spin_unlock(&vmaLock);
    if (!area)
        printk(KERN_ERR "%s: vma is not found in associated backup%s", __func__, "\n");
    else if (!page)
        printk(KERN_WARNING "%s: Bad vm address%s", __func__, "\n");
    return page;
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 26)
int velVMfault(struct vm_area_struct *vma, struct vm_fault *vmf) {
    struct page *page = velVMnopage(vma, (unsigned long)vmf->virtual_address, NULL);
    if (!page)
        return VM_FAULT_SIGBUS;
    vmf->page = page;
    return 0;
}
#endif

void freeMMPages(Backup *b, BackupVMA *area) {
    for (int i = 0; i < area->vmPages; i++) {
        if (!area->mmPages[i])
            continue;
        __free_pages(area->mmPages[i], 0);
        area->mmPages[i] = NULL;
        atomic_dec(&b->curAllocPages);
    }
    area->vmPages = 0;
}

int checkVMA(Backup *b, char __user *data, BackupVMA **area) {
    *area = NULL;
    spin_lock(&vmaLock);
    for (int i = 0; i < 2 && !*area; i++) {
        BackupVMA *a = &b->vmAreas[i];
        if (areaMapped(a) && a->vma->vm_start == (unsigned long)data)
            *area = a;
    }
    spin_unlock(&vmaLock);
    return *area != NULL;
}

int maxBVMAs(Backup *b, BackupVMA **area) {
    spin_lock(&vmaLock);
    *area = freeArea(b);
    spin_unlock(&vmaLock);
    return *area == NULL;
}

/* Pages held by the areas, a closed area waiting for its fill included. */
int getVMAPageCount(Backup *b) {
    int count = 0;
    spin_lock(&vmaLock);
    for (int i = 0; i < 2; i++)
        if (b->vmAreas[i].vma)
            count += b->vmAreas[i].vmPages;
    spin_unlock(&vmaLock);
    return count;
}

char *mmPageAddr(Backup *b, int index, BackupVMA *area) {
    unsigned int i = (unsigned int)index;
    unsigned int perPage = b->diskInfo.blocksPerPage;
    return (char *)page_address(area->mmPages[i / perPage]) +
           (unsigned long)(i % perPage) * (unsigned long)b->diskInfo.blockSize;
}

int vmaFillBegin(Backup *b, BackupVMA *area) {
    spin_lock(&vmaLock);
    int mapped = areaMapped(area);
    if (mapped)
        area->vma->vm_private_data = area;
    spin_unlock(&vmaLock);
    return mapped;
}

void vmaFillEnd(Backup *b, BackupVMA *area) {
    spin_lock(&vmaLock);
    if (area->vma == VMA_CLOSED) {
        area->vma = NULL;
        freeMMPages(b, area);
    } else if (area->vma) {
        area->vma->vm_private_data = NULL;
    }
    spin_unlock(&vmaLock);
}
