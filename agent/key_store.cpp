#include "key_store.h"

#include "durable_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>

namespace velmora::agent {

using nlohmann::json;

namespace {

constexpr int kFormat = 1;

std::string hex(const unsigned char *bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

SessionKey keyFromHex(const std::string &text, const std::string &path) {
    SessionKey key;
    if (text.size() != 2 * sizeof(key.raw.key))
        throw std::runtime_error("the key in " + path + " is not a whole key");
    for (std::size_t i = 0; i < sizeof(key.raw.key); ++i)
        key.raw.key[i] = static_cast<unsigned char>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    return key;
}

json identityJson(const ImageIdentity &id) {
    return {{"device", id.device}, {"inode", id.inode}, {"size", id.size}, {"mtimeNs", id.mtimeNs}};
}

ImageIdentity identityFrom(const json &j) {
    return {j.at("device").get<uint64_t>(), j.at("inode").get<uint64_t>(),
            j.at("size").get<uint64_t>(), j.at("mtimeNs").get<int64_t>()};
}

// A JSON header line, then a block map's bytes: one file, so that the two
// are replaced together.
std::string withBlocks(json header, const BlockBitmap &blocks) {
    header["blocks"] = blocks.blocks();
    std::string out = header.dump() + "\n";
    out.append(reinterpret_cast<const char *>(blocks.bytes().data()), blocks.bytes().size());
    return out;
}

json headerOf(const std::string &bytes, const std::string &path, BlockBitmap *blocks) {
    std::size_t eol = bytes.find('\n');
    if (eol == std::string::npos)
        throw std::runtime_error(path + " is damaged: no header");
    json header = json::parse(bytes.substr(0, eol));
    BlockBitmap map(header.at("blocks").get<uint32_t>());
    if (bytes.size() - eol - 1 != map.bytes().size())
        throw std::runtime_error(path + " is damaged: its block map has the wrong length");
    std::memcpy(map.data(), bytes.data() + eol + 1, map.bytes().size());
    *blocks = std::move(map);
    return header;
}

template <typename Read>
auto readRecord(const std::string &path, Read read) -> std::optional<decltype(read(""))> {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return std::nullopt;
    try {
        return read(readWholeFile(path));
    } catch (const json::exception &e) {
        throw std::runtime_error(path + " is damaged (" + e.what() +
                                 "); remove it to start again with a full backup");
    }
}

}  // namespace

std::string utcNow() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string KeyStore::defaultDirectory() {
    if (const char *dir = std::getenv("VELMORA_KEY_DIR"); dir && *dir)
        return dir;
    if (::geteuid() == 0)
        return "/var/lib/velmora/keys";
    if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::string(state) + "/velmora/keys";
    const char *home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/state/velmora/keys";
}

KeyStore::KeyStore(const std::string &dir, const std::string &device) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir))
        throw std::runtime_error("cannot make the key directory " + dir + ": " + ec.message());
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
    base_ = (std::filesystem::absolute(dir) / device).string();
}

KeyStore::~KeyStore() {
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

std::optional<KeyRecord> KeyStore::last() const {
    const std::string path = keyPath();
    return readRecord(path, [&](const std::string &bytes) {
        json j = json::parse(bytes);
        if (j.value("format", 0) != kFormat)
            throw std::runtime_error(path + " was written by another version of the agent");
        KeyRecord r;
        r.device = j.at("device").get<std::string>();
        r.major = j.at("major").get<unsigned>();
        r.minor = j.at("minor").get<unsigned>();
        r.blockSize = j.at("blockSize").get<uint32_t>();
        r.totalBlocks = j.at("totalBlocks").get<uint32_t>();
        r.kind = j.at("kind").get<std::string>();
        r.time = j.at("time").get<std::string>();
        r.image = j.at("image").get<std::string>();
        r.imageIdentity = identityFrom(j.at("imageIdentity"));
        r.key = keyFromHex(j.at("key").get<std::string>(), path);
        return r;
    });
}

std::optional<BlockBitmap> KeyStore::lastBlocks() const {
    const std::string path = blocksPath();
    return readRecord(path, [&](const std::string &bytes) {
        BlockBitmap blocks(0);
        headerOf(bytes, path, &blocks);
        return blocks;
    });
}

std::optional<PendingKey> KeyStore::pending() const {
    const std::string path = pendingPath();
    return readRecord(path, [&](const std::string &bytes) {
        PendingKey p;
        json j = headerOf(bytes, path, &p.blocks);
        p.key = keyFromHex(j.at("key").get<std::string>(), path);
        p.base = identityFrom(j.at("base"));
        return p;
    });
}

std::optional<EarlierRun> KeyStore::beginRun(const std::string &kind, const std::string &image) {
    const std::string lockPath = base_ + ".lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0)
        throw std::runtime_error("cannot open " + lockPath + ": " + std::strerror(errno));
    std::optional<EarlierRun> earlier;
    auto record = [&] {
        return readRecord(runPath(), [](const std::string &bytes) { return json::parse(bytes); });
    };
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        std::optional<json> run = record();
        throw std::runtime_error(
            "another velmora-agent" +
            (run ? " (pid " + std::to_string(run->value("pid", 0L)) + ")" : std::string()) +
            " is backing up this device now; wait for it to end");
    }
    if (std::optional<json> run = record()) {
        EarlierRun e;
        e.killed = run->value("state", "") == "running";
        e.started = run->value("started", "");
        e.kind = run->value("kind", "");
        e.image = run->value("image", "");
        e.reason = run->value("reason", "");
        e.pid = run->value("pid", 0L);
        earlier = e;
    }
    runRecord_ = json{
        {"state", "running"},
        {"pid", static_cast<long>(::getpid())},
        {"started", utcNow()},
        {"kind", kind},
        {"image",
         image}}.dump();
    writeFileDurably(runPath(), runRecord_);
    return earlier;
}

void KeyStore::savePending(const PendingKey &pending) {
    json header{{"format", kFormat},
                {"key", hex(pending.key.raw.key, sizeof(pending.key.raw.key))},
                {"base", identityJson(pending.base)}};
    writeFileDurably(pendingPath(), withBlocks(header, pending.blocks));
}

void KeyStore::saveBackup(const KeyRecord &r, const BlockBitmap &blocks) {
    json j{{"format", kFormat},
           {"device", r.device},
           {"major", r.major},
           {"minor", r.minor},
           {"blockSize", r.blockSize},
           {"totalBlocks", r.totalBlocks},
           {"kind", r.kind},
           {"time", r.time},
           {"image", r.image},
           {"imageIdentity", identityJson(r.imageIdentity)},
           {"key", hex(r.key.raw.key, sizeof(r.key.raw.key))}};
    // The map first: a map newer than its key is harmless, the reverse would
    // picture the wrong backup.
    writeFileDurably(blocksPath(), withBlocks({{"format", kFormat}}, blocks));
    writeFileDurably(keyPath(), j.dump(2) + "\n");
    std::error_code ec;
    std::filesystem::remove(pendingPath(), ec);
    std::filesystem::remove(runPath(), ec);
    syncParentDirectory(keyPath());
}

void KeyStore::failRun(const std::string &reason) {
    if (runRecord_.empty())
        return;
    json run = json::parse(runRecord_);
    run["state"] = "failed";
    run["reason"] = reason;
    writeFileDurably(runPath(), run.dump());
}

}  // namespace velmora::agent
