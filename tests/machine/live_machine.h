// The live machine for the tests: velmorad running with an image disk whose
// partition the host mounts as ext4 through the FUSE export and a loop
// device, torn down whatever happens.
#pragma once

#include "host_commands.h"

#include <cstdint>
#include <memory>
#include <string>

namespace velmora::live {

class LiveMachine {
  public:
    // dir: a scratch directory for the image, socket, export, mount point,
    // log and captures. partitionMiB: the size of sda1.
    LiveMachine(const std::string &dir, unsigned partitionMiB);
    ~LiveMachine();
    LiveMachine(const LiveMachine &) = delete;
    LiveMachine &operator=(const LiveMachine &) = delete;

    std::string socket() const { return dir_ + "/control.sock"; }
    std::string mountPoint() const { return dir_ + "/mnt"; }
    std::string image() const { return dir_ + "/disk.img"; }
    std::string log() const { return dir_ + "/kernel.log"; }
    // The device's content at its n-th freeze (from 1), saved by the service.
    std::string capture(unsigned n) const;
    uint64_t partitionOffset() const { return partitionOffset_; }

    // The host lets go (unmount, loop device detached) and the service is
    // told to stop; returns the service's exit code.
    int stop();
    // Only the host's mount and loop device go; the service keeps running.
    void releaseHost();
    Background &service() { return *service_; }

  private:
    std::string dir_;
    std::string loop_;
    uint64_t partitionOffset_ = 0;
    bool mounted_ = false;
    std::unique_ptr<Background> service_;
};

// Runs velmora-agent against the machine, keeping keys in keyDir; returns
// its exit code and output.
CommandResult agentBackup(const LiveMachine &m, const std::string &kind, const std::string &image,
                          const std::string &keyDir);

// What a host command said when it failed, for a test's message.
std::string described(const CommandResult &r);

}  // namespace velmora::live
