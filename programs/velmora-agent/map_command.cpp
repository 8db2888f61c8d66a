// map: the blocks the last backup of a device copied, as a picture and as
// text runs, from the records kept beside its key.
#include "commands.h"
#include "json_report.h"

#include <change_map_picture.h>
#include <key_store.h>

#include <cstdio>

namespace velmora::cli {

int runMapCommand(const MapCommand &c) {
    try {
        const std::string device = recordDeviceName(c.target);
        const std::string dir =
            c.keyDirectory.empty() ? agent::KeyStore::defaultDirectory() : c.keyDirectory;
        agent::KeyStore keys(dir, agent::deviceRecordName(device));
        std::optional<agent::KeyRecord> last = keys.last();
        std::optional<agent::BlockBitmap> blocks = keys.lastBlocks();
        if (!last || !blocks)
            throw std::runtime_error("no backup of " + device + " is recorded in " + dir +
                                     "; run velmora-agent backup first");
        if (blocks->blocks() != last->totalBlocks)
            throw std::runtime_error(keys.blocksPath() + " does not belong to the last backup of " +
                                     device + "; the next backup writes it anew");
        const uint32_t changed = blocks->count();
        const double share = last->totalBlocks ? 100.0 * changed / last->totalBlocks : 0.0;
        if (!c.png.empty())
            agent::writeChangeMapPng(*blocks, last->blockSize, c.png,
                                     device + ", " + last->kind + " backup of " + last->time);
        if (c.runs)
            std::fputs(agent::changeMapRuns(*blocks, last->blockSize).c_str(), stdout);
        if (c.output.json) {
            nlohmann::json j{{"command", "map"},
                             {"outcome", "ok"},
                             {"device", device},
                             {"kind", last->kind},
                             {"time", last->time},
                             {"blockSize", last->blockSize},
                             {"blocks", last->totalBlocks},
                             {"changed", changed},
                             {"share", share / 100.0}};
            if (!c.png.empty())
                j["png"] = c.png;
            printJson(j);
        } else if (!c.runs) {
            std::printf("velmora-agent: %s, %s backup of %s: %u of %u blocks copied (%.1f%%)\n",
                        device.c_str(), last->kind.c_str(), last->time.c_str(), changed,
                        last->totalBlocks, share);
            if (!c.png.empty())
                std::printf("  picture in %s\n", c.png.c_str());
        }
        return 0;
    } catch (const std::exception &e) {
        return reportFailure("map", c.output, e.what());
    }
}

}  // namespace velmora::cli
