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

DeviceChain::DeviceChain(const std::string &storeDir, const std::string &device)
    : device_(device), pointsDir_(storeDir + "/" + device + "/points") {
    if (device.empty() || device == "." || device == ".." || device.find('/') != std::string::npos)
        throw std::invalid_argument("not a device name for a store: \"" + device + "\"");
    if (fs::create_directories(pointsDir_)) {
        // Directories made here must outlive a crash as the points inside them will.
        syncParentDirectory(pointsDir_);
        syncParentDirectory(storeDir + "/" + device);
        syncParentDirectory(storeDir);
    }
}

std::vector<uint32_t> DeviceChain::publishedIds() const {
    std::vector<uint32_t> ids;
    for (const fs::directory_entry &entry : fs::directory_iterator(pointsDir_))
        if (auto id = parsePointName(entry.path().filename().string()); id && entry.is_directory())
            ids.push_back(*id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<PointInfo> DeviceChain::points() const {
    std::vector<PointInfo> points;
    for (uint32_t id : publishedIds())
        points.push_back(readPointInfo(pointsDir_, id, device_));
    return points;
}

void DeviceChain::restore(uint32_t id,
                          const std::function<void(uint32_t, const char *)> &sink) const {
    if (!fs::is_directory(pointsDir_ + "/" + pointName(id)))
        throw std::invalid_argument("point " + pointName(id) + " is not published");
    const std::vector<StoredPoint> chain = chainTo(pointsDir_, device_, id);
    const PointInfo &target = chain.front().info();

    // The newest point in the chain that holds each block.
    std::vector<const IndexEntry *> source(target.totalBlocks, nullptr);
    for (const StoredPoint &point : chain)
        for (const IndexEntry &e : point.entries())
            if (source[e.block] == nullptr)
                source[e.block] = &e;

    PackReader packs(pointsDir_);
    for (uint32_t block = 0; block < target.totalBlocks; ++block) {
        if (source[block] == nullptr)
            throw StoreCorrupt(id, block, "no point down to the full one holds this block");
        const std::string bytes = packs.read(*source[block], target.blockSize);
        sink(block, bytes.data());
    }
}

void DeviceChain::restoreToFile(uint32_t id, const std::string &path) const {
    if (!fs::is_directory(pointsDir_ + "/" + pointName(id)))
        throw std::invalid_argument("point " + pointName(id) + " is not published");
    const std::size_t size = readPointInfo(pointsDir_, id, device_).blockSize;
    const std::string temp = path + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot create " + temp + ": " + std::strerror(errno));
    try {
        uint64_t offset = 0;
        restore(id, [&](uint32_t, const char *bytes) {
            std::size_t done = 0;
            while (done < size) {
                ssize_t n =
                    ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    throw std::runtime_error("cannot write " + temp + ": " +
                                             std::strerror(n < 0 ? errno : EIO));
                done += static_cast<std::size_t>(n);
            }
            offset += size;
        });
        if (::fsync(fd) != 0)
            throw std::runtime_error("cannot sync " + temp + ": " + std::strerror(errno));
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw std::runtime_error("cannot rename " + temp + " to " + path + ": " +
                                 std::strerror(err));
    }
    syncParentDirectory(path);
}

std::vector<std::string> DeviceChain::verify() const {
    std::vector<std::string> problems;
    std::map<uint32_t, PointInfo> readable;
    PackReader packs(pointsDir_);
    for (uint32_t id : publishedIds()) {
        try {
            const StoredPoint point = StoredPoint::load(pointsDir_, id, device_);
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
