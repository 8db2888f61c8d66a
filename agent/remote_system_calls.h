// The system calls of a running machine, reached through its control socket
// from another process.
#pragma once

#include "system_calls.h"

#include <cstdint>
#include <memory>
#include <string>

namespace velmora::agent {

// Connects to the machine's control socket. Its device nodes are the
// machine's own (mknod fails with EPERM); user pointers passed to ioctl are
// this process's; an mmap of a device shows the driver's very pages, read
// only, at the address the machine chose, and fails with EEXIST when this
// process already uses that address. Calls from several threads take turns.
// Throws SystemError when the machine cannot be reached.
std::shared_ptr<SystemCalls> connectToMachine(const std::string &socketPath);

// The newest whole lines of the machine's kernel log ("<level>text" each), in
// at most maxBytes. Throws SystemError when the machine cannot be reached.
std::string machineKernelLog(const std::string &socketPath, uint32_t maxBytes = 32u << 10);

// The machine as its service sees it, a JSON object: "agents" (pid, uid,
// gid of each connected agent), "controlFiles" (files of the control device
// open) and "moduleLoaded". Throws SystemError when it cannot be reached.
std::string machineStatus(const std::string &socketPath);

}  // namespace velmora::agent
