#include "store_layout.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace velmora::agent::store {

namespace {

constexpr char kIndexMagic[8] = {'V', 'M', 'S', 'T', 'I', 'D', 'X', '1'};

void putLittle(std::string &out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>(value >> (8 * i) & 0xff));
}

uint64_t getLittle(const char *in, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= static_cast<uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    return value;
}

}  // namespace

std::string pointName(uint32_t id) {
    char name[16];
    std::snprintf(name, sizeof name, "%06u", id);
    return name;
}

std::optional<uint32_t> parsePointName(const std::string &name) {
    if (name.size() < 6 || name.size() > 10)
        return std::nullopt;
    uint64_t id = 0;
    for (char c : name) {
        if (c < '0' || c > '9')
            return std::nullopt;
        id = id * 10 + static_cast<uint64_t>(c - '0');
    }
    if (id == 0 || id > UINT32_MAX || pointName(static_cast<uint32_t>(id)) != name)
        return std::nullopt;
    return static_cast<uint32_t>(id);
}

std::string chainName(uint32_t generation) {
    return "chain-" + pointName(generation);
}

std::optional<uint32_t> parseChainName(const std::string &name) {
    const std::string prefix = "chain-";
    if (!name.starts_with(prefix))
        return std::nullopt;
    return parsePointName(name.substr(prefix.size()));
}

std::string encodeCurrent(uint32_t generation) {
    const std::string name = chainName(generation);
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(hashFile(name)));
    return name + " " + hash + "\n";
}

std::optional<uint32_t> decodeCurrent(const std::string &text) {
    const std::size_t space = text.find(' ');
    if (space == std::string::npos)
        return std::nullopt;
    const std::optional<uint32_t> generation = parseChainName(text.substr(0, space));
    if (!generation || text != encodeCurrent(*generation))
        return std::nullopt;
    return generation;
}

std::string encodeIndex(const std::vector<IndexEntry> &entries) {
    std::string out(kIndexMagic, sizeof kIndexMagic);
    putLittle(out, kIndexRecordSize, 4);
    putLittle(out, entries.size(), 4);
    for (const IndexEntry &e : entries) {
        putLittle(out, e.block, 4);
        putLittle(out, e.packPoint, 4);
        putLittle(out, e.offset, 8);
        putLittle(out, e.length, 4);
        out.append(reinterpret_cast<const char *>(e.hash.data()), e.hash.size());
    }
    return out;
}

std::vector<IndexEntry> decodeIndex(const std::string &bytes) {
    if (bytes.size() < kIndexHeaderSize || std::memcmp(bytes.data(), kIndexMagic, 8) != 0 ||
        getLittle(bytes.data() + 8, 4) != kIndexRecordSize)
        throw std::runtime_error("not an index file");
    const uint64_t count = getLittle(bytes.data() + 12, 4);
    if (bytes.size() != kIndexHeaderSize + count * kIndexRecordSize)
        throw std::runtime_error("index file size does not match its record count");
    std::vector<IndexEntry> entries(count);
    const char *p = bytes.data() + kIndexHeaderSize;
    for (IndexEntry &e : entries) {
        e.block = static_cast<uint32_t>(getLittle(p, 4));
        e.packPoint = static_cast<uint32_t>(getLittle(p + 4, 4));
        e.offset = getLittle(p + 8, 8);
        e.length = static_cast<uint32_t>(getLittle(p + 16, 4));
        std::memcpy(e.hash.data(), p + 20, e.hash.size());
        p += kIndexRecordSize;
    }
    return entries;
}

}  // namespace velmora::agent::store
