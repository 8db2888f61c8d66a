// The control device for agents in other processes: a server in this
// process (the stand-in, the module, a disk with writers on it) and agents
// that are processes of their own, reaching it through the socket only.
#include "client_process.h"
#include "pointer_probes.h"

#include <backup_fixture.h>
#include <control_protocol.h>
#include <control_server.h>
#include <kernel_log.h>
#include <remote_system_calls.h>
#include <transfer_buffer.h>

#include <standin/syscalls.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

namespace velmora::test {
namespace {

using namespace machine::protocol;

std::string num(unsigned long n) {
    return std::to_string(n);
}

class ControlSocket : public BackupTest {
  protected:
    void SetUp() override {
        BackupTest::SetUp();
        if (sys::mknod("/dev/velmora", S_IFCHR | 0600, VEL_DEVICE_MAJOR << 20) != 0) {
            ASSERT_EQ(errno, EEXIST);
        }
        socketPath = dir.file("control.sock");
        server = std::make_unique<machine::ControlServer>(socketPath);
    }
    void TearDown() override {
        if (server)
            server->stop();
        BackupTest::TearDown();
    }
    // Agents that went are released by their serving threads, a moment later.
    bool clientsBecome(std::size_t n) const {
        for (int i = 0; i < 1000 && server->clients() != n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return server->clients() == n;
    }
    std::vector<std::string> agentArgs(const char *mode) const {
        return {mode, socketPath, num(rig->major()), num(rig->minor())};
    }

    // A backup by another process of a disk that writers overtake
    // meanwhile, and its end: the image must be the snapshot.
    struct Backup {
        DiskRig *rig;
        Workload *writers;
        std::string image;
        std::unique_ptr<ClientProcess> agent;
    };
    Backup startBackupUnderWriters() {
        DiskRig &r = makeRig({"ext4", 4096, 12, 4});
        Workload &w = startWorkload(r.part(), {.writers = 4, .firstBlock = 16, .nrBlocks = 400});
        w.waitMore(100);
        EXPECT_EQ(standin_capture_arm(r.part()), 0);
        const std::string image = dir.file("image");
        std::vector<std::string> args = agentArgs("backup");
        args.insert(args.end(), {image, "300"});  // writers overtake the reads meanwhile
        return {&r, &w, image, std::make_unique<ClientProcess>(args)};
    }
    void expectExactImage(Backup &b) {
        const std::string blocks = num(b.rig->blocks());
        EXPECT_EQ(b.agent->readLine(), "copied " + blocks + " of " + blocks);
        EXPECT_EQ(b.agent->wait(), 0);
        EXPECT_EQ(b.writers->stop(), 0);
        unsigned long epoch = 0;
        ASSERT_EQ(standin_capture_taken(b.rig->part(), &epoch), 1);
        EXPECT_EQ(differences(readFile(b.image), b.rig->capture(), b.rig->blockSize()), "");
    }

    std::unique_ptr<machine::ControlServer> server;
    std::string socketPath;
};

TEST_F(ControlSocket, BackupByAnotherProcessIsTheSnapshot) {
    Backup b = startBackupUnderWriters();
    expectExactImage(b);
    EXPECT_GT(std::stoi(loggedStat("total cached blocks")), 0);
}

TEST_F(ControlSocket, KilledAgentIsAProcessThatExited) {
    DiskRig &r = makeRig({});
    Workload &w = startWorkload(r.part(), {.writers = 2, .nrBlocks = 200});
    const int idleRefs = standin_module_refcount("velmora");
    {
        ClientProcess holder(agentArgs("hold"));
        ASSERT_EQ(holder.readLine(), "holding");
        EXPECT_GT(standin_module_refcount("velmora"), idleRefs);
        holder.kill();
        EXPECT_EQ(holder.wait(), 128 + SIGKILL);
    }
    ASSERT_TRUE(clientsBecome(0));
    EXPECT_EQ(standin_module_refcount("velmora"), idleRefs) << "its file is released";

    ASSERT_EQ(standin_capture_arm(r.part()), 0);
    const std::string image = dir.file("image");
    std::vector<std::string> args = agentArgs("backup");
    args.insert(args.end(), {image, "50"});
    ClientProcess next(args);
    EXPECT_EQ(next.wait(), 0) << next.output();
    EXPECT_EQ(w.stop(), 0);
    EXPECT_EQ(differences(readFile(image), r.capture(), r.blockSize()), "");
}

TEST_F(ControlSocket, TwoAgentsEachWithTheirOwnFile) {
    makeRig({});
    ClientProcess first(agentArgs("hold"));
    ASSERT_EQ(first.readLine(), "holding");
    ClientProcess second(agentArgs("start"));
    EXPECT_EQ(second.readLine(), "start " + num(VEL_ERR_OTHER_BACKUP));
    EXPECT_EQ(second.wait(), 0);
    try {
        agent::BackupSession local;
        local.start(rig->major(), rig->minor(), 1024, 1024);
        ADD_FAILURE() << "a start in-process beside the agent's backup";
    } catch (const agent::CommandError &e) {
        EXPECT_EQ(e.status(), VEL_ERR_OTHER_BACKUP) << "the same answer in-process";
    }

    first.closeInput();
    EXPECT_EQ(first.wait(), 0);
    ASSERT_TRUE(clientsBecome(0));
    ClientProcess third(agentArgs("start"));
    EXPECT_EQ(third.readLine(), "start 0");
}

TEST_F(ControlSocket, BadPointersAnswerAsInProcess) {
    ClientProcess remote({"probes", socketPath});
    std::map<std::string, int> answers;
    for (std::string line = remote.readLine(); !line.empty(); line = remote.readLine())
        answers[line.substr(0, line.find('='))] = std::stoi(line.substr(line.find('=') + 1));
    EXPECT_EQ(remote.wait(), 0);

    const auto inProcess = runPointerProbes(agent::ControlDevice());
    EXPECT_EQ(answers, inProcess);
    EXPECT_EQ(inProcess.at("version value"), VEL_VERSION_MAJOR);
    EXPECT_EQ(inProcess.at("version into read-only memory"), VEL_ERR_COPY_TO_USER);
    EXPECT_EQ(inProcess.at("unreadable state record"), VEL_ERR_COPY_FROM_USER);
    EXPECT_EQ(inProcess.at("state to an unwritable address"), VEL_ERR_COPY_TO_USER);
    EXPECT_EQ(inProcess.at("unreadable block map record"), VEL_ERR_COPY_FROM_USER);
}

// A connection of this process that speaks the protocol by hand.
class RawConnection {
  public:
    explicit RawConnection(const std::string &path) {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
            throw std::runtime_error("connect failed");
    }
    ~RawConnection() { close(fd_); }
    void send(const void *packet, std::size_t size) const {
        ASSERT_EQ(::send(fd_, packet, size, MSG_NOSIGNAL), static_cast<ssize_t>(size));
    }
    template <typename Body>
    Reply request(Op op, const Body &body) const {
        Message<Body> m{{static_cast<uint32_t>(op), sizeof(Body)}, body};
        send(&m, sizeof(m));
        Message<Reply> reply{};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        iovec iov{&reply, sizeof(reply)};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        if (recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC) <= 0)
            return {-1, ECONNRESET, 0};
        if (cmsghdr *c = CMSG_FIRSTHDR(&msg)) {  // the memory file, at the greeting
            int fd;
            std::memcpy(&fd, CMSG_DATA(c), sizeof(fd));
            close(fd);
        }
        return reply.body;
    }
    bool endedByServer() const {
        char byte;
        return recv(fd_, &byte, 1, 0) == 0;
    }
    // A send that may find the connection gone, and never waits.
    bool trySend(const void *packet, std::size_t size) const {
        return ::send(fd_, packet, size, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(size);
    }

  private:
    int fd_ = -1;
};

TEST_F(ControlSocket, MessagesAreCheckedPerConnection) {
    const int idleRefs = standin_module_refcount("velmora");
    RawConnection a(socketPath), b(socketPath), early(socketPath);
    ASSERT_EQ(a.request(Op::Hello, HelloRequest{kVersion, 0}).result, 0);
    ASSERT_EQ(b.request(Op::Hello, HelloRequest{kVersion, 0}).result, 0);
    Reply opened = a.request(Op::Open, OpenRequest{O_RDWR, 0, "/dev/velmora"});
    ASSERT_EQ(opened.error, 0);
    unsigned version = 0;
    const IoctlRequest getVersion{static_cast<int32_t>(opened.result), 0, VEL_GET_VERSION_MAJOR,
                                  reinterpret_cast<uintptr_t>(&version)};

    EXPECT_EQ(b.request(Op::Ioctl, getVersion).error, EBADF) << "a's file is not b's";
    EXPECT_EQ(b.request(Op::Close, CloseRequest{getVersion.fd, 0}).error, EBADF);
    const Header shortIoctl{static_cast<uint32_t>(Op::Ioctl), sizeof(IoctlRequest) - 8};
    b.send(&shortIoctl, sizeof(shortIoctl));
    EXPECT_TRUE(b.endedByServer());
    EXPECT_EQ(early.request(Op::Open, OpenRequest{O_RDWR, 0, "/dev/velmora"}).error, ECONNRESET)
        << "a request before the greeting ends the connection";

    Reply r = a.request(Op::Ioctl, getVersion);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(version, unsigned{VEL_VERSION_MAJOR});
    EXPECT_TRUE(clientsBecome(1));

    // Stopping the server ends a's connection, and with it a's file.
    EXPECT_GT(standin_module_refcount("velmora"), idleRefs);
    server->stop();
    EXPECT_TRUE(a.endedByServer());
    EXPECT_EQ(server->clients(), 0u);
    EXPECT_EQ(standin_module_refcount("velmora"), idleRefs);
}

// The machine's mapping is at its address in this very process too: an
// agent here cannot put its view there, and says so.
TEST_F(ControlSocket, ViewAtAnAddressTakenIsRefused) {
    makeRig({});
    agent::BackupSession s("/dev/velmora", agent::connectToMachine(socketPath));
    s.start(rig->major(), rig->minor(), rig->blocks(), 1024);
    s.snapshot(agent::SessionKey::none());
    // The machine gives its mapping back each time: the driver's two areas
    // would be taken by the second attempt otherwise.
    for (int attempt = 0; attempt < 3; ++attempt) {
        try {
            agent::TransferBuffer buffer(s.device(), static_cast<std::size_t>(s.state().mmapSize));
            ADD_FAILURE() << "a view over the machine's own mapping";
        } catch (const agent::SystemError &e) {
            EXPECT_EQ(e.error(), EEXIST);
            EXPECT_NE(std::string(e.what()).find("already uses"), std::string::npos) << e.what();
        }
    }
}

// Two hundred clients at once while another process backs up a device under
// writers, one in five of each kind: agents that do their work, garbage,
// a short header, commands before the greeting, and clients that flood
// requests and never read. Each costs only its own connection: the backup's
// image is the snapshot, every file is released, and a flood of connections
// beyond the limit is turned away while the service serves on.
TEST_F(ControlSocket, TwoHundredClientsSomeHostileWhileABackupRuns) {
    const int idleRefs = standin_module_refcount("velmora");
    Backup b = startBackupUnderWriters();
    std::vector<std::thread> clients;
    for (int i = 0; i < 200; ++i)
        clients.emplace_back([this, i] {
            RawConnection c(socketPath);
            const Message<HelloRequest> hello{{static_cast<uint32_t>(Op::Hello), 8}, {kVersion, 0}};
            switch (i % 5) {
                case 0: {  // an agent that does its work
                    EXPECT_EQ(c.request(Op::Hello, HelloRequest{kVersion, 0}).result, 0);
                    Reply f = c.request(Op::Open, OpenRequest{O_RDWR, 0, "/dev/velmora"});
                    EXPECT_EQ(f.error, 0);
                    unsigned version = 0;
                    Reply v =
                        c.request(Op::Ioctl, IoctlRequest{static_cast<int32_t>(f.result), 0,
                                                          VEL_GET_VERSION_MAJOR,
                                                          reinterpret_cast<uintptr_t>(&version)});
                    EXPECT_EQ(v.result, 0);
                    EXPECT_EQ(version, unsigned{VEL_VERSION_MAJOR});
                    if (i % 2)  // half of them leave with the file open
                        c.request(Op::Close, CloseRequest{static_cast<int32_t>(f.result), 0});
                    break;
                }
                case 1: {  // garbage
                    unsigned char junk[200];
                    for (std::size_t k = 0; k < sizeof(junk); ++k)
                        junk[k] = static_cast<unsigned char>(k * 37 + i);
                    c.trySend(junk, sizeof(junk));
                    EXPECT_TRUE(c.endedByServer());
                    break;
                }
                case 2: {  // a header that promises more than it brings
                    c.trySend(&hello, sizeof(hello));
                    const Header cut{static_cast<uint32_t>(Op::Open), sizeof(OpenRequest)};
                    c.trySend(&cut, sizeof(cut));
                    break;
                }
                case 3:  // a command before the greeting
                    EXPECT_EQ(c.request(Op::Open, OpenRequest{O_RDWR, 0, "/dev/velmora"}).error,
                              ECONNRESET);
                    break;
                default: {  // a flood of requests, no reply read
                    c.trySend(&hello, sizeof(hello));
                    const Message<LogRequest> log{{static_cast<uint32_t>(Op::Log), 8}, {4096, 0}};
                    for (int k = 0; k < 2000 && c.trySend(&log, sizeof(log)); ++k) {
                    }
                    break;
                }
            }
        });
    for (std::thread &t : clients)
        t.join();

    expectExactImage(b);
    EXPECT_TRUE(clientsBecome(0));
    EXPECT_EQ(standin_module_refcount("velmora"), idleRefs);

    // More connections than the service takes: the excess is ended, the rest served.
    std::vector<std::unique_ptr<RawConnection>> flood;
    for (std::size_t k = 0; k < machine::ControlServer::kMaxAgents + 20; ++k)
        flood.push_back(std::make_unique<RawConnection>(socketPath));
    EXPECT_TRUE(clientsBecome(machine::ControlServer::kMaxAgents));
    EXPECT_TRUE(flood.back()->endedByServer());
    flood.clear();
    EXPECT_TRUE(clientsBecome(0));
    RawConnection after(socketPath);
    EXPECT_EQ(after.request(Op::Hello, HelloRequest{kVersion, 0}).result, 0);
}

}  // namespace
}  // namespace velmora::test
