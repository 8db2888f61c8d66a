#include "session_key.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace velmora::agent {

SessionKey SessionKey::load(const std::string &path) {
    SessionKey key;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return key;
    in.read(reinterpret_cast<char *>(key.raw.key), sizeof(key.raw.key));
    if (in.gcount() != static_cast<std::streamsize>(sizeof(key.raw.key)))
        throw std::runtime_error("session key file " + path + " is truncated");
    return key;
}

void SessionKey::save(const std::string &path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(raw.key), sizeof(raw.key));
    if (!out)
        throw std::runtime_error("cannot write session key file " + path);
}

bool SessionKey::operator==(const SessionKey &other) const {
    return std::memcmp(raw.key, other.raw.key, sizeof(raw.key)) == 0;
}

}  // namespace velmora::agent
