/*
 * Schedule fuzzing (standin/fuzz.h): at each point, a task draws from its
 * own stream, seeded by the run's seed and the task's pid, and now and then
 * yields or sleeps a little, so that windows between two steps of one task
 * open wide enough for another task to run in them.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <standin/fuzz.h>

#include "internal.h"

int fuzz_on;
static unsigned long long fuzz_seed_value;
static unsigned int fuzz_permille;
static unsigned long long fuzz_max_sleep_ns;
static unsigned long long fuzz_acts;

/* The task's stream: restarted when a new seed is set. */
struct fuzz_stream {
    unsigned long long seed;
    unsigned long long state;
};
static __thread struct fuzz_stream stream __attribute__((tls_model("initial-exec")));

/* splitmix64: small, and good enough to spread decisions. */
static unsigned long long next_draw(void) {
    unsigned long long z = (stream.state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

extern "C" void standin_fuzz_start(unsigned long long seed, unsigned int permille,
                                   unsigned long long max_sleep_ns) {
    __atomic_store_n(&fuzz_seed_value, seed, __ATOMIC_RELAXED);
    __atomic_store_n(&fuzz_permille, permille > 1000 ? 1000 : permille, __ATOMIC_RELAXED);
    __atomic_store_n(&fuzz_max_sleep_ns, max_sleep_ns, __ATOMIC_RELAXED);
    __atomic_store_n(&fuzz_acts, 0ULL, __ATOMIC_RELAXED);
    printk("<6>fuzz: schedule fuzzing with seed %llu\n", seed);
    __atomic_store_n(&fuzz_on, 1, __ATOMIC_RELEASE);
}

extern "C" void standin_fuzz_stop(void) {
    __atomic_store_n(&fuzz_on, 0, __ATOMIC_RELEASE);
}

extern "C" unsigned long long standin_fuzz_seed(void) {
    return __atomic_load_n(&fuzz_seed_value, __ATOMIC_RELAXED);
}

extern "C" unsigned long long standin_fuzz_acts(void) {
    return __atomic_load_n(&fuzz_acts, __ATOMIC_RELAXED);
}

void fuzz_point_slow(void) {
    unsigned long long seed = __atomic_load_n(&fuzz_seed_value, __ATOMIC_RELAXED);
    if (stream.seed != seed) {
        struct task_struct *t = current;
        stream.seed = seed;
        stream.state = seed * 0x2545f4914f6cdd1dULL + (unsigned long long)(t ? t->pid : 0);
    }
    unsigned long long draw = next_draw();
    if (draw % 1000 >= __atomic_load_n(&fuzz_permille, __ATOMIC_RELAXED))
        return;
    __atomic_add_fetch(&fuzz_acts, 1ULL, __ATOMIC_RELAXED);
    unsigned long long max = __atomic_load_n(&fuzz_max_sleep_ns, __ATOMIC_RELAXED);
    if ((draw >> 32) & 1 || !max)
        host_yield();
    else
        host_sleep_ns(1 + (draw >> 33) % max);
}
