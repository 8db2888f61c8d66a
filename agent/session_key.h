// The automap session key: drawn by the driver at each snapshot, kept by the
// agent (key_store.h) and presented at the next one, so that the driver
// hands over the blocks changed in between.
#pragma once

#include <velmora.h>

#include <cstring>

namespace velmora::agent {

struct SessionKey {
    AMSessionKey raw{};

    // The key of a first backup: all zero.
    static SessionKey none() { return {}; }
    bool operator==(const SessionKey &other) const {
        return std::memcmp(raw.key, other.raw.key, sizeof(raw.key)) == 0;
    }
};

}  // namespace velmora::agent
