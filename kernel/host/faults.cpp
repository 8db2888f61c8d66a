// Page faults of the process routed to the stand-in kernel's memory manager.
#include "seam.h"

#include <signal.h>
#include <ucontext.h>

#include <cstring>

namespace {
int (*faultHandler)(void *addr, int write) = nullptr;
struct sigaction previous;

void chain(int sig, siginfo_t *info, void *ctx) {
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
        previous.sa_sigaction(sig, info, ctx);
        return;
    }
    if (previous.sa_handler == SIG_IGN)
        return;
    if (previous.sa_handler != SIG_DFL) {
        previous.sa_handler(sig);
        return;
    }
    // Default action: let the retried access kill the process with SIGSEGV.
    signal(sig, SIG_DFL);
}

void onSegv(int sig, siginfo_t *info, void *ctx) {
    int write = 0;
#ifdef REG_ERR
    write = (static_cast<ucontext_t *>(ctx)->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#endif
    int res = faultHandler ? faultHandler(info->si_addr, write) : SIGSEGV;
    if (res == 0)
        return;  // mapped: the access is retried
    if (res == SIGBUS) {
        // The page cannot be provided: the process gets a bus error, as a
        // refused fault of a real mapping would give it.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGBUS);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        raise(SIGBUS);
        return;
    }
    chain(sig, info, ctx);
}
}  // namespace

extern "C" void host_set_fault_handler(int (*handler)(void *addr, int write)) {
    faultHandler = handler;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = onSegv;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, &previous);
}
