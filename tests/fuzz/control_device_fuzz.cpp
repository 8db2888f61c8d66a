// The control device fed arbitrary programs: opens and closes of up to two
// files, commands (known and unknown) whose records hold input bytes and
// pointers into the caller's memory, into a mapping, into memory it cannot
// reach or into the kernel, mappings made, touched and unmapped, writes to
// the tracked device in between, and the module's allocations, thread starts
// and disk transfers made to fail. One booted kernel serves every input;
// after each, the files are closed, change tracking is shut down, and the
// module must hold what it held before, with every bio ended. A crash, a
// BUG, a lock-order report, a leak or a hang is a finding.
#include "fuzz_input.h"

#include <backup_rig.h>
#include <machine.h>
#include <velmora.h>
#include <standin/disk.h>
#include <standin/fault.h>
#include <standin/machine.h>
#include <standin/syscalls.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace velmora::fuzz {
namespace {

constexpr const char *kNode = "/dev/velmora-fuzz";
constexpr std::size_t kPage = 4096;
constexpr std::size_t kUserPages = 16;
constexpr std::size_t kUserBytes = kUserPages * kPage;
constexpr int kMaxOps = 48;

// The commands of the header, then room for any number at all.
constexpr std::array<unsigned long, 16> kCommands = {
    VEL_GET_BLOCK_SIZE,    VEL_START_BACKUP,
    VEL_SNAPSHOT,          VEL_GET_STATE,
    VEL_GET_AUTOMAP_STATE, VEL_NO_LOAD_FROM_AUTOMAP,
    VEL_NO_START_AUTOMAP,  VEL_LOAD_BLOCK_MAP,
    VEL_GET_AUTOMAP,       VEL_GET_DIRTY_BLOCK,
    VEL_READ_BLOCKS,       VEL_GET_VERSION_MAJOR,
    VEL_GET_VERSION_MINOR, VEL_SYNC,
    VEL_SHUTDOWN,          VEL_COMMAND_16};

[[noreturn]] void finding(const char *what) {
    std::fprintf(stderr, "control device fuzz: %s\n", what);
    standin_klog_dump();
    std::abort();
}

struct Quiet {
    unsigned long allocations;
    unsigned long long inFlight, unfreed;
};

Quiet quiet() {
    standin_bio_counters c{};
    standin_get_bio_counters(&c);
    return {standin_module_allocations(), c.submitted - c.completed, c.allocated - c.freed};
}

// The booted kernel, the module and a tracked device, made once.
class World {
  public:
    World() : rig_({"testfs", 4096, 4, 2}) {
        if (machine_.tryLoad(sim::velmoraModulePath()) != 0)
            finding("the module does not load");
        if (sys::mknod(kNode, S_IFCHR | 0600, STANDIN_MKDEV(VEL_DEVICE_MAJOR, 0)) != 0)
            finding("mknod of the control device failed");
        // The caller's memory: its last page can be neither read nor written,
        // so a record may run off the end of what it can reach.
        void *m = ::mmap(nullptr, kUserBytes + kPage, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED)
            finding("no memory for the caller");
        user_ = static_cast<unsigned char *>(m);
        ::mprotect(user_ + kUserBytes, kPage, PROT_NONE);
        confine();
        reset();
        settled_ = quiet();
    }

    void run(Input &in) {
        std::memset(user_, 0, kUserBytes);
        for (int op = 0; op < kMaxOps && !in.empty(); ++op)
            step(in);
        reset();
        standin_check_free_pages();
        const Quiet now = quiet();
        if (now.allocations != settled_.allocations)
            finding("the module holds other memory after the files closed and a shutdown");
        if (now.inFlight != settled_.inFlight)
            finding("a bio was never completed");
        if (now.unfreed != settled_.unfreed)
            finding("a bio was never freed");
        standin_klog_clear();
    }

  private:
    struct Mapping {
        void *addr = nullptr;
        std::size_t bytes = 0;
    };

    void step(Input &in) {
        switch (in.u8() % 13) {
            case 0: {
                int &fd = fds_[in.u8() % fds_.size()];
                const int flags = in.u8() & 1 ? O_RDWR : O_RDONLY;
                if (fd < 0)
                    fd = sys::open(kNode, flags);
                break;
            }
            case 1: {
                int &fd = fds_[in.u8() % fds_.size()];
                if (fd >= 0)
                    sys::close(fd);
                fd = -1;
                break;
            }
            case 2:
                command(in, kCommands[in.u8() % kCommands.size()]);
                break;
            case 3:
                command(in, in.u32());
                break;
            case 4:
                map(in);
                break;
            case 5:
                unmap(in.u8() % maps_.size());
                break;
            case 6:
                touch(in);
                break;
            case 7:
                writeBlock(in);
                break;
            case 8: {
                const std::size_t at = in.u16() % kUserBytes;
                in.bytes(user_ + at, std::min<std::size_t>(in.u8(), kUserBytes - at));
                break;
            }
            case 9:
                plainCall(in);
                break;
            case 10:
                injectFault(in);
                break;
            case 11: {
                // A pointer inside a record that a record points to.
                const std::size_t at = (in.u16() % (kUserBytes / 8)) * 8;
                const unsigned long p = pointer(in);
                std::memcpy(user_ + at, &p, sizeof p);
                break;
            }
            default:
                standin_fs_sync(rig_.part());
                break;
        }
    }

    // The process's memory is its own buffer and its mappings: a made-up
    // pointer into the kernel's host memory must fault, as it would on a
    // real machine, instead of letting the kernel write over itself.
    void confine() {
        unsigned long ranges[1 + std::tuple_size_v<decltype(maps_)>][2];
        int n = 0;
        ranges[n][0] = reinterpret_cast<unsigned long>(user_);
        ranges[n++][1] = reinterpret_cast<unsigned long>(user_ + kUserBytes);
        for (const Mapping &m : maps_) {
            if (!m.addr)
                continue;
            ranges[n][0] = reinterpret_cast<unsigned long>(m.addr);
            ranges[n++][1] = reinterpret_cast<unsigned long>(m.addr) + m.bytes;
        }
        standin_confine_user_memory(ranges, n);
    }

    // A pointer as a caller might pass one, right or wrong.
    unsigned long pointer(Input &in) {
        switch (in.u8() % 8) {
            case 0:
                return 0;
            case 1:
            case 2:
                return reinterpret_cast<unsigned long>(user_ + in.u16() % kUserBytes);
            case 3: {
                const Mapping &m = maps_[in.u8() % maps_.size()];
                const unsigned offset = in.u16();
                if (m.addr)
                    return reinterpret_cast<unsigned long>(m.addr) + offset % m.bytes;
                return reinterpret_cast<unsigned long>(user_);
            }
            case 4:  // what the caller cannot reach, or just barely
                return reinterpret_cast<unsigned long>(user_ + kUserBytes - in.u8() % 64);
            case 5:
                return lastUnmapped_ ? lastUnmapped_ : 0x1000;
            case 6:
                return 0xffff880000000000ul + in.u16();
            default:
                return in.u64();
        }
    }

    // A record of input bytes at the start of the caller's memory, with some
    // of its words made pointers or numbers that the driver will recognise.
    void command(Input &in, unsigned long request) {
        int fd = fds_[in.u8() % fds_.size()];
        unsigned char *rec = user_ + kPage;
        in.bytes(rec, in.u8() % 64);
        for (int patches = in.u8() % 5; patches > 0; --patches) {
            const std::size_t at = (in.u8() % 8) * 8;
            const uint32_t blocks = rig_.blocks();
            const uint32_t words[] = {rig_.major(), rig_.minor(), blocks, blocks / 2, 0, 1,
                                      56,           0xFFFFFFFF,   255,    256};
            switch (in.u8() % 4) {
                case 0: {
                    const unsigned long p = pointer(in);
                    std::memcpy(rec + at, &p, sizeof p);
                    break;
                }
                case 1: {
                    const uint32_t pair[2] = {rig_.major(), rig_.minor()};
                    std::memcpy(rec + at, pair, sizeof pair);
                    break;
                }
                default: {
                    const uint32_t w = words[in.u8() % std::size(words)];
                    std::memcpy(rec + at + (in.u8() & 4), &w, sizeof w);
                    break;
                }
            }
        }
        const unsigned long arg = in.u8() % 4 ? reinterpret_cast<unsigned long>(rec) : pointer(in);
        sys::ioctl(fd, request, arg);
    }

    void map(Input &in) {
        // Every argument is read first, so the rest of the program stays in
        // step whatever happens here.
        Mapping &m = maps_[in.u8() % maps_.size()];
        const std::size_t bytes = (in.u16() % 300) * kPage;
        const int prot = in.u8() & 1 ? PROT_READ : PROT_READ | PROT_WRITE;
        const int flags = in.u8() & 1 ? MAP_SHARED : MAP_PRIVATE;
        const uint8_t offsetPages = in.u8();
        const long offset = offsetPages % 8 ? 0 : static_cast<long>(offsetPages / 8) * kPage;
        const int fd = fds_[in.u8() % fds_.size()];
        if (m.addr)
            return;
        void *p = sys::mmap(nullptr, bytes, prot, flags, fd, offset);
        if (p != MAP_FAILED) {
            m = {p, bytes};
            confine();
        }
    }

    void unmap(std::size_t which) {
        Mapping &m = maps_[which];
        if (!m.addr)
            return;
        sys::munmap(m.addr, m.bytes);
        lastUnmapped_ = reinterpret_cast<unsigned long>(m.addr);
        m = {};
        confine();
    }

    // A fault of the mapping, as a process's first look at a page makes one.
    void touch(Input &in) {
        const Mapping &m = maps_[in.u8() % maps_.size()];
        const uint32_t offset = in.u32();
        if (!m.addr)
            return;
        volatile const unsigned char *p =
            static_cast<const unsigned char *>(m.addr) + offset % m.bytes;
        (void)*p;
    }

    void writeBlock(Input &in) {
        std::array<unsigned char, 4096> data;
        data.fill(in.u8());
        const uint32_t block = in.u16() % rig_.blocks();
        standin_fs_write_block(rig_.part(), block, data.data(),
                               in.u8() & 1 ? STANDIN_FS_DIRECT : STANDIN_FS_BUFFERED);
    }

    // A few of the module's next calls of one kind fail.
    void injectFault(Input &in) {
        standin_fault_rule rule{};
        rule.sites = 1u << (in.u8() % 10);
        rule.module_only = 1;
        rule.skip = in.u8() % 16;
        rule.times = 1 + in.u8() % 4;
        if (++faults_ <= 8)
            standin_fault_add(&rule);
    }

    void plainCall(Input &in) {
        int fd = fds_[in.u8() % fds_.size()];
        const unsigned long p = pointer(in);
        const unsigned long n = in.u16();
        switch (in.u8() % 3) {
            case 0:
                sys::read(fd, reinterpret_cast<void *>(p), n);
                break;
            case 1:
                sys::write(fd, reinterpret_cast<const void *>(p), n);
                break;
            default: {
                sys::pollfd pfd{fd, static_cast<short>(in.u8()), 0};
                sys::poll(&pfd, 1, 0);
                break;
            }
        }
    }

    // Back to where every input starts: nothing open or mapped, no change
    // tracking, the device's writes on disk.
    void reset() {
        standin_fault_clear();
        faults_ = 0;
        for (std::size_t i = 0; i < maps_.size(); ++i)
            unmap(i);
        lastUnmapped_ = 0;
        for (int &fd : fds_) {
            if (fd >= 0)
                sys::close(fd);
            fd = -1;
        }
        int fd = sys::open(kNode, O_RDWR);
        if (fd < 0)
            finding("the control device does not open after an input");
        if (sys::ioctl(fd, VEL_SHUTDOWN, user_) != VEL_OK)
            finding("change tracking does not shut down after an input");
        sys::close(fd);
        standin_fs_sync(rig_.part());
    }

    sim::Machine machine_;
    test::DiskRig rig_;
    unsigned char *user_ = nullptr;
    std::array<int, 2> fds_{-1, -1};
    std::array<Mapping, 2> maps_{};
    unsigned long lastUnmapped_ = 0;
    int faults_ = 0;
    Quiet settled_{};
};

}  // namespace
}  // namespace velmora::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Made once and never taken down: the kernel stays booted until the
    // process ends, as a kernel does.
    static velmora::fuzz::World *world = new velmora::fuzz::World;
    velmora::fuzz::Input in(data, size);
    world->run(in);
    return 0;
}
