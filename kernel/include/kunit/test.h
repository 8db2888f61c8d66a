#ifndef _KUNIT_TEST_H
#define _KUNIT_TEST_H

#include <linux/string.h>

/*
 * In-kernel unit tests. A test case is kernel code: it runs on a kernel
 * task, calls kernel and module functions directly, and reports through the
 * expectations below; the host's test runner turns each case into one test.
 *
 *   static void my_case(struct kunit *test) { KUNIT_EXPECT_EQ(test, 1, 1); }
 *   static struct kunit_case my_cases[] = { KUNIT_CASE(my_case), {} };
 *   static struct kunit_suite my_suite = { "my_suite", my_cases };
 *   kunit_test_suite(my_suite);
 */

struct kunit {
    const char *name;
    int failures;
    void *runner;
};

struct kunit_case {
    void (*run_case)(struct kunit *test);
    const char *name;
    /* When set, the case must end in a kernel BUG whose report matches this. */
    const char *expect_bug;
};

struct kunit_suite {
    const char *name;
    struct kunit_case *test_cases;
    /* Module loaded before each case and unloaded (leak-checked) after it. */
    const char *module;
};

#define KUNIT_CASE(fn) \
    { fn, #fn, nullptr }
#define KUNIT_CASE_BUG(fn, report) \
    { fn, #fn, report }

extern "C" {
void kunit_register_suite(struct kunit_suite *suite);
void kunit_fail(struct kunit *test, const char *file, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
/* Kernel log lookups for tests: whole lines, without the level prefix. */
int klog_contains(const char *line);
int klog_count(const char *line);
int klog_count_prefix(const char *prefix);
/* The level of the last line that reads exactly `line`, or -1. */
int klog_level(const char *line);
void klog_clear(void);
}

#define kunit_test_suite(suite)                                               \
    __attribute__((constructor)) static void __kunit_register_##suite(void) { \
        kunit_register_suite(&(suite));                                       \
    }

/* Values print as signed or unsigned 64-bit numbers, or as pointers. */
template <typename T>
static inline long long __kunit_as_ll(T v) {
    return (long long)v;
}
template <typename T>
static inline long long __kunit_as_ll(T *v) {
    return (long long)(unsigned long)v;
}

#define __KUNIT_BINARY(test, left, op, right, ret)                                                 \
    do {                                                                                           \
        __typeof__(left) __l = (left);                                                             \
        __typeof__(right) __r = (right);                                                           \
        if (!(__l op __r)) {                                                                       \
            kunit_fail((test), __FILE__, __LINE__,                                                 \
                       "Expected %s %s %s, but\n    %s == %lld (0x%llx)\n    %s == %lld (0x%llx)", \
                       #left, #op, #right, #left, __kunit_as_ll(__l),                              \
                       (unsigned long long)__kunit_as_ll(__l), #right, __kunit_as_ll(__r),         \
                       (unsigned long long)__kunit_as_ll(__r));                                    \
            ret;                                                                                   \
        }                                                                                          \
    } while (0)

#define __KUNIT_TRUE(test, cond, ret)                                                \
    do {                                                                             \
        if (!(cond)) {                                                               \
            kunit_fail((test), __FILE__, __LINE__, "Expected %s to be true", #cond); \
            ret;                                                                     \
        }                                                                            \
    } while (0)

#define __KUNIT_STREQ(test, left, right, ret)                                               \
    do {                                                                                    \
        const char *__l = (left), *__r = (right);                                           \
        if (!__l || !__r || strcmp(__l, __r) != 0) {                                        \
            kunit_fail((test), __FILE__, __LINE__,                                          \
                       "Expected %s == %s, but\n    %s == \"%s\"\n    %s == \"%s\"", #left, \
                       #right, #left, __l ? __l : "(null)", #right, __r ? __r : "(null)");  \
            ret;                                                                            \
        }                                                                                   \
    } while (0)

#define __KUNIT_LOG(test, line, ret)                                                              \
    do {                                                                                          \
        if (!klog_contains(line)) {                                                               \
            kunit_fail((test), __FILE__, __LINE__, "Expected the kernel log to hold\n    \"%s\"", \
                       (line));                                                                   \
            ret;                                                                                  \
        }                                                                                         \
    } while (0)

#define KUNIT_EXPECT_EQ(test, l, r) __KUNIT_BINARY(test, l, ==, r, (void)0)
#define KUNIT_EXPECT_NE(test, l, r) __KUNIT_BINARY(test, l, !=, r, (void)0)
#define KUNIT_EXPECT_LT(test, l, r) __KUNIT_BINARY(test, l, <, r, (void)0)
#define KUNIT_EXPECT_LE(test, l, r) __KUNIT_BINARY(test, l, <=, r, (void)0)
#define KUNIT_EXPECT_GT(test, l, r) __KUNIT_BINARY(test, l, >, r, (void)0)
#define KUNIT_EXPECT_GE(test, l, r) __KUNIT_BINARY(test, l, >=, r, (void)0)
#define KUNIT_EXPECT_TRUE(test, c) __KUNIT_TRUE(test, c, (void)0)
#define KUNIT_EXPECT_FALSE(test, c) __KUNIT_TRUE(test, !(c), (void)0)
#define KUNIT_EXPECT_NULL(test, p) __KUNIT_TRUE(test, (p) == NULL, (void)0)
#define KUNIT_EXPECT_NOT_NULL(test, p) __KUNIT_TRUE(test, (p) != NULL, (void)0)
#define KUNIT_EXPECT_STREQ(test, l, r) __KUNIT_STREQ(test, l, r, (void)0)
#define KUNIT_EXPECT_LOG(test, line) __KUNIT_LOG(test, line, (void)0)

#define KUNIT_ASSERT_EQ(test, l, r) __KUNIT_BINARY(test, l, ==, r, return )
#define KUNIT_ASSERT_NE(test, l, r) __KUNIT_BINARY(test, l, !=, r, return )
#define KUNIT_ASSERT_LT(test, l, r) __KUNIT_BINARY(test, l, <, r, return )
#define KUNIT_ASSERT_LE(test, l, r) __KUNIT_BINARY(test, l, <=, r, return )
#define KUNIT_ASSERT_GT(test, l, r) __KUNIT_BINARY(test, l, >, r, return )
#define KUNIT_ASSERT_GE(test, l, r) __KUNIT_BINARY(test, l, >=, r, return )
#define KUNIT_ASSERT_TRUE(test, c) __KUNIT_TRUE(test, c, return )
#define KUNIT_ASSERT_FALSE(test, c) __KUNIT_TRUE(test, !(c), return )
#define KUNIT_ASSERT_NULL(test, p) __KUNIT_TRUE(test, (p) == NULL, return )
#define KUNIT_ASSERT_NOT_NULL(test, p) __KUNIT_TRUE(test, (p) != NULL, return )
#define KUNIT_ASSERT_STREQ(test, l, r) __KUNIT_STREQ(test, l, r, return )
#define KUNIT_ASSERT_LOG(test, line) __KUNIT_LOG(test, line, return )

#endif
