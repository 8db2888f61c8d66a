// Files that a crash leaves either as they were or whole: written beside
// their place, synced, renamed over it, and the directory synced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::agent {

// Replaces path with bytes. Throws std::runtime_error naming the path.
void writeFileDurably(const std::string &path, const std::string &bytes);

// Syncs the directory that holds path, so that a rename in it is durable.
void syncParentDirectory(const std::string &path);

// Writes all of data at offset of fd, the file at path, going on after
// short writes and signals. Throws std::runtime_error naming the path.
void writeAllAt(int fd, const char *data, std::size_t size, uint64_t offset,
                const std::string &path);

// The whole file, or throws std::runtime_error naming the path.
std::string readWholeFile(const std::string &path);

}  // namespace velmora::agent
