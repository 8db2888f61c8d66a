// The disk export's answers to the host's FUSE requests. Each runs on a FUSE
// thread with the export's state as the file system's private data.
#pragma once

struct fuse_operations;

namespace velmora::machine {

const fuse_operations &exportOperations();

}  // namespace velmora::machine
