#include "backup_fixture.h"

#include <transfer_buffer.h>

#include <cstring>

namespace velmora::test {

void BackupTest::TearDown() {
    workloads.clear();
    LoadedModule::TearDown();
    rig.reset();
}

DiskRig &BackupTest::makeRig(const RigSpec &layout) {
    rig = std::make_unique<DiskRig>(layout);
    return *rig;
}

Workload &BackupTest::startWorkload(unsigned dev, const Workload::Options &options) {
    workloads.push_back(std::make_unique<Workload>(dev, options));
    return *workloads.back();
}

agent::BackupRequest BackupTest::request() const {
    agent::BackupRequest req;
    req.major = rig->major();
    req.minor = rig->minor();
    req.imagePath = dir.file("image");
    return req;
}

agent::SessionKey BackupTest::fullBackup() {
    return agent::runBackup(request()).newKey;
}

Bytes BackupTest::readWholeImage(const agent::BackupSession &session) const {
    const uint32_t blocks = rig->blocks();
    const unsigned bs = rig->blockSize();
    if (session.state().state == VEL_STATE_SNAPSHOT)
        session.loadBlockMap(agent::BlockBitmap(blocks, true));
    agent::TransferBuffer buffer(session.device(),
                                 static_cast<std::size_t>(session.state().mmapSize));
    const uint32_t perRead = static_cast<uint32_t>(buffer.size() / bs);
    Bytes image(static_cast<std::size_t>(blocks) * bs);
    for (uint32_t start = 0; start < blocks; start += perRead) {
        uint32_t n = std::min(perRead, blocks - start);
        session.readBlocks(start, n, buffer);
        std::memcpy(&image[static_cast<std::size_t>(start) * bs], buffer.data(),
                    static_cast<std::size_t>(n) * bs);
    }
    return image;
}

}  // namespace velmora::test
