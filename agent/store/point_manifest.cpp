#include "point_manifest.h"

#include <nlohmann/json.hpp>

#include "chunk_codec.h"

#include <cstdio>
#include <stdexcept>

namespace velmora::agent::store {

namespace {

// In hex, as xxhsum prints it: JSON readers differ on 64-bit integers.
std::string hex64(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// The manifest's own checksum covers its fields as they are written: a bit
// flipped in an unchecked field (a parent above all) would restore another
// chain's bytes without a word.
constexpr const char *kChecksumField = "manifestXxh64";

uint64_t checksumOf(const nlohmann::ordered_json &fields) {
    return hashFile(fields.dump(2));
}

}  // namespace

std::string encodeManifest(const PointManifest &m) {
    nlohmann::ordered_json j;
    j["device"] = m.device;
    j["blockSize"] = m.info.blockSize;
    j["totalBlocks"] = m.info.totalBlocks;
    j["id"] = m.info.id;
    j["parent"] = m.info.parent == 0 ? nlohmann::ordered_json(nullptr)
                                     : nlohmann::ordered_json(m.info.parent);
    j["kind"] = m.info.kind;
    j["time"] = m.info.time;
    j["changedBlocks"] = m.info.changedBlocks;
    j["newChunks"] = m.info.newChunks;
    j["storedBytes"] = m.info.storedBytes;
    if (m.info.mergedFrom != 0)
        j["mergedFrom"] = m.info.mergedFrom;
    j["indexXxh64"] = hex64(m.indexHash);
    j[kChecksumField] = hex64(checksumOf(j));
    return j.dump(2) + "\n";
}

PointManifest decodeManifest(const std::string &json) {
    try {
        nlohmann::ordered_json j = nlohmann::ordered_json::parse(json);
        const std::string checksum = j.at(kChecksumField).get<std::string>();
        j.erase(kChecksumField);
        if (checksum != hex64(checksumOf(j)))
            throw std::runtime_error("the manifest does not match its checksum");
        PointManifest m;
        m.device = j.at("device").get<std::string>();
        m.info.blockSize = j.at("blockSize").get<uint32_t>();
        m.info.totalBlocks = j.at("totalBlocks").get<uint32_t>();
        m.info.id = j.at("id").get<uint32_t>();
        m.info.parent = j.at("parent").is_null() ? 0 : j.at("parent").get<uint32_t>();
        m.info.kind = j.at("kind").get<std::string>();
        m.info.time = j.at("time").get<std::string>();
        m.info.changedBlocks = j.at("changedBlocks").get<uint32_t>();
        m.info.newChunks = j.at("newChunks").get<uint32_t>();
        m.info.storedBytes = j.at("storedBytes").get<uint64_t>();
        m.info.mergedFrom = j.contains("mergedFrom") ? j.at("mergedFrom").get<uint32_t>() : 0;
        const std::string hash = j.at("indexXxh64").get<std::string>();
        std::size_t used = 0;
        m.indexHash = std::stoull(hash, &used, 16);
        if (used != hash.size() || hash.size() != 16)
            throw std::runtime_error("indexXxh64 is not 16 hex digits");
        return m;
    } catch (const nlohmann::json::exception &e) {
        throw std::runtime_error(std::string("malformed manifest: ") + e.what());
    } catch (const std::logic_error &e) {  // std::stoull on a non-number
        throw std::runtime_error(std::string("malformed manifest: ") + e.what());
    }
}

}  // namespace velmora::agent::store
