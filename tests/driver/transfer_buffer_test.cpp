/*
 * The transfer buffer: mappings of the control device made through the
 * system calls (or, for exact statuses, by calling velMMAP as the kernel
 * does), their limits, the pages their faults hand out, and an unmap that
 * meets a read command filling the same area.
 *
 * Until the start command exists, a started backup is simulated by setting
 * the record's state and limits directly.
 */
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/sched.h>
#include <linux/completion.h>
#include <linux/string.h>
#include <asm/mman.h>
#include <kunit/test.h>
#include <standin/fault.h>
#include <standin/machine.h>
#include <standin/syscalls.h>

#include "driver_test.h"
#include "internal.h"

#define NODE "/dev/velmora"
#define RO_FLAGS (VM_READ | VM_MAYREAD | VM_MAYWRITE | VM_MAYEXEC)

static int open_device(int flags) {
    sys::mknod(NODE, S_IFCHR | 0600, MKDEV(VEL_DEVICE_MAJOR, 0));
    return sys::open(NODE, flags);
}

static Backup *backup_of(int fd) {
    struct file *f = fget(fd);
    Backup *b = (Backup *)f->private_data;
    fput(f);
    return b;
}

/* What a backup start leaves behind for the transfer buffer. */
static void pretend_started(Backup *b, int blockSize) {
    b->diskInfo.blockSize = blockSize;
    b->diskInfo.blocksPerPage = 4096 / blockSize;
    b->maxVMPages = min(blockSize * 256 / 4096, 256);
    velSetState(b, VEL_STATE_STARTED);
}

static void close_device(int fd) {
    velSetState(backup_of(fd), 0);
    sys::close(fd);
}

static char *map(int fd, unsigned long pages, int prot = PROT_READ, int flags = MAP_PRIVATE,
                 long offset = 0) {
    void *p = sys::mmap(NULL, pages * PAGE_SIZE, prot, flags, fd, offset);
    return p == MAP_FAILED ? NULL : (char *)p;
}

/* A mapping as the kernel hands it to velMMAP. */
static void init_vma(struct vm_area_struct *vma, struct file *f, unsigned long pages,
                     unsigned long flags) {
    memset(vma, 0, sizeof(*vma));
    vma->vm_start = 0x7f0000000000UL;
    vma->vm_end = vma->vm_start + pages * PAGE_SIZE;
    vma->vm_flags = flags;
    vma->vm_file = f;
}

/* The page a fault at address gets from the driver, as this kernel asks. */
static struct page *fault_at(struct kunit *test, struct vm_area_struct *vma,
                             unsigned long address) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 26)
    struct vm_fault vmf;
    vmf.flags = 0;
    vmf.pgoff = (address - vma->vm_start) >> PAGE_SHIFT;
    vmf.virtual_address = (void __user *)address;
    vmf.page = NULL;
    int ret = velVMfault(vma, &vmf);
    KUNIT_EXPECT_EQ(test, ret, vmf.page ? 0 : VM_FAULT_SIGBUS);
    return vmf.page;
#else
    return velVMnopage(vma, address, NULL);
#endif
}

static void expect_area_free(struct kunit *test, BackupVMA *area) {
    KUNIT_EXPECT_NULL(test, area->vma);
    KUNIT_EXPECT_EQ(test, area->vmPages, 0);
    for (int i = 0; i < MAX_VMA_PAGES; i++)
        KUNIT_EXPECT_NULL(test, area->mmPages[i]);
}

static void a_mapping_holds_at_most_256_blocks(struct kunit *test) {
    int fd = open_device(O_RDONLY);
    Backup *b = backup_of(fd);
    pretend_started(b, 4096);
    KUNIT_EXPECT_NULL(test, map(fd, 257));
    char *p = map(fd, 256);
    KUNIT_ASSERT_NOT_NULL(test, p);
    KUNIT_EXPECT_EQ(test, b->vmAreas[0].vmPages, 256);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 256);
    KUNIT_EXPECT_EQ(test, getVMAPageCount(b), 256);
    KUNIT_EXPECT_EQ(test, sys::munmap(p, 256 * PAGE_SIZE), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocPages), 256);
    KUNIT_EXPECT_EQ(test, getVMAPageCount(b), 0);
    expect_area_free(test, &b->vmAreas[0]);

    /* 1024-byte blocks: 256 of them fill 64 pages. */
    pretend_started(b, 1024);
    KUNIT_EXPECT_NULL(test, map(fd, 65));
    p = map(fd, 64);
    KUNIT_ASSERT_NOT_NULL(test, p);
    KUNIT_EXPECT_EQ(test, getVMAPageCount(b), 64);
    KUNIT_EXPECT_EQ(test, sys::munmap(p, 64 * PAGE_SIZE), 0);
    close_device(fd);
}

static void mappings_the_buffer_refuses(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    Backup *b = test_backup(&tf);
    struct vm_area_struct vma;
    init_vma(&vma, &tf.file, 2, RO_FLAGS);
    KUNIT_EXPECT_EQ(test, velMMAP(&tf.file, &vma), -EINVAL); /* no backup started */
    velSetState(b, VEL_STATE_STARTING);
    KUNIT_EXPECT_EQ(test, velMMAP(&tf.file, &vma), -EINVAL);

    pretend_started(b, 4096);
    const struct {
        unsigned long flags, pgoff, pages;
    } refused[] = {
        {RO_FLAGS | VM_WRITE, 0, 2},
        {RO_FLAGS | VM_SHARED | VM_MAYSHARE, 0, 2},
        {RO_FLAGS & ~(unsigned long)VM_READ, 0, 2},
        {RO_FLAGS, 1, 2},
        {RO_FLAGS, 0, 0},
    };
    for (unsigned int i = 0; i < ARRAY_SIZE(refused); i++) {
        init_vma(&vma, &tf.file, refused[i].pages, refused[i].flags);
        vma.vm_pgoff = refused[i].pgoff;
        KUNIT_EXPECT_EQ(test, velMMAP(&tf.file, &vma), -EINVAL);
        KUNIT_EXPECT_NULL(test, vma.vm_ops);
    }
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocPages), 0);
    expect_area_free(test, &b->vmAreas[0]);

    /* Read-only and shared of a file open for reading (no VM_SHARED). */
    init_vma(&vma, &tf.file, 2, RO_FLAGS | VM_MAYSHARE);
    KUNIT_EXPECT_EQ(test, velMMAP(&tf.file, &vma), 0);
    KUNIT_EXPECT_EQ(test, vma.vm_ops, &velVMOps);
    velVMclose(&vma);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 0);

    tf.file.private_data = NULL;
    KUNIT_EXPECT_EQ(test, velMMAP(&tf.file, &vma), -ENODEV);
    tf.file.private_data = b;
    velSetState(b, VEL_STATE_IDLE);
    test_release(&tf);
}

/* What the agent asks of mmap reaches the driver as the kernel passes it. */
static void protection_and_sharing_through_the_system_call(struct kunit *test) {
    int ro = open_device(O_RDONLY), rw = open_device(O_RDWR);
    pretend_started(backup_of(ro), 4096);
    pretend_started(backup_of(rw), 4096);
    KUNIT_EXPECT_NULL(test, map(ro, 1, PROT_READ | PROT_WRITE, MAP_PRIVATE));
    KUNIT_EXPECT_NULL(test, map(rw, 1, PROT_READ, MAP_SHARED));
    KUNIT_EXPECT_NULL(test, map(ro, 1, PROT_READ, MAP_PRIVATE, PAGE_SIZE));
    KUNIT_EXPECT_NULL(test, map(ro, 1, PROT_NONE, MAP_PRIVATE));
    char *p = map(ro, 1, PROT_READ, MAP_SHARED);
    KUNIT_EXPECT_NOT_NULL(test, p);
    sys::munmap(p, PAGE_SIZE);
    close_device(ro);
    close_device(rw);
}

static void a_third_mapping_waits_for_a_free_area(struct kunit *test) {
    int fd = open_device(O_RDONLY);
    Backup *b = backup_of(fd);
    pretend_started(b, 4096);
    char *first = map(fd, 2), *second = map(fd, 3);
    KUNIT_ASSERT_NOT_NULL(test, first);
    KUNIT_ASSERT_NOT_NULL(test, second);
    KUNIT_EXPECT_NULL(test, map(fd, 1));
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 5);

    KUNIT_EXPECT_EQ(test, sys::munmap(first, 2 * PAGE_SIZE), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 3);
    char *third = map(fd, 4);
    KUNIT_ASSERT_NOT_NULL(test, third);
    BackupVMA *area;
    KUNIT_EXPECT_TRUE(test, checkVMA(b, third, &area));
    KUNIT_EXPECT_EQ(test, area, &b->vmAreas[0]);
    KUNIT_EXPECT_EQ(test, area->vmPages, 4);
    KUNIT_EXPECT_TRUE(test, checkVMA(b, second, &area));
    KUNIT_EXPECT_EQ(test, area, &b->vmAreas[1]);
    KUNIT_EXPECT_EQ(test, getVMAPageCount(b), 7);
    sys::munmap(second, 3 * PAGE_SIZE);
    sys::munmap(third, 4 * PAGE_SIZE);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 0);
    close_device(fd);
}

static void faults_hand_out_the_area_pages(struct kunit *test) {
    int fd = open_device(O_RDONLY);
    Backup *b = backup_of(fd);
    pretend_started(b, 1024);
    char *p = map(fd, 4);
    KUNIT_ASSERT_NOT_NULL(test, p);
    BackupVMA *area, *none;
    KUNIT_ASSERT_TRUE(test, checkVMA(b, p, &area));
    KUNIT_EXPECT_FALSE(test, checkVMA(b, p + PAGE_SIZE, &none));
    KUNIT_EXPECT_EQ(test, area->vma->vm_ops, &velVMOps);

    /* Block position 5 of 1024 bytes: page 1 at 1024, byte 5120 of the mapping. */
    KUNIT_EXPECT_EQ(test, mmPageAddr(b, 5, area), (char *)page_address(area->mmPages[1]) + 1024);
    strcpy(mmPageAddr(b, 5, area), "block 5");
    KUNIT_EXPECT_STREQ(test, p + 5 * 1024, "block 5");
    KUNIT_EXPECT_EQ(test, page_count(area->mmPages[1]), 2);
    KUNIT_EXPECT_EQ(test, page_count(area->mmPages[0]), 1); /* not touched, not mapped */
    strcpy(mmPageAddr(b, 5, area), "block 5, filled again");
    KUNIT_EXPECT_STREQ(test, p + 5 * 1024, "block 5, filled again");

    struct page *page = area->mmPages[1];
    KUNIT_EXPECT_EQ(test, sys::munmap(p, 4 * PAGE_SIZE), 0);
    KUNIT_EXPECT_EQ(test, page_count(page), 0); /* the mapping's and the area's, both gone */
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 0);
    close_device(fd);
}

static void faults_the_buffer_cannot_serve(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    Backup *b = test_backup(&tf);
    pretend_started(b, 4096);
    struct vm_area_struct stray, mapped;
    init_vma(&stray, NULL, 4, RO_FLAGS);
    klog_clear();
    KUNIT_EXPECT_NULL(test, fault_at(test, &stray, stray.vm_start));
    KUNIT_EXPECT_EQ(test, klog_level("velVMnopage: vma does not have associated backup"), 4);

    stray.vm_file = &tf.file;
    klog_clear();
    KUNIT_EXPECT_NULL(test, fault_at(test, &stray, stray.vm_start));
    KUNIT_EXPECT_EQ(test, klog_level("velVMnopage: vma is not found in associated backup"), 3);

    /* A mapping the buffer does not know is served from the first area. */
    init_vma(&mapped, &tf.file, 2, RO_FLAGS);
    mapped.vm_start += 16 * PAGE_SIZE;
    mapped.vm_end += 16 * PAGE_SIZE;
    KUNIT_ASSERT_EQ(test, velMMAP(&tf.file, &mapped), 0);
    struct page *page = fault_at(test, &stray, stray.vm_start + PAGE_SIZE + 100);
    KUNIT_EXPECT_EQ(test, page, b->vmAreas[0].mmPages[1]);
    KUNIT_EXPECT_EQ(test, page_count(page), 2);
    put_page(page);
    klog_clear();
    KUNIT_EXPECT_NULL(test, fault_at(test, &stray, stray.vm_start + 2 * PAGE_SIZE));
    KUNIT_EXPECT_EQ(test, klog_level("velVMnopage: Bad vm address"), 4);
    KUNIT_EXPECT_EQ(test, standin_klog_lines(), 1UL);

    velVMclose(&mapped);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 0);
    velSetState(b, VEL_STATE_IDLE);
    test_release(&tf);
}

static void page_shortage_is_refused_and_keeps_nothing(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    Backup *b = test_backup(&tf);
    pretend_started(b, 4096);
    struct vm_area_struct vma;
    init_vma(&vma, &tf.file, 8, RO_FLAGS);
    /* The fourth page of the driver cannot be had. */
    struct standin_fault_rule rule = {FAULT_PAGES, 0, NULL, 1, 3, 1};
    int id = standin_fault_add(&rule);
    int result = velMMAP(&tf.file, &vma);
    unsigned long hits = standin_fault_hits(id);
    standin_fault_clear();
    KUNIT_EXPECT_EQ(test, result, -ENOMEM);
    KUNIT_EXPECT_EQ(test, hits, 1UL);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocPages), 3);
    KUNIT_EXPECT_NULL(test, vma.vm_ops);
    expect_area_free(test, &b->vmAreas[0]);

    KUNIT_EXPECT_EQ(test, velMMAP(&tf.file, &vma), 0);
    KUNIT_EXPECT_EQ(test, b->vmAreas[0].vma, &vma);
    velVMclose(&vma);
    velSetState(b, VEL_STATE_IDLE);
    test_release(&tf);
}

struct unmapper {
    char *addr;
    unsigned long len;
    int result;
    struct completion done;
};

static int unmap_thread(void *arg) {
    struct unmapper *u = (struct unmapper *)arg;
    u->result = sys::munmap(u->addr, u->len);
    complete(&u->done);
    return 0;
}

struct mapper {
    int fd;
    char *addr;
    atomic_t finished;
    struct completion done;
};

static int map_thread(void *arg) {
    struct mapper *m = (struct mapper *)arg;
    m->addr = map(m->fd, 1);
    atomic_set(&m->finished, 1);
    complete(&m->done);
    return 0;
}

static int has_waiters(struct semaphore *sem) {
    unsigned long flags;
    spin_lock_irqsave(&sem->lock, flags);
    int waiting = !list_empty(&sem->wait_list);
    spin_unlock_irqrestore(&sem->lock, flags);
    return waiting;
}

/* The kernel maps with mmap_sem held for writing, and a command that holds
 * bSem may fault on the agent's memory (mmap_sem for reading): a mapping made
 * while a command runs must not wait for bSem, or both wait for ever. */
static void a_mapping_never_waits_for_a_command(struct kunit *test) {
    int fd = open_device(O_RDONLY);
    Backup *b = backup_of(fd);
    pretend_started(b, 4096);
    struct mapper m;
    m.fd = fd;
    m.addr = NULL;
    atomic_set(&m.finished, 0);
    init_completion(&m.done);
    down(&b->bSem); /* as a running command holds it */
    KUNIT_ASSERT_GT(test, kernel_thread(map_thread, &m, CLONE_KERNEL), 0);
    while (!atomic_read(&m.finished) && !has_waiters(&b->bSem))
        schedule();
    KUNIT_EXPECT_TRUE(test, atomic_read(&m.finished));
    up(&b->bSem);
    wait_for_completion(&m.done);
    KUNIT_EXPECT_NOT_NULL(test, m.addr);
    if (m.addr)
        KUNIT_EXPECT_EQ(test, sys::munmap(m.addr, PAGE_SIZE), 0);
    close_device(fd);
}

/* The agent unmaps while its read command fills the area: the unmap returns
 * at once, the pages stay until the fill ends, then they are freed. */
static void unmap_during_a_fill_frees_at_its_end(struct kunit *test) {
    int fd = open_device(O_RDONLY);
    Backup *b = backup_of(fd);
    pretend_started(b, 4096);
    char *p = map(fd, 2), *q = map(fd, 1);
    KUNIT_ASSERT_NOT_NULL(test, p);
    KUNIT_ASSERT_NOT_NULL(test, q);
    BackupVMA *area, *other;

    down(&b->bSem); /* as the read command holds it */
    KUNIT_ASSERT_TRUE(test, checkVMA(b, p, &area));
    KUNIT_ASSERT_TRUE(test, vmaFillBegin(b, area));
    strcpy(mmPageAddr(b, 0, area), "before the unmap");
    struct page *first = area->mmPages[0];
    struct unmapper u;
    u.addr = p;
    u.len = 2 * PAGE_SIZE;
    u.result = -1;
    init_completion(&u.done);
    KUNIT_ASSERT_GT(test, kernel_thread(unmap_thread, &u, CLONE_KERNEL), 0);
    wait_for_completion(&u.done);
    KUNIT_EXPECT_EQ(test, u.result, 0);

    KUNIT_EXPECT_EQ(test, page_count(first), 1);
    KUNIT_EXPECT_STREQ(test, mmPageAddr(b, 0, area), "before the unmap");
    strcpy(mmPageAddr(b, 1, area), "after the unmap");
    KUNIT_EXPECT_STREQ(test, mmPageAddr(b, 1, area), "after the unmap");
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 3);
    KUNIT_EXPECT_EQ(test, getVMAPageCount(b), 3);
    /* Gone for new commands, and not yet free for a new mapping. */
    KUNIT_EXPECT_FALSE(test, checkVMA(b, p, &other));
    KUNIT_EXPECT_EQ(test, maxBVMAs(b, &other), 1);
    vmaFillEnd(b, area);
    up(&b->bSem);

    KUNIT_EXPECT_EQ(test, page_count(first), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 1);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocPages), 3);
    KUNIT_EXPECT_EQ(test, getVMAPageCount(b), 1);
    KUNIT_EXPECT_EQ(test, maxBVMAs(b, &other), 0);
    KUNIT_EXPECT_EQ(test, other, area);
    expect_area_free(test, area);

    /* A fill whose mapping went away after checkVMA found it does not start. */
    KUNIT_ASSERT_TRUE(test, checkVMA(b, q, &other));
    KUNIT_EXPECT_EQ(test, sys::munmap(q, PAGE_SIZE), 0);
    KUNIT_EXPECT_FALSE(test, vmaFillBegin(b, other));
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 0);
    close_device(fd);
}

#define CHURN_ROUNDS 50
#define CHURN_PAGES 64

struct churn {
    int fd;
    char *addr;
    struct completion mapped, fillBegun, unmapped;
    int mapFailures;
};

static int churn_thread(void *arg) {
    struct churn *c = (struct churn *)arg;
    for (int round = 0; round < CHURN_ROUNDS; round++) {
        char *p = map(c->fd, CHURN_PAGES);
        if (!p)
            c->mapFailures++;
        else
            (void)*(volatile char *)p; /* fault the first page in */
        c->addr = p;
        complete(&c->mapped);
        wait_for_completion(&c->fillBegun);
        if (p)
            sys::munmap(p, CHURN_PAGES * PAGE_SIZE);
        complete(&c->unmapped);
    }
    return 0;
}

/* Each round an unmap races with a fill in progress; whichever way it goes,
 * no page the fill writes is freed under it and nothing is lost. */
static void unmaps_racing_fills_lose_nothing(struct kunit *test) {
    int fd = open_device(O_RDONLY);
    Backup *b = backup_of(fd);
    pretend_started(b, 4096);
    struct churn c;
    c.fd = fd;
    c.mapFailures = 0;
    c.addr = NULL;
    init_completion(&c.mapped);
    init_completion(&c.fillBegun);
    init_completion(&c.unmapped);
    KUNIT_ASSERT_GT(test, kernel_thread(churn_thread, &c, CLONE_KERNEL), 0);
    int fills = 0, lost = 0;
    for (int round = 0; round < CHURN_ROUNDS; round++) {
        wait_for_completion(&c.mapped);
        down(&b->bSem);
        /* The mapping may take either area: the last one may still wait for
         * its fill's end when the next is made. */
        BackupVMA *area = NULL;
        if (c.addr && checkVMA(b, c.addr, &area) && vmaFillBegin(b, area)) {
            fills++;
            complete(&c.fillBegun);
            /* As the read path does: the command's count, the area's pages. */
            for (int i = 0; i < CHURN_PAGES; i++) {
                struct page *page = area->mmPages[i];
                if (!page || page_count(page) < 1) {
                    lost++;
                    continue;
                }
                char *data = (char *)page_address(page);
                memset(data, round, PAGE_SIZE);
                if (data[PAGE_SIZE - 1] != (char)round)
                    lost++;
                yield(); /* a real fill waits for its disk reads here */
            }
            vmaFillEnd(b, area);
        } else {
            complete(&c.fillBegun);
        }
        up(&b->bSem);
        wait_for_completion(&c.unmapped);
    }
    KUNIT_EXPECT_EQ(test, fills, CHURN_ROUNDS);
    KUNIT_EXPECT_EQ(test, lost, 0);
    KUNIT_EXPECT_EQ(test, c.mapFailures, 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocPages), CHURN_PAGES * CHURN_ROUNDS);
    KUNIT_EXPECT_EQ(test, getVMAPageCount(b), 0);
    close_device(fd);
}

static struct kunit_case transfer_buffer_cases[] = {
    KUNIT_CASE(a_mapping_holds_at_most_256_blocks),
    KUNIT_CASE(mappings_the_buffer_refuses),
    KUNIT_CASE(protection_and_sharing_through_the_system_call),
    KUNIT_CASE(a_third_mapping_waits_for_a_free_area),
    KUNIT_CASE(faults_hand_out_the_area_pages),
    KUNIT_CASE(faults_the_buffer_cannot_serve),
    KUNIT_CASE(page_shortage_is_refused_and_keeps_nothing),
    KUNIT_CASE(a_mapping_never_waits_for_a_command),
    KUNIT_CASE(unmap_during_a_fill_frees_at_its_end),
    KUNIT_CASE(unmaps_racing_fills_lose_nothing),
    {},
};

static struct kunit_suite transfer_buffer_suite = {"transfer_buffer", transfer_buffer_cases,
                                                   "velmora"};
kunit_test_suite(transfer_buffer_suite);
