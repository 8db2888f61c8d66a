// The image file of a backup, replaced whole or not at all: the new image is
// written beside the old one (a clone of it for an incremental, sharing its
// blocks where the file system can), synced, and renamed over it. At every
// instant either the previous image or the new one is whole on disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmora::agent {

// What tells one image file from another: a copy, a rewrite in place or a
// rename over it changes it.
struct ImageIdentity {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtimeNs = 0;
    bool operator==(const ImageIdentity &) const = default;
    // The identity of the file at path, or none when there is no such file.
    static std::optional<ImageIdentity> of(const std::string &path);
};

class PendingImage {
  public:
    // base: the image the new one starts from (an incremental), or empty for
    // an image written whole. Removes what an interrupted run left beside
    // path. Throws std::runtime_error naming the file that failed.
    PendingImage(const std::string &path, const std::string &base, uint64_t bytes);
    // Without commit() the new image is removed; the old one stays.
    ~PendingImage();
    PendingImage(const PendingImage &) = delete;
    PendingImage &operator=(const PendingImage &) = delete;

    void write(uint64_t offset, const char *data, std::size_t bytes);
    // Syncs the new image, renames it over the old and syncs the directory;
    // returns the identity the image has from now on.
    ImageIdentity commit();

    // The name the image has while it is written.
    static std::string partialPath(const std::string &path) { return path + ".partial"; }

  private:
    std::string path_, partial_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace velmora::agent
