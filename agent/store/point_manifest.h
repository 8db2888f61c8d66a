// manifest.json: what a point is, and the hash of its index so that a damaged
// index is refused before any of its entries is followed.
#pragma once

#include <cstdint>
#include <string>

#include "point_info.h"

namespace velmora::agent::store {

struct PointManifest {
    std::string device;
    PointInfo info;
    uint64_t indexHash = 0;  // XXH64 of the index file
};

std::string encodeManifest(const PointManifest &manifest);
// Throws std::runtime_error for malformed JSON or a missing or mistyped field.
PointManifest decodeManifest(const std::string &json);

}  // namespace velmora::agent::store
