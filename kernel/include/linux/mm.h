#ifndef _LINUX_MM_H
#define _LINUX_MM_H

#include <linux/version.h>
#include <linux/types.h>
#include <linux/list.h>
#include <linux/gfp.h>
#include <linux/mm_types.h>
#include <asm/page.h>

struct file;
struct mm_struct;

typedef unsigned long pgoff_t;
typedef struct {
    unsigned long pgprot;
} pgprot_t;

#define VM_READ 0x00000001
#define VM_WRITE 0x00000002
#define VM_EXEC 0x00000004
#define VM_SHARED 0x00000008
#define VM_MAYREAD 0x00000010
#define VM_MAYWRITE 0x00000020
#define VM_MAYEXEC 0x00000040
#define VM_MAYSHARE 0x00000080
#define VM_IO 0x00004000
#define VM_RESERVED 0x00080000

struct vm_area_struct {
    struct mm_struct *vm_mm;
    unsigned long vm_start;
    unsigned long vm_end;
    struct vm_area_struct *vm_next;
    pgprot_t vm_page_prot;
    unsigned long vm_flags;
    struct vm_operations_struct *vm_ops;
    unsigned long vm_pgoff;
    struct file *vm_file;
    void *vm_private_data;
};

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 23)
struct vm_fault {
    unsigned int flags;
    pgoff_t pgoff;
    void __user *virtual_address;
    struct page *page;
};
#define VM_FAULT_OOM 0x0001
#define VM_FAULT_SIGBUS 0x0002
#define VM_FAULT_MAJOR 0x0004
#define VM_FAULT_WRITE 0x0008
#define FAULT_FLAG_WRITE 0x01 /* vm_fault.flags: the access was a write */
#endif

#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 26)
#define NOPAGE_SIGBUS (NULL)
#define NOPAGE_OOM ((struct page *)(-1))
#define VM_FAULT_MINOR 1
#endif

struct vm_operations_struct {
    void (*open)(struct vm_area_struct *area);
    void (*close)(struct vm_area_struct *area);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 23)
    int (*fault)(struct vm_area_struct *vma, struct vm_fault *vmf);
#endif
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 26)
    struct page *(*nopage)(struct vm_area_struct *area, unsigned long address, int *type);
#endif
};

extern "C" {
void *page_address(struct page *page);
struct page *virt_to_page(const void *addr);
unsigned long page_to_pfn(struct page *page);
struct page *pfn_to_page(unsigned long pfn);
void get_page(struct page *page);
void put_page(struct page *page);
int page_count(struct page *page);
}

#endif
