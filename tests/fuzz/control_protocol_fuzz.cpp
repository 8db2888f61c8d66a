// The machine's control socket fed arbitrary clients: each input is a
// sequence of packets (any length, any bytes, some carrying a descriptor)
// that one client sends, as the machine's owner or as another user, and then
// hangs up without reading what it was sent until the end. One booted kernel
// with the module serves every input through the very session code of the
// service. The session must end, and release every file and mapping the
// client made: a crash, a BUG, a hang or a file left open is a finding.
// The client's memory, as the kernel's user copies see it, is one buffer of
// its own; a command's small argument is a place in it, any other a
// made-up address that must fault.
#include <control_protocol.h>
#include <control_session.h>

#include <machine.h>
#include <standin/machine.h>
#include <standin/peer.h>
#include <standin/syscalls.h>
#include <velmora.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr std::size_t kMaxPackets = 64;
constexpr std::size_t kUserBytes = 64 << 10;

[[noreturn]] void finding(const char *what) {
    std::fprintf(stderr, "control protocol fuzz: %s\n", what);
    standin_klog_dump();
    std::abort();
}

struct Machine {
    velmora::sim::Machine machine;
    int idleReferences = 0;
    int devNull = -1;
    alignas(4096) unsigned char user[kUserBytes] = {};
    Machine() {
        const unsigned long ranges[1][2] = {{reinterpret_cast<unsigned long>(user),
                                             reinterpret_cast<unsigned long>(user) + kUserBytes}};
        standin_confine_user_memory(ranges, 1);
        machine.load(velmora::sim::velmoraModulePath());
        if (sys::mknod("/dev/velmora", S_IFCHR | 0600, VEL_DEVICE_MAJOR << 20) != 0 &&
            errno != EEXIST)
            finding("cannot make /dev/velmora");
        idleReferences = standin_module_refcount("velmora");
        devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
};

Machine &machine() {
    static Machine m;
    return m;
}

// Sends one packet, with a descriptor attached when asked; false once the
// socket takes no more.
bool sendPacket(int fd, const uint8_t *bytes, std::size_t size, int attach) {
    iovec iov{const_cast<uint8_t *>(bytes), size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (attach >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &attach, sizeof(int));
    }
    return sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

// An ioctl's argument below the buffer's size is a place in the buffer.
void placeArgument(uint8_t *packet, std::size_t size, unsigned char *user) {
    using namespace velmora::machine::protocol;
    Message<IoctlRequest> m;
    if (size != sizeof(m))
        return;
    std::memcpy(&m, packet, sizeof(m));
    if (m.header.op != static_cast<uint32_t>(Op::Ioctl) || m.body.arg >= kUserBytes)
        return;
    m.body.arg = reinterpret_cast<uintptr_t>(user) + m.body.arg;
    std::memcpy(packet, &m, sizeof(m));
}

}  // namespace

// Input: a byte of who the client is (bit 0: another user), then packets,
// each a flags byte (bit 0: carries a descriptor), a 16-bit length and that
// many bytes (fewer at the input's end, at most 512).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Machine &m = machine();
    if (size < 1)
        return 0;
    const bool stranger = data[0] & 1;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        finding("no socket pair");
    std::size_t at = 1;
    for (std::size_t n = 0; n < kMaxPackets && at + 3 <= size; ++n) {
        const bool attach = data[at] & 1;
        std::size_t length = data[at + 1] | static_cast<std::size_t>(data[at + 2]) << 8;
        at += 3;
        length = std::min(length, size - at);
        uint8_t packet[512];
        length = std::min(length, sizeof(packet));
        std::memcpy(packet, data + at, length);
        placeArgument(packet, length, m.user);
        if (!sendPacket(sv[0], packet, length, attach ? m.devNull : -1))
            break;
        at += length;
    }
    shutdown(sv[0], SHUT_WR);

    ucred peer{getpid(), stranger ? geteuid() + 1 : geteuid(), getegid()};
    std::thread server([&] {
        velmora::machine::ControlSession session(sv[1], standin_phys_memory_fd(), peer,
                                                 [] { return std::string("{}"); });
        session.serve();
        shutdown(sv[1], SHUT_RDWR);
    });
    // The replies are read only now, so a client that does not read is a case too.
    char sink[4096];
    while (recv(sv[0], sink, sizeof sink, 0) > 0) {
    }
    server.join();
    close(sv[0]);
    close(sv[1]);
    if (standin_module_refcount("velmora") != m.idleReferences)
        finding("a client's file outlived its connection");
    return 0;
}
