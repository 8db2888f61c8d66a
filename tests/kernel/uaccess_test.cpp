/*
 * Copies to and from a process: a bad address makes the copy fail and report
 * how much was left, never crash the kernel.
 */
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <asm/uaccess.h>
#include <kunit/test.h>

#include "internal.h"

/* Two user pages: the first mapped (read-only or writable), the second not. */
static char *user_pages(struct page *frame, int writable) {
    char *area = (char *)host_reserve(2 * PAGE_SIZE);
    host_phys_map_user(area, page_to_pfn(frame), writable);
    return area;
}

static void copy_stops_at_unmapped_byte(struct kunit *test) {
    struct page *frame = alloc_pages(GFP_KERNEL, 0);
    memset(page_address(frame), 'x', PAGE_SIZE);
    char *area = user_pages(frame, 1);
    char buf[64];
    memset(buf, '?', sizeof(buf));
    /* 10 readable bytes, then the unmapped page. */
    unsigned long left = copy_from_user(buf, area + PAGE_SIZE - 10, sizeof(buf));
    KUNIT_EXPECT_EQ(test, left, sizeof(buf) - 10);
    KUNIT_EXPECT_EQ(test, buf[9], 'x');
    KUNIT_EXPECT_EQ(test, buf[10], 0); /* the rest is zeroed, not stale */
    KUNIT_EXPECT_EQ(test, buf[63], 0);
    KUNIT_EXPECT_EQ(test, copy_to_user(area + PAGE_SIZE - 4, buf, 8), 4UL);
    host_unreserve(area, 2 * PAGE_SIZE);
    __free_pages(frame, 0);
}

static void copy_to_read_only_mapping_fails(struct kunit *test) {
    struct page *frame = alloc_pages(GFP_KERNEL, 0);
    memset(page_address(frame), 0, PAGE_SIZE);
    char *area = user_pages(frame, 0);
    char buf[16] = "kernel";
    KUNIT_EXPECT_EQ(test, copy_to_user(area, buf, sizeof(buf)), sizeof(buf));
    KUNIT_EXPECT_EQ(test, copy_from_user(buf, area, sizeof(buf)), 0UL);
    unsigned int v = 7;
    KUNIT_EXPECT_EQ(test, put_user(v, (unsigned int *)area), -EFAULT);
    KUNIT_EXPECT_EQ(test, get_user(v, (unsigned int *)area), 0);
    KUNIT_EXPECT_EQ(test, v, 0u);
    host_unreserve(area, 2 * PAGE_SIZE);
    __free_pages(frame, 0);
}

static void null_and_wild_addresses(struct kunit *test) {
    char buf[8];
    KUNIT_EXPECT_EQ(test, copy_from_user(buf, NULL, sizeof(buf)), sizeof(buf));
    KUNIT_EXPECT_EQ(test, copy_to_user((void *)16, buf, sizeof(buf)), sizeof(buf));
    KUNIT_EXPECT_EQ(test, copy_to_user((void *)0xffff800000000000UL, buf, 1), 1UL);
    KUNIT_EXPECT_EQ(test, copy_from_user(buf, buf, 0), 0UL);
}

static struct kunit_case uaccess_cases[] = {
    KUNIT_CASE(copy_stops_at_unmapped_byte),
    KUNIT_CASE(copy_to_read_only_mapping_fails),
    KUNIT_CASE(null_and_wild_addresses),
    {},
};

static struct kunit_suite uaccess_suite = {"uaccess", uaccess_cases};
kunit_test_suite(uaccess_suite);
