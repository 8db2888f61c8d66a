#ifndef STANDIN_FUZZ_H
#define STANDIN_FUZZ_H

/*
 * Schedule fuzzing. A preemptible kernel may switch tasks at any point where
 * no spin lock is held; the stand-in's threads switch only where the host
 * scheduler happens to. With fuzzing on, the stand-in yields or sleeps for a
 * short random time at the points where interleavings matter: lock acquire
 * and release, schedule(), bio submission and completion, and the entry and
 * exit of each system call. The decisions come from the seed, each task
 * drawing from a stream of its own, so a failing run is replayed by passing
 * its seed back (thread timing still varies; the decisions do not).
 *
 * Off by default; when off a point costs one relaxed load. Built-in types
 * only, so kernel and host code can both include it.
 */

#ifdef __cplusplus
extern "C" {
#endif

/* permille: how many points in a thousand act; max_sleep_ns: the longest
 * sleep an acting point takes (half of them only yield). */
void standin_fuzz_start(unsigned long long seed, unsigned int permille,
                        unsigned long long max_sleep_ns);
void standin_fuzz_stop(void);
/* The seed of the running (or last) fuzzing, 0 if none ran. */
unsigned long long standin_fuzz_seed(void);
/* How many points have acted since the start. */
unsigned long long standin_fuzz_acts(void);

#ifdef __cplusplus
}
#endif

#endif
