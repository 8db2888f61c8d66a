// Host sleeping locks and threads behind the seam.
#include "seam.h"

#include <pthread.h>
#include <sched.h>
#include <setjmp.h>
#include <time.h>

#include <vector>

static_assert(sizeof(host_mutex) >= sizeof(pthread_mutex_t));
static_assert(sizeof(host_cond) >= sizeof(pthread_cond_t));

namespace {
pthread_mutex_t *pm(host_mutex *m) {
    return reinterpret_cast<pthread_mutex_t *>(m);
}
pthread_cond_t *pc(host_cond *c) {
    return reinterpret_cast<pthread_cond_t *>(c);
}

struct StartArgs {
    void (*entry)(void *);
    void *arg;
};

thread_local sigjmp_buf *exitJump = nullptr;

// host_thread_exit() jumps back here instead of unwinding: the frames it
// leaves may belong to a module that is unloaded right after.
void *trampoline(void *p) {
    StartArgs a = *static_cast<StartArgs *>(p);
    delete static_cast<StartArgs *>(p);
    sigjmp_buf buf;
    exitJump = &buf;
    if (sigsetjmp(buf, 0) == 0)
        a.entry(a.arg);
    exitJump = nullptr;
    return nullptr;
}

struct ExitHooks {
    std::vector<std::pair<void (*)(void *), void *>> hooks;
    ~ExitHooks() {
        for (auto it = hooks.rbegin(); it != hooks.rend(); ++it)
            it->first(it->second);
    }
};
thread_local ExitHooks exitHooks;
}  // namespace

extern "C" {

void host_mutex_lock(host_mutex *m) {
    pthread_mutex_lock(pm(m));
}
void host_mutex_unlock(host_mutex *m) {
    pthread_mutex_unlock(pm(m));
}
void host_cond_wait(host_cond *c, host_mutex *m) {
    pthread_cond_wait(pc(c), pm(m));
}
int host_cond_timedwait(host_cond *c, host_mutex *m, unsigned long long ns) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    unsigned long long t = static_cast<unsigned long long>(ts.tv_nsec) + ns;
    ts.tv_sec += static_cast<time_t>(t / 1000000000ULL);
    ts.tv_nsec = static_cast<long>(t % 1000000000ULL);
    return pthread_cond_timedwait(pc(c), pm(m), &ts) == 0 ? 0 : 1;
}
void host_cond_signal(host_cond *c) {
    pthread_cond_signal(pc(c));
}

int host_thread_start(void (*entry)(void *), void *arg) {
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto *a = new StartArgs{entry, arg};
    int r = pthread_create(&t, &attr, trampoline, a);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        delete a;
        return -r;
    }
    return 0;
}

void host_thread_set_name(const char *name) {
    char buf[16];
    int i = 0;
    for (; name[i] && i < 15; ++i)
        buf[i] = name[i];
    buf[i] = 0;
    pthread_setname_np(pthread_self(), buf);
}

void host_thread_exit(void) {
    if (exitJump)
        siglongjmp(*exitJump, 1);
    pthread_exit(nullptr);
}

void host_thread_at_exit(void (*fn)(void *), void *arg) {
    exitHooks.hooks.emplace_back(fn, arg);
}

void host_yield(void) {
    sched_yield();
}

void host_sleep_ns(unsigned long long ns) {
    timespec ts{static_cast<time_t>(ns / 1000000000ULL), static_cast<long>(ns % 1000000000ULL)};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

int host_pin_to_cpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

int host_cpu_count(void) {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
        return 1;
    return CPU_COUNT(&set);
}

void host_cpu_relax(void) {
    __builtin_ia32_pause();
}

unsigned long long host_monotonic_ns(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<unsigned long long>(ts.tv_sec) * 1000000000ULL +
           static_cast<unsigned long long>(ts.tv_nsec);
}

void host_realtime(long *sec, long *nsec) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    *sec = ts.tv_sec;
    *nsec = ts.tv_nsec;
}

}  // extern "C"
