// Loadable objects behind the seam: what the module loader needs of the
// host's dynamic linker and of the ELF files it loads.
#include "seam.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {

void *host_dlopen(const char *path, char *err, unsigned long errlen) {
    void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h && err)
        std::snprintf(err, errlen, "%s", dlerror());
    return h;
}

void *host_dlsym(void *handle, const char *name) {
    return dlsym(handle, name);
}

int host_dlclose(void *handle) {
    return dlclose(handle);
}

int host_dl_is_loaded(const char *path) {
    void *h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (!h)
        return 0;
    dlclose(h);
    return 1;
}

int host_dl_range(void *handle, unsigned long *lo, unsigned long *hi) {
    link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
        return -1;
    struct Ctx {
        ElfW(Addr) base;
        unsigned long lo, hi;
        bool found;
    } ctx{map->l_addr, ~0UL, 0, false};
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *p) -> int {
            auto *c = static_cast<Ctx *>(p);
            if (info->dlpi_addr != c->base)
                return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const auto &ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD)
                    continue;
                unsigned long s = info->dlpi_addr + ph.p_vaddr;
                unsigned long e = s + ph.p_memsz;
                if (s < c->lo)
                    c->lo = s;
                if (e > c->hi)
                    c->hi = e;
                c->found = true;
            }
            return 1;
        },
        &ctx);
    if (!ctx.found)
        return -1;
    *lo = ctx.lo;
    *hi = ctx.hi;
    return 0;
}

long host_elf_section(const char *path, const char *section, char *buf, unsigned long size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    long result = -1;
    Elf64_Ehdr eh;
    if (pread(fd, &eh, sizeof(eh), 0) == static_cast<ssize_t>(sizeof(eh)) &&
        std::memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 && eh.e_ident[EI_CLASS] == ELFCLASS64 &&
        eh.e_shstrndx < eh.e_shnum) {
        std::vector<Elf64_Shdr> sh(eh.e_shnum);
        ssize_t want = static_cast<ssize_t>(sizeof(Elf64_Shdr) * eh.e_shnum);
        if (pread(fd, sh.data(), static_cast<size_t>(want), static_cast<off_t>(eh.e_shoff)) ==
            want) {
            const Elf64_Shdr &strs = sh[eh.e_shstrndx];
            std::vector<char> names(strs.sh_size + 1, 0);
            if (pread(fd, names.data(), strs.sh_size, static_cast<off_t>(strs.sh_offset)) ==
                static_cast<ssize_t>(strs.sh_size)) {
                for (const auto &s : sh) {
                    if (s.sh_name >= strs.sh_size)
                        continue;
                    if (std::strcmp(names.data() + s.sh_name, section) != 0)
                        continue;
                    unsigned long n = s.sh_size < size ? s.sh_size : size;
                    if (pread(fd, buf, n, static_cast<off_t>(s.sh_offset)) ==
                        static_cast<ssize_t>(n))
                        result = static_cast<long>(n);
                    break;
                }
            }
        }
    }
    close(fd);
    return result;
}

}  // extern "C"
