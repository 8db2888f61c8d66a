#include "pointer_probes.h"

#include <sys/mman.h>

#include <stdexcept>

namespace velmora::test {

namespace {

void *const kNeverMapped = reinterpret_cast<void *>(16);

}  // namespace

std::map<std::string, int> runPointerProbes(const agent::ControlDevice &dev) {
    std::map<std::string, int> answers;
    unsigned version = 0;
    answers["version"] = dev.command(VEL_GET_VERSION_MAJOR, &version);
    answers["version value"] = static_cast<int>(version);

    void *readOnly = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (readOnly == MAP_FAILED)
        throw std::runtime_error("mmap of a read-only page failed");
    answers["version into read-only memory"] = dev.command(VEL_GET_VERSION_MAJOR, readOnly);
    munmap(readOnly, 4096);

    answers["unreadable state record"] = dev.command(VEL_GET_STATE, kNeverMapped);
    GetState toNowhere{static_cast<State *>(kNeverMapped), sizeof(State), 0};
    answers["state to an unwritable address"] = dev.command(VEL_GET_STATE, &toNowhere);
    LoadBlockMap noMap{static_cast<UserBlockMap *>(kNeverMapped), sizeof(UserBlockMap), 0};
    answers["unreadable block map record"] = dev.command(VEL_LOAD_BLOCK_MAP, &noMap);
    return answers;
}

}  // namespace velmora::test
