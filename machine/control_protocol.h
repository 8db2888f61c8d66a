// The control device over the machine's Unix socket: the messages an agent of
// another process and the machine's socket bridge exchange. A SOCK_SEQPACKET
// socket, one message per packet: a Header, then the body its op names, of
// exactly that body's size. Every reply repeats the request's op and carries
// a Reply; the reply to Mmap is followed by its page runs, and the reply to
// Hello carries the physical-memory file as SCM_RIGHTS. Fields marked
// reserved are zero. Both ends run on the same host, so the records are in
// its byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::machine::protocol {

inline constexpr uint32_t kVersion = 1;
// The largest mapping the bridge shows to an agent (its reply lists the
// frames); the driver's transfer buffer is far smaller.
inline constexpr uint64_t kMaxMapBytes = 8u << 20;
inline constexpr uint64_t kPageSize = 4096;

enum class Op : uint32_t { Hello = 1, Open, Close, Ioctl, Mmap, Munmap, Log, Status };

struct Header {
    uint32_t op;
    uint32_t length;  // of the body that follows
};

// The first message of a connection, and only the first.
struct HelloRequest {
    uint32_t version;
    uint32_t reserved;
};

struct OpenRequest {
    int32_t flags;
    uint32_t reserved;
    char path[120];  // NUL-terminated
};

struct CloseRequest {
    int32_t fd;
    uint32_t reserved;
};

struct IoctlRequest {
    int32_t fd;
    uint32_t reserved;
    uint64_t request;
    uint64_t arg;  // passed as it is: a pointer is one of the agent's
};

struct MmapRequest {
    uint64_t length;
    int64_t offset;
    int32_t prot;
    int32_t flags;
    int32_t fd;
    uint32_t reserved;
};

struct MunmapRequest {
    uint64_t addr;
    uint64_t length;
};

// The newest lines of the machine's kernel log, whole, in at most maxBytes
// (and kMaxLogBytes): the reply's result is the text's length, and the text
// follows the Reply.
struct LogRequest {
    uint32_t maxBytes;
    uint32_t reserved;
};
inline constexpr uint32_t kMaxLogBytes = 32u << 10;

// The machine as its service sees it, as a JSON object: the agents
// connected ("agents": pid, uid, gid each) and the files of the control
// device open ("controlFiles"); text after the Reply as for Log.
struct StatusRequest {
    uint32_t maxBytes;
    uint32_t reserved;
};

// result as the system call returns it (a descriptor, a status, an
// address); error is its errno when it failed, else 0.
struct Reply {
    int64_t result;
    int32_t error;
    uint32_t runs;  // page runs that follow (Mmap only)
};

// Bytes [offset, offset + bytes) of a mapping are the physical-memory file's
// bytes from fileOffset; runs cover the mapping in order, page-aligned.
struct PageRun {
    uint64_t offset;
    uint64_t fileOffset;
    uint64_t bytes;
};

inline constexpr std::size_t kMaxRuns = kMaxMapBytes / kPageSize;
inline constexpr std::size_t kMaxReplyBytes =
    sizeof(Header) + sizeof(Reply) +
    (kMaxRuns * sizeof(PageRun) > kMaxLogBytes ? kMaxRuns * sizeof(PageRun) : kMaxLogBytes);

// The body length a request of this op has; 0 for an op that is not one.
constexpr uint32_t requestLength(uint32_t op) {
    switch (static_cast<Op>(op)) {
        case Op::Hello:
            return sizeof(HelloRequest);
        case Op::Open:
            return sizeof(OpenRequest);
        case Op::Close:
            return sizeof(CloseRequest);
        case Op::Ioctl:
            return sizeof(IoctlRequest);
        case Op::Mmap:
            return sizeof(MmapRequest);
        case Op::Munmap:
            return sizeof(MunmapRequest);
        case Op::Log:
            return sizeof(LogRequest);
        case Op::Status:
            return sizeof(StatusRequest);
    }
    return 0;
}

// A request as it goes on the socket.
template <typename Body>
struct Message {
    Header header;
    Body body;
};

static_assert(sizeof(Header) == 8);
static_assert(sizeof(HelloRequest) == 8 && sizeof(OpenRequest) == 128);
static_assert(sizeof(CloseRequest) == 8 && sizeof(IoctlRequest) == 24);
static_assert(sizeof(MmapRequest) == 32 && sizeof(MunmapRequest) == 16);
static_assert(sizeof(LogRequest) == 8 && sizeof(StatusRequest) == 8);
static_assert(sizeof(Reply) == 16 && sizeof(PageRun) == 24);
static_assert(offsetof(Message<IoctlRequest>, body) == sizeof(Header));

}  // namespace velmora::machine::protocol
