// restore, list, prune and verify --store: the store's chains of points in
// time, in words or as one JSON object.
#include "commands.h"
#include "json_report.h"

#include <device_chain.h>
#include <point_selection.h>
#include <store_corrupt.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>

namespace velmora::cli {

using nlohmann::json;
namespace store = agent::store;

namespace {

json pointJson(const store::PointInfo &p) {
    json j{{"id", p.id},
           {"parent", p.parent ? json(p.parent) : json(nullptr)},
           {"kind", p.kind},
           {"time", p.time},
           {"blockSize", p.blockSize},
           {"blocks", p.totalBlocks},
           {"changedBlocks", p.changedBlocks},
           {"newFrames", p.newChunks},
           {"storedBytes", p.storedBytes}};
    if (p.mergedFrom)
        j["mergedFrom"] = p.mergedFrom;
    return j;
}

std::string kindWords(const store::PointInfo &p) {
    if (p.mergedFrom)
        return "full, merged from " + std::to_string(p.mergedFrom) + "-" + std::to_string(p.id);
    return p.kind;
}

// "point 3" or "points 1-4".
std::string pointRange(const std::vector<uint32_t> &ids) {
    if (ids.size() == 1)
        return "point " + std::to_string(ids[0]);
    return "points " + std::to_string(ids.front()) + "-" + std::to_string(ids.back());
}

json storeErrorJson(const std::exception &e) {
    json j{{"message", e.what()}};
    if (auto *c = dynamic_cast<const store::StoreCorrupt *>(&e)) {
        j["damagedPoint"] = c->point();
        if (c->block() != store::StoreCorrupt::kNoBlock)
            j["damagedBlock"] = c->block();
    }
    return j;
}

int fail(const char *command, const Output &output, const std::exception &e) {
    std::fprintf(stderr, "velmora-agent: %s\n", e.what());
    if (dynamic_cast<const store::StoreCorrupt *>(&e))
        std::fprintf(stderr,
                     "  the store is damaged there: velmora-agent verify --store finds "
                     "every damaged block\n");
    if (output.json)
        printJson({{"command", command}, {"outcome", "failed"}, {"error", storeErrorJson(e)}});
    return 1;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

std::string mib(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

std::string storeDirectory(const StoreOptions &o) {
    return o.store.empty() ? store::defaultStoreDirectory() : o.store;
}

namespace {

// The device named, else every device that has a chain in the store.
std::vector<std::string> chainDevices(const StoreOptions &o) {
    if (!o.device.empty())
        return {agent::deviceRecordName(o.device)};
    std::vector<std::string> devices = store::DeviceChain::devicesIn(storeDirectory(o));
    if (devices.empty())
        throw std::invalid_argument("the store " + storeDirectory(o) + " holds no backups");
    return devices;
}

}  // namespace

std::string chainDevice(const StoreOptions &o) {
    const std::vector<std::string> devices = chainDevices(o);
    if (devices.size() == 1)
        return devices[0];
    std::string names;
    for (const std::string &d : devices)
        names += (names.empty() ? "" : ", ") + d;
    throw std::invalid_argument("the store holds several devices: say --device (one of " + names +
                                ")");
}

agent::ImageCheck checkPoint(const std::string &storeDir, const std::string &device, uint32_t id,
                             uint32_t blockSize) {
    std::string temp = (std::filesystem::temp_directory_path() / "velmora-point-XXXXXX").string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        throw std::runtime_error("cannot make a temporary file for the point's check");
    ::close(fd);
    struct Remove {
        std::string path;
        ~Remove() { std::filesystem::remove(path); }
    } remove{temp};
    store::DeviceChain(storeDir, device, false).restoreToFile(id, temp);
    agent::ImageCheckOptions options;
    options.blockSize = blockSize;
    return agent::checkImage(temp, options);
}

int runRestoreCommand(const RestoreCommand &c) {
    const auto started = std::chrono::steady_clock::now();
    store::PointInfo point;
    std::string device;
    try {
        device = chainDevice(c.chain);
        const store::DeviceChain chain(storeDirectory(c.chain), device, false);
        point = store::selectPoint(chain.points(), c.point);
        chain.restoreToFile(point.id, c.to);
    } catch (const std::exception &e) {
        const int code = fail("restore", c.output, e);
        // A damaged store or a bad request is found before anything is
        // written; a write that failed on a device may have written part.
        std::error_code ec;
        if (dynamic_cast<const store::StoreCorrupt *>(&e) ||
            dynamic_cast<const std::invalid_argument *>(&e))
            std::fprintf(stderr, "  %s was left as it was\n", c.to.c_str());
        else if (std::filesystem::is_block_file(c.to, ec))
            std::fprintf(stderr, "  %s may be partly written: restore again once this is mended\n",
                         c.to.c_str());
        return code;
    }
    const uint64_t bytes = uint64_t{point.blockSize} * point.totalBlocks;
    const double seconds = secondsSince(started);
    if (c.output.json)
        printJson({{"command", "restore"},
                   {"outcome", "ok"},
                   {"device", device},
                   {"point", pointJson(point)},
                   {"to", c.to},
                   {"bytes", bytes},
                   {"seconds", seconds}});
    else if (!c.output.quiet)
        std::printf(
            "velmora-agent: restored point %u of %s (%s, %s) to %s: %s, every block's "
            "checksum checked, in %.3f s\n",
            point.id, device.c_str(), point.time.c_str(), kindWords(point).c_str(), c.to.c_str(),
            mib(bytes).c_str(), seconds);
    return 0;
}

int runListCommand(const ListCommand &c) {
    json devices = json::array();
    try {
        const std::string dir = storeDirectory(c.chain);
        for (const std::string &name : chainDevices(c.chain)) {
            const std::vector<store::PointInfo> points =
                store::DeviceChain(dir, name, false).points();
            json list = json::array();
            uint64_t stored = 0;
            for (const store::PointInfo &p : points) {
                list.push_back(pointJson(p));
                stored += p.storedBytes;
            }
            devices.push_back({{"device", name}, {"storedBytes", stored}, {"points", list}});
            if (c.output.json)
                continue;
            std::printf("%s: %zu points, %s stored\n", name.c_str(), points.size(),
                        mib(stored).c_str());
            std::printf("  %6s  %-20s  %-24s  %10s  %12s\n", "POINT", "TIME", "KIND", "CHANGED",
                        "STORED");
            for (const store::PointInfo &p : points)
                std::printf("  %6u  %-20s  %-24s  %10u  %12s\n", p.id, p.time.c_str(),
                            kindWords(p).c_str(), p.changedBlocks, mib(p.storedBytes).c_str());
        }
        if (c.output.json)
            printJson({{"command", "list"}, {"store", dir}, {"devices", devices}});
    } catch (const std::exception &e) {
        return fail("list", c.output, e);
    }
    return 0;
}

int runPruneCommand(const PruneCommand &c) {
    store::PrunePolicy policy;
    policy.keepLast = c.keep;
    store::PruneResult result;
    std::string device;
    try {
        if (!c.keepWithin.empty())
            policy.keepSince = store::timeBefore(c.keepWithin, std::time(nullptr));
        device = chainDevice(c.chain);
        result = store::DeviceChain(storeDirectory(c.chain), device, false).prune(policy);
    } catch (const std::exception &e) {
        return fail("prune", c.output, e);
    }
    if (c.output.json) {
        printJson({{"command", "prune"},
                   {"outcome", "ok"},
                   {"device", device},
                   {"removed", result.removed},
                   {"mergedInto", result.mergedInto ? json(result.mergedInto) : json(nullptr)},
                   {"storedBytesBefore", result.storedBytesBefore},
                   {"storedBytesAfter", result.storedBytesAfter}});
    } else if (!c.output.quiet) {
        if (result.removed.empty())
            std::printf("velmora-agent: nothing to prune in %s: every point is kept\n",
                        device.c_str());
        else
            std::printf(
                "velmora-agent: pruned %s: %s merged into point %u, now full; stored %s "
                "-> %s\n",
                device.c_str(), pointRange(result.removed).c_str(), result.mergedInto,
                mib(result.storedBytesBefore).c_str(), mib(result.storedBytesAfter).c_str());
    }
    return 0;
}

int runVerifyStoreCommand(const VerifyCommand &c) {
    const StoreOptions &o = *c.store;
    const std::string dir = storeDirectory(o);
    if (!c.point.empty()) {
        agent::ImageCheck check;
        store::PointInfo point;
        std::string device;
        try {
            device = chainDevice(o);
            point = store::selectPoint(store::DeviceChain(dir, device, false).points(), c.point);
            check = checkPoint(dir, device, point.id, point.blockSize);
        } catch (const std::exception &e) {
            return fail("verify", c.output, e);
        }
        if (c.output.json) {
            json j = checkJson(check);
            j["command"] = "verify";
            j["device"] = device;
            j["point"] = pointJson(point);
            printJson(j);
        } else {
            std::printf("velmora-agent: point %u of %s (%s): %s\n", point.id, device.c_str(),
                        point.time.c_str(), check.summary.c_str());
        }
        return check.outcome == agent::CheckOutcome::Passed   ? 0
               : check.outcome == agent::CheckOutcome::Failed ? 1
                                                              : 3;
    }
    json devices = json::array();
    std::size_t problems = 0;
    try {
        for (const std::string &name : chainDevices(o)) {
            const store::DeviceChain chain(dir, name, false);
            const std::vector<std::string> found = chain.verify();
            problems += found.size();
            std::size_t points = 0;
            try {
                points = chain.points().size();
            } catch (const std::exception &) {
                // verify() has named the point that cannot be read
            }
            devices.push_back({{"device", name}, {"points", points}, {"problems", found}});
            if (c.output.json)
                continue;
            std::printf("velmora-agent: %s: %zu points, %s\n", name.c_str(), points,
                        found.empty() ? "every stored block read back and matches its checksum"
                                      : (std::to_string(found.size()) + " problems").c_str());
            for (const std::string &line : found)
                std::printf("  %s\n", line.c_str());
        }
    } catch (const std::exception &e) {
        return fail("verify", c.output, e);
    }
    if (c.output.json)
        printJson({{"command", "verify"},
                   {"store", dir},
                   {"outcome", problems ? "failed" : "passed"},
                   {"devices", devices}});
    return problems ? 1 : 0;
}

}  // namespace velmora::cli
