/*
 * The transfer buffer: the agent's mappings of the control device, at most
 * two per backup. A read command fills an area only between a successful
 * vmaFillBegin (0 when the mapping went away since checkVMA found it; the
 * area must not be touched then) and vmaFillEnd, both under bSem; an unmap
 * meanwhile leaves the pages to vmaFillEnd.
 */
#ifndef VELMORA_TRANSFER_BUFFER_H
#define VELMORA_TRANSFER_BUFFER_H

#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/version.h>

struct Backup;

#define MAX_VMA_PAGES 256
/* A mapping holds the blocks of one read command: at most this many. */
#define MAX_VMA_BLOCKS 256

/* One mapping of the transfer buffer. */
typedef struct BackupVMA {
    int vmPages;
    struct vm_area_struct *vma;
    struct page *mmPages[MAX_VMA_PAGES];
} BackupVMA;

extern struct vm_operations_struct velVMOps;
int velMMAP(struct file *file, struct vm_area_struct *vma);
void velVMopen(struct vm_area_struct *vma);
void velVMclose(struct vm_area_struct *vma);
struct page *velVMnopage(struct vm_area_struct *vma, unsigned long address, int *type);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 26)
int velVMfault(struct vm_area_struct *vma, struct vm_fault *vmf);
#endif
void freeMMPages(struct Backup *b, BackupVMA *area);
int checkVMA(struct Backup *b, char __user *data, BackupVMA **area);
int maxBVMAs(struct Backup *b, BackupVMA **area);
int getVMAPageCount(struct Backup *b);
char *mmPageAddr(struct Backup *b, int index, BackupVMA *area);
int vmaFillBegin(struct Backup *b, BackupVMA *area);
void vmaFillEnd(struct Backup *b, BackupVMA *area);

#endif
