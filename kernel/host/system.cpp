// Host services behind the seam: text output, symbols, entropy, errno and
// the end of the process.
#include "seam.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {

int host_vsnprintf(char *buf, unsigned long size, const char *fmt, __builtin_va_list ap) {
    return std::vsnprintf(buf, size, fmt, ap);
}

void host_write_stderr(const char *s, unsigned long n) {
    host_write_fd(2, s, n);
}

void host_write_fd(int fd, const char *s, unsigned long n) {
    while (n > 0) {
        ssize_t w = ::write(fd, s, n);
        if (w <= 0)
            return;
        s += w;
        n -= static_cast<unsigned long>(w);
    }
}

const char *host_symbolize(void *addr, char *buf, unsigned long size) {
    Dl_info info;
    if (dladdr(addr, &info) && info.dli_sname) {
        int status = 0;
        char *dem = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        const char *name = status == 0 && dem ? dem : info.dli_sname;
        std::snprintf(buf, size, "%s+0x%lx", name,
                      static_cast<unsigned long>(static_cast<char *>(addr) -
                                                 static_cast<char *>(info.dli_saddr)));
        std::free(dem);
    } else if (dladdr(addr, &info) && info.dli_fname) {
        const char *base = std::strrchr(info.dli_fname, '/');
        std::snprintf(buf, size, "%s+0x%lx", base ? base + 1 : info.dli_fname,
                      static_cast<unsigned long>(static_cast<char *>(addr) -
                                                 static_cast<char *>(info.dli_fbase)));
    } else {
        std::snprintf(buf, size, "%p", addr);
    }
    return buf;
}

void host_dump_stack(void) {
    void *frames[48];
    int n = backtrace(frames, 48);
    char line[512], sym[400];
    // Skip this function itself.
    for (int i = 1; i < n; ++i) {
        int len = std::snprintf(line, sizeof(line), " [<%p>] %s\n", frames[i],
                                host_symbolize(frames[i], sym, sizeof(sym)));
        host_write_stderr(line, static_cast<unsigned long>(len));
    }
}

int host_stack_trace(void **frames, int max) {
    void *all[64];
    int n = backtrace(all, 64);
    int kept = 0;
    // Skip this function itself.
    for (int i = 1; i < n && kept < max; ++i)
        frames[kept++] = all[i];
    return kept;
}

void host_abort(void) {
    std::abort();
}

const char *host_getenv(const char *name) {
    return std::getenv(name);
}

void host_set_errno(int err) {
    errno = err;
}

void host_random_bytes(void *buf, unsigned long n) {
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        ssize_t r = getrandom(p, n, 0);
        if (r <= 0)
            continue;
        p += r;
        n -= static_cast<unsigned long>(r);
    }
}

}  // extern "C"
