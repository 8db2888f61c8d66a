#ifndef STANDIN_KUNIT_H
#define STANDIN_KUNIT_H

/* The host side of the in-kernel unit tests: enumerate and run cases. */

#ifdef __cplusplus
extern "C" {
#endif

int standin_kunit_suites(void);
const char *standin_kunit_suite_name(int suite);
const char *standin_kunit_suite_module(int suite);
int standin_kunit_cases(int suite);
const char *standin_kunit_case_name(int suite, int kcase);
const char *standin_kunit_case_expect_bug(int suite, int kcase);
/* Runs one case on a new kernel thread; report() receives each failure.
 * Returns the number of failures. */
int standin_kunit_run(int suite, int kcase,
                      void (*report)(void *ctx, const char *file, int line, const char *msg),
                      void *ctx);

#ifdef __cplusplus
}
#endif

#endif
