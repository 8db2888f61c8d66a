/*
 * Device mappings: a driver's pages shared with the process without a copy,
 * handed out one fault at a time, with the page and file references the
 * mapping holds given back at munmap; user copies fault pages in; and the
 * lock validator sees mmap_sem behind every user copy.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/mutex.h>
#include <linux/sched.h>
#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <asm/mman.h>
#include <asm/uaccess.h>
#include <kunit/test.h>
#include <standin/syscalls.h>

#include "internal.h"

#define TEST_MAJOR 230
#define TEST_PAGES 4
#define NODE "/dev/mmtest"

/* The test device: TEST_PAGES pages; a fault beyond them is refused. */
static struct page *dev_pages[TEST_PAGES];
static atomic_t mmaps, faults, opens, closes, releases;
static int mmap_status;
static unsigned long seen_flags, seen_pgoff;
static struct mutex *lock_in_mmap;
/* When set, a fault waits here until the other faulting task has entered.
 * It polls: each task holds mmap_sem for reading here, and a wait the lock
 * validator sees, on a task that needs mmap_sem too, is one it reports (a
 * writer queued between the two would hold the second off for ever). */
static int fault_rendezvous;

static struct page *dev_page(unsigned long pgoff) {
    if (pgoff >= TEST_PAGES)
        return NULL;
    atomic_inc(&faults);
    while (__atomic_load_n(&fault_rendezvous, __ATOMIC_ACQUIRE) && atomic_read(&faults) < 2)
        msleep(1);
    get_page(dev_pages[pgoff]);
    return dev_pages[pgoff];
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 23)
static int dev_fault(struct vm_area_struct *vma, struct vm_fault *vmf) {
    vmf->page = dev_page(vmf->pgoff);
    return vmf->page ? 0 : VM_FAULT_SIGBUS;
}
#else
static struct page *dev_nopage(struct vm_area_struct *vma, unsigned long address, int *type) {
    return dev_page(vma->vm_pgoff + ((address - vma->vm_start) >> PAGE_SHIFT));
}
#endif

static void dev_vm_open(struct vm_area_struct *vma) {
    atomic_inc(&opens);
}
static void dev_vm_close(struct vm_area_struct *vma) {
    atomic_inc(&closes);
}

static struct vm_operations_struct dev_vm_ops = {
    .open = dev_vm_open,
    .close = dev_vm_close,
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 23)
    .fault = dev_fault,
#else
    .nopage = dev_nopage,
#endif
};

static int dev_mmap(struct file *f, struct vm_area_struct *vma) {
    atomic_inc(&mmaps);
    seen_flags = vma->vm_flags;
    seen_pgoff = vma->vm_pgoff;
    if (lock_in_mmap) {
        mutex_lock(lock_in_mmap);
        mutex_unlock(lock_in_mmap);
    }
    if (mmap_status)
        return mmap_status;
    vma->vm_ops = &dev_vm_ops;
    return 0;
}

static int dev_release(struct inode *inode, struct file *f) {
    atomic_inc(&releases);
    return 0;
}

static struct file_operations dev_fops = {
    .mmap = dev_mmap,
    .release = dev_release,
};

static void dev_up(struct kunit *test) {
    for (int i = 0; i < TEST_PAGES; i++) {
        dev_pages[i] = alloc_page(GFP_KERNEL | __GFP_ZERO);
        sprintf((char *)page_address(dev_pages[i]), "page %d", i);
    }
    atomic_set(&mmaps, 0);
    atomic_set(&faults, 0);
    atomic_set(&opens, 0);
    atomic_set(&closes, 0);
    atomic_set(&releases, 0);
    mmap_status = 0;
    KUNIT_ASSERT_EQ(test, register_chrdev(TEST_MAJOR, "mmtest", &dev_fops), 0);
    sys::mknod(NODE, S_IFCHR | 0600, MKDEV(TEST_MAJOR, 0));
}

static void dev_down(void) {
    unregister_chrdev(TEST_MAJOR, "mmtest");
    for (int i = 0; i < TEST_PAGES; i++)
        __free_pages(dev_pages[i], 0);
}

static char *map(int fd, unsigned long pages, int prot, int flags, long offset) {
    void *p = sys::mmap(NULL, pages * PAGE_SIZE, prot, flags, fd, offset);
    return p == MAP_FAILED ? NULL : (char *)p;
}

static void shares_the_drivers_pages_lazily(struct kunit *test) {
    dev_up(test);
    int fd = sys::open(NODE, O_RDONLY);
    char *p = map(fd, TEST_PAGES, PROT_READ, MAP_SHARED, 0);
    KUNIT_ASSERT_NOT_NULL(test, p);
    KUNIT_EXPECT_EQ(test, atomic_read(&faults), 0);

    KUNIT_EXPECT_STREQ(test, p + PAGE_SIZE, "page 1");
    KUNIT_EXPECT_EQ(test, atomic_read(&faults), 1);
    KUNIT_EXPECT_EQ(test, page_count(dev_pages[1]), 2); /* the driver's and the mapping's */
    KUNIT_EXPECT_EQ(test, page_count(dev_pages[2]), 1);
    /* The same frame: what the driver writes now is there, without a fault. */
    strcpy((char *)page_address(dev_pages[1]) + 100, "written later");
    KUNIT_EXPECT_STREQ(test, p + PAGE_SIZE + 100, "written later");
    KUNIT_EXPECT_EQ(test, atomic_read(&faults), 1);
    KUNIT_EXPECT_STREQ(test, p + 3 * PAGE_SIZE, "page 3");
    KUNIT_EXPECT_EQ(test, atomic_read(&faults), 2);

    KUNIT_EXPECT_EQ(test, sys::munmap(p, TEST_PAGES * PAGE_SIZE), 0);
    for (int i = 0; i < TEST_PAGES; i++)
        KUNIT_EXPECT_EQ(test, page_count(dev_pages[i]), 1);
    KUNIT_EXPECT_EQ(test, atomic_read(&closes), 1);
    KUNIT_EXPECT_EQ(test, atomic_read(&opens), 0); /* not for the first mapping */
    sys::close(fd);
    dev_down();
}

static void file_is_released_after_its_last_mapping(struct kunit *test) {
    dev_up(test);
    int fd = sys::open(NODE, O_RDONLY);
    char *a = map(fd, 1, PROT_READ, MAP_PRIVATE, 0);
    char *b = map(fd, 2, PROT_READ, MAP_PRIVATE, 0);
    KUNIT_ASSERT_NOT_NULL(test, a);
    KUNIT_ASSERT_NOT_NULL(test, b);
    sys::close(fd);
    KUNIT_EXPECT_EQ(test, atomic_read(&releases), 0);
    KUNIT_EXPECT_STREQ(test, b + PAGE_SIZE, "page 1");
    KUNIT_EXPECT_EQ(test, sys::munmap(a, PAGE_SIZE), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&releases), 0);
    KUNIT_EXPECT_EQ(test, sys::munmap(b, 2 * PAGE_SIZE), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&releases), 1);
    KUNIT_EXPECT_EQ(test, atomic_read(&closes), 2);
    dev_down();
}

/* The vm_flags and page offset the driver sees, and the calls refused
 * before it is asked. */
static void flags_and_offset_as_the_kernel_passes_them(struct kunit *test) {
    dev_up(test);
    int ro = sys::open(NODE, O_RDONLY);
    int rw = sys::open(NODE, O_RDWR);
    const unsigned long may = VM_MAYREAD | VM_MAYWRITE | VM_MAYEXEC;
    char *p = map(ro, 1, PROT_READ, MAP_PRIVATE, 0);
    KUNIT_EXPECT_EQ(test, seen_flags, VM_READ | may);
    sys::munmap(p, PAGE_SIZE);
    p = map(rw, 1, PROT_READ | PROT_WRITE, MAP_SHARED, 2 * PAGE_SIZE);
    KUNIT_EXPECT_EQ(test, seen_flags, VM_READ | VM_WRITE | VM_SHARED | VM_MAYSHARE | may);
    KUNIT_EXPECT_EQ(test, seen_pgoff, 2UL);
    KUNIT_EXPECT_STREQ(test, p, "page 2");
    sys::munmap(p, PAGE_SIZE);
    /* Shared, but of a file open for reading: never writable, not VM_SHARED. */
    p = map(ro, 1, PROT_READ, MAP_SHARED, 0);
    KUNIT_EXPECT_EQ(test, seen_flags,
                    (unsigned long)(VM_READ | VM_MAYSHARE | VM_MAYREAD | VM_MAYEXEC));
    sys::munmap(p, PAGE_SIZE);
    int calls = atomic_read(&mmaps);

    KUNIT_EXPECT_NULL(test, map(ro, 1, PROT_READ | PROT_WRITE, MAP_SHARED, 0));
    KUNIT_EXPECT_NULL(test, map(ro, 1, PROT_READ, MAP_SHARED, 100));
    KUNIT_EXPECT_NULL(test, map(ro, 0, PROT_READ, MAP_SHARED, 0));
    KUNIT_EXPECT_NULL(test, map(ro, 1, PROT_READ, MAP_SHARED | MAP_PRIVATE, 0));
    KUNIT_EXPECT_NULL(test, map(999, 1, PROT_READ, MAP_SHARED, 0));
    KUNIT_EXPECT_EQ(test, atomic_read(&mmaps), calls);
    sys::close(ro);
    sys::close(rw);
    dev_down();
}

static void refused_mapping_holds_nothing(struct kunit *test) {
    dev_up(test);
    int fd = sys::open(NODE, O_RDONLY);
    /* A positive answer is handed back as the "address", with no mapping. */
    mmap_status = 2;
    KUNIT_EXPECT_EQ(test, (unsigned long)map(fd, 2, PROT_READ, MAP_PRIVATE, 0), 2UL);
    mmap_status = -ENOMEM;
    KUNIT_EXPECT_NULL(test, map(fd, 2, PROT_READ, MAP_PRIVATE, 0));
    struct file *f = fget(fd);
    KUNIT_EXPECT_EQ(test, atomic_read(&f->f_count), 2); /* the descriptor's and ours */
    fput(f);
    KUNIT_EXPECT_EQ(test, atomic_read(&closes), 0);
    sys::close(fd);
    KUNIT_EXPECT_EQ(test, atomic_read(&releases), 1);
    dev_down();
}

static void user_copies_fault_pages_in(struct kunit *test) {
    dev_up(test);
    int fd = sys::open(NODE, O_RDWR);
    /* Six pages, two more than the device has. */
    char *p = map(fd, TEST_PAGES + 2, PROT_READ | PROT_WRITE, MAP_SHARED, 0);
    KUNIT_ASSERT_NOT_NULL(test, p);
    KUNIT_EXPECT_EQ(test, copy_to_user(p + PAGE_SIZE + 10, "hello", 6), 0UL);
    KUNIT_EXPECT_STREQ(test, (char *)page_address(dev_pages[1]) + 10, "hello");
    char buf[8];
    KUNIT_EXPECT_EQ(test, copy_from_user(buf, p + 2 * PAGE_SIZE, 7), 0UL);
    KUNIT_EXPECT_STREQ(test, buf, "page 2");
    KUNIT_EXPECT_EQ(test, atomic_read(&faults), 2);
    /* A copy stops where the driver refuses the page. */
    KUNIT_EXPECT_EQ(test, copy_to_user(p + TEST_PAGES * PAGE_SIZE - 2, "abcd", 4), 2UL);
    KUNIT_EXPECT_EQ(test, copy_from_user(buf, p + TEST_PAGES * PAGE_SIZE, 4), 4UL);
    sys::munmap(p, (TEST_PAGES + 2) * PAGE_SIZE);

    /* Nothing is written through a read-only mapping, nor asked of the driver. */
    int faults_before = atomic_read(&faults);
    p = map(fd, 1, PROT_READ, MAP_SHARED, 0);
    KUNIT_EXPECT_EQ(test, copy_to_user(p, "x", 1), 1UL);
    KUNIT_EXPECT_EQ(test, atomic_read(&faults), faults_before);
    KUNIT_EXPECT_STREQ(test, (char *)page_address(dev_pages[0]), "page 0");
    sys::munmap(p, PAGE_SIZE);
    sys::close(fd);
    dev_down();
}

static void private_writable_mapping_writes_a_copy(struct kunit *test) {
    dev_up(test);
    int fd = sys::open(NODE, O_RDONLY);
    char *p = map(fd, 1, PROT_READ | PROT_WRITE, MAP_PRIVATE, 0);
    KUNIT_ASSERT_NOT_NULL(test, p);
    KUNIT_EXPECT_STREQ(test, p, "page 0");
    strcpy(p, "mine");
    KUNIT_EXPECT_STREQ(test, p, "mine");
    KUNIT_EXPECT_STREQ(test, (char *)page_address(dev_pages[0]), "page 0");
    KUNIT_EXPECT_EQ(test, page_count(dev_pages[0]), 1);
    sys::munmap(p, PAGE_SIZE);
    sys::close(fd);
    dev_down();
}

struct copier {
    char *from;
    char buf[8];
    unsigned long left;
    struct completion done;
};

static int copy_thread(void *arg) {
    struct copier *c = (struct copier *)arg;
    c->left = copy_from_user(c->buf, c->from, 7);
    complete(&c->done);
    return 0;
}

/* Two tasks fault the same page at once: both ask the driver, one maps it,
 * the other's reference is given back. */
static void racing_faults_map_a_page_once(struct kunit *test) {
    dev_up(test);
    int fd = sys::open(NODE, O_RDONLY);
    char *p = map(fd, 1, PROT_READ, MAP_SHARED, 0);
    KUNIT_ASSERT_NOT_NULL(test, p);
    __atomic_store_n(&fault_rendezvous, 1, __ATOMIC_RELEASE);
    struct copier c[2];
    for (int i = 0; i < 2; i++) {
        c[i].from = p;
        init_completion(&c[i].done);
        KUNIT_ASSERT_GT(test, kernel_thread(copy_thread, &c[i], CLONE_KERNEL), 0);
    }
    for (int i = 0; i < 2; i++) {
        wait_for_completion(&c[i].done);
        KUNIT_EXPECT_EQ(test, c[i].left, 0UL);
        KUNIT_EXPECT_STREQ(test, c[i].buf, "page 0");
    }
    __atomic_store_n(&fault_rendezvous, 0, __ATOMIC_RELEASE);
    KUNIT_EXPECT_EQ(test, atomic_read(&faults), 2);
    KUNIT_EXPECT_EQ(test, page_count(dev_pages[0]), 2);
    sys::munmap(p, PAGE_SIZE);
    KUNIT_EXPECT_EQ(test, page_count(dev_pages[0]), 1);
    sys::close(fd);
    dev_down();
}

static void munmap_of_part_of_a_mapping_is_refused(struct kunit *test) {
    dev_up(test);
    int fd = sys::open(NODE, O_RDONLY);
    char *p = map(fd, 2, PROT_READ, MAP_PRIVATE, 0);
    KUNIT_EXPECT_EQ(test, sys::munmap(p, PAGE_SIZE), -1);
    KUNIT_EXPECT_EQ(test, sys::munmap(p + 1, PAGE_SIZE), -1);
    KUNIT_EXPECT_EQ(test, atomic_read(&closes), 0);
    KUNIT_EXPECT_STREQ(test, p + PAGE_SIZE, "page 1");
    KUNIT_EXPECT_EQ(test, sys::munmap(p, 2 * PAGE_SIZE), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&closes), 1);
    sys::close(fd);
    dev_down();
}

/*
 * A lock held across a user copy and also taken in a driver's mmap (under
 * mmap_sem) can deadlock against a fault; the validator says so even though
 * no copy here faulted.
 */
static DEFINE_MUTEX(copy_lock);

static void lock_held_over_a_copy_and_taken_in_mmap(struct kunit *test) {
    dev_up(test);
    char byte = 0, user = 0;
    mutex_lock(&copy_lock);
    KUNIT_EXPECT_EQ(test, copy_to_user(&user, &byte, 1), 0UL);
    mutex_unlock(&copy_lock);
    lock_in_mmap = &copy_lock;
    int fd = sys::open(NODE, O_RDONLY);
    map(fd, 1, PROT_READ, MAP_PRIVATE, 0);
}

static struct kunit_case mmap_cases[] = {
    KUNIT_CASE(shares_the_drivers_pages_lazily),
    KUNIT_CASE(file_is_released_after_its_last_mapping),
    KUNIT_CASE(flags_and_offset_as_the_kernel_passes_them),
    KUNIT_CASE(refused_mapping_holds_nothing),
    KUNIT_CASE(user_copies_fault_pages_in),
    KUNIT_CASE(private_writable_mapping_writes_a_copy),
    KUNIT_CASE(racing_faults_map_a_page_once),
    KUNIT_CASE(munmap_of_part_of_a_mapping_is_refused),
    KUNIT_CASE_BUG(lock_held_over_a_copy_and_taken_in_mmap,
                   "possible circular locking dependency detected"),
    {},
};

static struct kunit_suite mmap_suite = {"mmap", mmap_cases};
kunit_test_suite(mmap_suite);
