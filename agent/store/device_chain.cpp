// Listing, restoring and checking a device's published points.
#include "device_chain.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <vector>

#include "durable_file.h"
#include "point_reader.h"
#include "store_layout.h"

namespace velmora::agent::store {

namespace fs = std::filesystem;

namespace {

// The points a restore of `id` reads, newest first, down to a full point.
std::vector<StoredPoint> chainTo(const std::string &pointsDir, const std::string &device,
                                 uint32_t id) {
    std::vector<StoredPoint> chain{StoredPoint::load(pointsDir, id, device)};
    while (chain.back().info().kind != "full") {
        const PointInfo child = chain.back().info();  // a copy: push_back moves the chain
        if (!fs::exists(pointsDir + "/" + pointName(child.parent)))
            throw StoreCorrupt(child.id, StoreCorrupt::kNoBlock,
                               "parent " + pointName(child.parent) + " is missing");
        chain.push_back(StoredPoint::load(pointsDir, child.parent, device));
        const PointInfo &parent = chain.back().info();
        if (parent.blockSize != child.blockSize || parent.totalBlocks != child.totalBlocks)
            throw StoreCorrupt(child.id, StoreCorrupt::kNoBlock,
                               "parent " + pointName(parent.id) + " has another geometry");
    }
    return chain;
}

}  // namespace

std::vector<uint32_t> publishedIds(const std::string &pointsDir) {
    std::vector<uint32_t> ids;
    for (const fs::directory_entry &entry : fs::directory_iterator(pointsDir))
        if (auto id = parsePointName(entry.path().filename().string()); id && entry.is_directory())
            ids.push_back(*id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

DeviceChain::DeviceChain(const std::string &storeDir, const std::string &device, bool create)
    : storeDir_(storeDir), device_(device), deviceDir_(storeDir + "/" + device) {
    if (device.empty() || device == "." || device == ".." || device.find('/') != std::string::npos)
        throw std::invalid_argument("not a device name for a store: \"" + device + "\"");
    const std::string current = deviceDir_ + "/" + kCurrentFile;
    if (fs::exists(current))
        return;
    if (!create)
        throw std::invalid_argument("the store " + storeDir + " holds no backup of " + device);
    const std::string first = deviceDir_ + "/" + chainName(1);
    // Chains without CURRENT are a damaged store, not a new one: starting
    // over would remove them as leftovers.
    std::error_code ec;
    for (const fs::directory_entry &entry : fs::directory_iterator(deviceDir_, ec))
        if (parseChainName(entry.path().filename().string()) &&
            (entry.path() != first || !publishedIds(first).empty()))
            throw StoreCorrupt(0, StoreCorrupt::kNoBlock,
                               current + " is missing while the store holds chains of " + device +
                                   "; nothing is written until it is put back");
    fs::create_directories(first);
    // Directories made here must outlive a crash as the points inside them will.
    syncParentDirectory(first);
    syncParentDirectory(deviceDir_);
    syncParentDirectory(storeDir + "/.");
    try {
        writeFileDurably(current, encodeCurrent(1));
    } catch (const std::runtime_error &) {
        if (!fs::exists(current))  // else another agent made the same chain first
            throw;
    }
}

std::vector<std::string> DeviceChain::devicesIn(const std::string &storeDir) {
    std::vector<std::string> devices;
    std::error_code ec;
    for (const fs::directory_entry &entry : fs::directory_iterator(storeDir, ec))
        if (fs::exists(entry.path() / kCurrentFile))
            devices.push_back(entry.path().filename().string());
    std::sort(devices.begin(), devices.end());
    return devices;
}

std::string DeviceChain::pointsDirectory() const {
    const std::optional<uint32_t> generation =
        decodeCurrent(readWholeFile(deviceDir_ + "/" + kCurrentFile));
    if (!generation)
        throw StoreCorrupt(0, StoreCorrupt::kNoBlock,
                           deviceDir_ + "/" + kCurrentFile + " is damaged: it names no chain");
    return deviceDir_ + "/" + chainName(*generation);
}

StoreLock DeviceChain::writeLock() const {
    return StoreLock(lockPath(kWriteLockFile), StoreLock::Mode::Exclusive,
                     "another agent is writing to the store's chain of " + device_ +
                         " (a backup or a prune); wait for it to end");
}

void DeviceChain::removeLeftovers(const std::string &pointsDir) {
    // A writer killed before its rename leaves a directory no reader looks at.
    for (const fs::directory_entry &entry : fs::directory_iterator(pointsDir))
        if (entry.path().filename().string().ends_with(kBuildingSuffix))
            fs::remove_all(entry.path());
    syncParentDirectory(pointsDir + "/.");
    StoreLock noReaders(lockPath(kReadLockFile));
    if (!noReaders.held())
        return;  // a reader may be inside an old chain: the next writer removes it
    const std::string current = fs::path(pointsDir).filename().string();
    for (const fs::directory_entry &entry : fs::directory_iterator(deviceDir_)) {
        const std::string name = entry.path().filename().string();
        if (name != current && parseChainName(name))
            fs::remove_all(entry.path());
    }
    syncParentDirectory(deviceDir_ + "/.");
}

std::vector<PointInfo> DeviceChain::points() const {
    StoreLock reading(lockPath(kReadLockFile), StoreLock::Mode::Shared, "");
    const std::string pointsDir = pointsDirectory();
    std::vector<PointInfo> points;
    for (uint32_t id : publishedIds(pointsDir))
        points.push_back(readPointInfo(pointsDir, id, device_));
    return points;
}

void DeviceChain::restore(uint32_t id,
                          const std::function<void(uint32_t, const char *)> &sink) const {
    StoreLock reading(lockPath(kReadLockFile), StoreLock::Mode::Shared, "");
    const std::string pointsDir = pointsDirectory();
    if (!fs::is_directory(pointsDir + "/" + pointName(id)))
        throw std::invalid_argument("point " + pointName(id) + " of " + device_ +
                                    " is not in the store");
    const std::vector<StoredPoint> chain = chainTo(pointsDir, device_, id);
    const PointInfo &target = chain.front().info();

    // The newest point in the chain that holds each block.
    std::vector<const IndexEntry *> source(target.totalBlocks, nullptr);
    for (const StoredPoint &point : chain)
        for (const IndexEntry &e : point.entries())
            if (source[e.block] == nullptr)
                source[e.block] = &e;

    // A frame that stands for several blocks (zeros, copies) is read and
    // checked once and kept until its last use, within a bound.
    struct FrameUse {
        uint32_t left = 0;
        std::string bytes;
        BlockHash hash{};  // what bytes were checked against
    };
    std::map<std::pair<uint32_t, uint64_t>, FrameUse> uses;
    for (uint32_t block = 0; block < target.totalBlocks; ++block) {
        if (source[block] == nullptr)
            throw StoreCorrupt(id, block, "no point down to the full one holds this block");
        uses[{source[block]->packPoint, source[block]->offset}].left++;
    }
    constexpr std::size_t kMostKept = 64u << 20;
    std::size_t kept = 0;
    PackReader packs(pointsDir);
    for (uint32_t block = 0; block < target.totalBlocks; ++block) {
        const IndexEntry &e = *source[block];
        auto use = uses.find({e.packPoint, e.offset});
        FrameUse &u = use->second;
        // An entry of another hash naming the same frame is read and checked again.
        if (!u.bytes.empty() && u.hash == e.hash) {
            sink(block, u.bytes.data());
        } else {
            std::string bytes = packs.read(e, target.blockSize);
            sink(block, bytes.data());
            if (u.left > 1 && u.bytes.empty() && kept + bytes.size() <= kMostKept) {
                kept += bytes.size();
                u.bytes = std::move(bytes);
                u.hash = e.hash;
            }
        }
        if (--u.left == 0) {
            kept -= u.bytes.size();
            uses.erase(use);
        }
    }
}

void DeviceChain::restoreToFile(uint32_t id, const std::string &path) const {
    StoreLock reading(lockPath(kReadLockFile), StoreLock::Mode::Shared, "");
    const std::string pointsDir = pointsDirectory();
    if (!fs::is_directory(pointsDir + "/" + pointName(id)))
        throw std::invalid_argument("point " + pointName(id) + " of " + device_ +
                                    " is not in the store");
    const PointInfo info = readPointInfo(pointsDir, id, device_);
    const uint64_t bytes = uint64_t{info.blockSize} * info.totalBlocks;
    // A link names the file or device it points to; anything else that is
    // there (a character device, a pipe) is not replaced by an image.
    std::error_code ec;
    const std::string resolved = fs::exists(path, ec) ? fs::canonical(path).string() : path;
    const fs::file_status status = fs::status(resolved, ec);
    const bool device = fs::is_block_file(status);
    if (fs::exists(status) && !device && !fs::is_regular_file(status))
        throw std::invalid_argument(path + " is neither a regular file nor a block device");
    // A block device is written in place, where a failure midway would leave
    // it neither as it was nor the point: every block is read and checked first.
    if (device)
        restore(id, [](uint32_t, const char *) {});
    std::string target = device ? resolved : resolved + ".XXXXXX";
    int fd = device ? ::open(target.c_str(), O_WRONLY | O_CLOEXEC)
                    : ::mkostemp(target.data(), O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + target + ": " + std::strerror(errno));
    try {
        if (device) {
            const off_t size = ::lseek(fd, 0, SEEK_END);
            if (size < 0 || static_cast<uint64_t>(size) < bytes)
                throw std::runtime_error(path + " holds " + std::to_string(size) +
                                         " bytes, less than the " + std::to_string(bytes) +
                                         " of point " + pointName(id));
        }
        // Blocks are gathered into large writes: one write per block costs
        // more than the restore's reads.
        std::vector<char> pending;
        pending.reserve(std::size_t{1} << 20);
        uint64_t offset = 0;
        auto flush = [&] {
            writeAllAt(fd, pending.data(), pending.size(), offset, target);
            offset += pending.size();
            pending.clear();
        };
        restore(id, [&](uint32_t, const char *block) {
            pending.insert(pending.end(), block, block + info.blockSize);
            if (pending.size() + info.blockSize > pending.capacity())
                flush();
        });
        flush();
        if (::fsync(fd) != 0)
            throw std::runtime_error("cannot sync " + target + ": " + std::strerror(errno));
    } catch (...) {
        ::close(fd);
        if (!device)
            ::unlink(target.c_str());
        throw;
    }
    ::close(fd);
    if (device)
        return;
    if (::rename(target.c_str(), resolved.c_str()) != 0) {
        const int err = errno;
        ::unlink(target.c_str());
        throw std::runtime_error("cannot rename " + target + " to " + resolved + ": " +
                                 std::strerror(err));
    }
    syncParentDirectory(resolved);
}

std::vector<std::string> DeviceChain::verify() const {
    std::vector<std::string> problems;
    std::map<uint32_t, PointInfo> readable;
    StoreLock reading(lockPath(kReadLockFile), StoreLock::Mode::Shared, "");
    std::string pointsDir;
    try {
        pointsDir = pointsDirectory();
    } catch (const std::runtime_error &e) {
        return {e.what()};
    }
    PackReader packs(pointsDir);
    for (uint32_t id : publishedIds(pointsDir)) {
        try {
            const StoredPoint point = StoredPoint::load(pointsDir, id, device_);
            const PointInfo &info = point.info();
            readable[id] = info;
            if (info.kind != "full") {
                auto parent = readable.find(info.parent);
                if (parent == readable.end())
                    problems.push_back("point " + pointName(id) + ": parent " +
                                       pointName(info.parent) + " is missing or unreadable");
                else if (parent->second.blockSize != info.blockSize ||
                         parent->second.totalBlocks != info.totalBlocks)
                    problems.push_back("point " + pointName(id) + ": parent " +
                                       pointName(info.parent) + " has another geometry");
            }
            for (const IndexEntry &e : point.entries()) {
                try {
                    packs.read(e, info.blockSize);
                } catch (const StoreCorrupt &c) {
                    std::string line = c.what();
                    if (c.point() != id)
                        line += " (used by point " + pointName(id) + ")";
                    problems.push_back(line);
                }
            }
        } catch (const StoreCorrupt &c) {
            problems.push_back(c.what());
        }
    }
    return problems;
}

}  // namespace velmora::agent::store
