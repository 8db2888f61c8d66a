#include "disk_image.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velmora::sim {

namespace {

// Runs a shell command; returns its output (stdout and stderr), throws when
// it fails.
std::string run(const std::string &command) {
    std::string output;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run: " + command);
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        output.append(buf, n);
    int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("failed: " + command + "\n" + output);
    return output;
}

std::string shellQuoted(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

// The value of "key" in one flat JSON object of sfdisk's.
std::string rawField(const std::string &object, const std::string &key) {
    std::size_t at = object.find("\"" + key + "\"");
    if (at == std::string::npos)
        throw std::runtime_error("sfdisk output without " + key + ": " + object);
    at = object.find(':', at) + 1;
    std::size_t end = object.find_first_of(",}", at);
    std::string value = object.substr(at, end == std::string::npos ? end : end - at);
    std::size_t first = value.find_first_not_of(" \t\n");
    std::size_t last = value.find_last_not_of(" \t\n");
    return first == std::string::npos ? "" : value.substr(first, last - first + 1);
}

std::string stringField(const std::string &object, const std::string &key) {
    std::string value = rawField(object, key);
    if (value.size() < 2 || value.front() != '"' || value.back() != '"')
        throw std::runtime_error("sfdisk output: " + key + " is not a string: " + value);
    return value.substr(1, value.size() - 2);
}

}  // namespace

std::vector<PartitionInfo> readPartitionTable(const std::string &path) {
    std::string json = run("sfdisk --json " + shellQuoted(path));
    // One object per partition: {"node": "<image>N", "start": S, "size": L, "type": "T"}.
    std::vector<PartitionInfo> parts;
    for (std::size_t at = json.find("\"node\""); at != std::string::npos;
         at = json.find("\"node\"", at + 1)) {
        std::string object = json.substr(at, json.find('}', at) - at);
        PartitionInfo p;
        std::string node = stringField(object, "node");
        std::size_t digits = node.find_last_not_of("0123456789") + 1;
        p.number = std::stoi(node.substr(digits));
        p.startSector = std::stoull(rawField(object, "start"));
        p.sectors = std::stoull(rawField(object, "size"));
        p.type = stringField(object, "type");
        parts.push_back(p);
    }
    return parts;
}

void makeExtFileSystem(const std::string &path, const std::string &fsType, unsigned blockSize,
                       std::uint64_t offsetBytes, std::uint64_t sizeBytes) {
    run("mke2fs -q -F -t " + fsType + " -b " + std::to_string(blockSize) +
        " -E offset=" + std::to_string(offsetBytes) + " " + shellQuoted(path) + " " +
        std::to_string(sizeBytes / 1024) + "k");
}

std::vector<PartitionInfo> buildPartitionedImage(const std::string &path, std::uint64_t totalMiB,
                                                 const std::vector<PartitionSpec> &parts) {
    {
        std::ofstream image(path, std::ios::binary | std::ios::trunc);
        if (!image)
            throw std::runtime_error("cannot create " + path);
    }
    std::filesystem::resize_file(path, totalMiB << 20);
    std::ostringstream script;
    script << "label: dos\nunit: sectors\n\n";
    bool extended = false;
    for (const auto &p : parts) {
        if (p.logical && !extended) {
            script << "type=5\n";  // the rest of the disk
            extended = true;
        }
        script << "size=" << p.sizeMiB << "MiB, type=83\n";
    }
    std::string scriptPath = path + ".sfdisk";
    std::ofstream(scriptPath) << script.str();
    run("sfdisk --no-reread --no-tell-kernel -q " + shellQuoted(path) + " < " +
        shellQuoted(scriptPath));
    std::filesystem::remove(scriptPath);

    std::vector<PartitionInfo> table = readPartitionTable(path);
    std::size_t layout = 0;
    for (const auto &info : table) {
        if (info.type == "5" || info.type == "f" || info.type == "85")
            continue;
        if (layout >= parts.size())
            break;
        const PartitionSpec &p = parts[layout++];
        if (!p.fsType.empty())
            makeExtFileSystem(path, p.fsType, p.blockSize, info.startSector * 512,
                              info.sectors * 512);
    }
    return table;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string readWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string bytes(in ? static_cast<std::size_t>(in.tellg()) : 0, '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

}  // namespace velmora::sim
