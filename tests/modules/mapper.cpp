/*
 * A module whose device maps one page of its own; a fault beyond that page is
 * refused. The minor number picks what its mmap answers: 0 maps, 1 and 2
 * answer the positive values 2 and 5 (which the kernel hands back as an
 * address), 3 refuses with -ENOMEM.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <linux/errno.h>

MODULE_LICENSE("GPL");

static struct page *mapperPage;

static struct page *pageAt(unsigned long pgoff) {
    if (pgoff != 0)
        return NULL;
    get_page(mapperPage);
    return mapperPage;
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 23)
static int mapperFault(struct vm_area_struct *vma, struct vm_fault *vmf) {
    vmf->page = pageAt(vmf->pgoff);
    return vmf->page ? 0 : VM_FAULT_SIGBUS;
}
#else
static struct page *mapperNopage(struct vm_area_struct *vma, unsigned long address, int *type) {
    return pageAt(vma->vm_pgoff + ((address - vma->vm_start) >> PAGE_SHIFT));
}
#endif

static struct vm_operations_struct mapperVMOps = {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 23)
    .fault = mapperFault,
#else
    .nopage = mapperNopage,
#endif
};

static int mapperMmap(struct file *file, struct vm_area_struct *vma) {
    static const int answers[] = {0, 2, 5, -ENOMEM};
    unsigned int minor = iminor(file->f_dentry->d_inode);
    if (minor >= ARRAY_SIZE(answers))
        return -ENODEV;
    if (answers[minor] == 0)
        vma->vm_ops = &mapperVMOps;
    return answers[minor];
}

static struct file_operations mapperFops = {
    .owner = THIS_MODULE,
    .mmap = mapperMmap,
};

static int mapperInit(void) {
    mapperPage = alloc_page(GFP_KERNEL | __GFP_ZERO);
    if (!mapperPage)
        return -ENOMEM;
    strcpy((char *)page_address(mapperPage), "mapper page");
    int ret = register_chrdev(MAPPER_MAJOR, "mapper", &mapperFops);
    if (ret)
        __free_pages(mapperPage, 0);
    return ret;
}

static void mapperExit(void) {
    unregister_chrdev(MAPPER_MAJOR, "mapper");
    __free_pages(mapperPage, 0);
}

module_init(mapperInit);
module_exit(mapperExit);
