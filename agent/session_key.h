// The automap session key: drawn by the driver at each snapshot, kept by the
// agent and presented at the next one, so that the driver hands over the
// blocks changed in between.
#pragma once

#include <velmora.h>

#include <string>

namespace velmora::agent {

struct SessionKey {
    AMSessionKey raw{};

    // The key of a first backup: all zero.
    static SessionKey none() { return {}; }
    // Reads a key file written by save(); a missing file gives none().
    static SessionKey load(const std::string &path);
    void save(const std::string &path) const;
    bool operator==(const SessionKey &other) const;
};

}  // namespace velmora::agent
