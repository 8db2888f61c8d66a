/*
 * The in-kernel unit test registry and the entry points of the host runner.
 */
#include <linux/kernel.h>
#include <kunit/test.h>
#include <standin/kunit.h>

#include "internal.h"

#define MAX_SUITES 256

struct kunit_runner {
    void (*report)(void *ctx, const char *file, int line, const char *msg);
    void *ctx;
};

static struct kunit_suite *suites[MAX_SUITES];
static int nr_suites;

extern "C" void kunit_register_suite(struct kunit_suite *suite) {
    if (nr_suites == MAX_SUITES)
        kernel_die("BUG: too many kunit suites\n");
    suites[nr_suites++] = suite;
}

extern "C" void kunit_fail(struct kunit *test, const char *file, int line, const char *fmt, ...) {
    char msg[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof(msg), fmt, ap);
    va_end(ap);
    test->failures++;
    struct kunit_runner *r = (struct kunit_runner *)test->runner;
    if (r && r->report)
        r->report(r->ctx, file, line, msg);
}

extern "C" int standin_kunit_suites(void) {
    return nr_suites;
}
extern "C" const char *standin_kunit_suite_name(int s) {
    return suites[s]->name;
}
extern "C" const char *standin_kunit_suite_module(int s) {
    return suites[s]->module;
}

extern "C" int standin_kunit_cases(int s) {
    int n = 0;
    while (suites[s]->test_cases[n].run_case)
        n++;
    return n;
}

extern "C" const char *standin_kunit_case_name(int s, int c) {
    return suites[s]->test_cases[c].name;
}

extern "C" const char *standin_kunit_case_expect_bug(int s, int c) {
    return suites[s]->test_cases[c].expect_bug;
}

extern "C" int standin_kunit_run(int s, int c,
                                 void (*report)(void *ctx, const char *file, int line,
                                                const char *msg),
                                 void *ctx) {
    struct kunit_runner runner = {report, ctx};
    struct kunit test = {suites[s]->test_cases[c].name, 0, &runner};
    suites[s]->test_cases[c].run_case(&test);
    return test.failures;
}
