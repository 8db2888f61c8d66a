// Backups into one image file: a full backup writes it whole, an
// incremental writes the changed blocks into a copy of it; either replaces
// the file by a rename only once it is whole.
#include "backup_destination.h"

#include <filesystem>
#include <stdexcept>

namespace velmora::agent {

namespace {

class ImageDestination : public BackupDestination {
  public:
    ImageDestination(std::string path, std::string base)
        : path_(std::filesystem::absolute(path).string()),
          base_(base.empty() ? path_ : std::move(base)) {}

    std::string where() const override { return path_; }
    std::optional<ImageIdentity> lastIdentity() const override { return ImageIdentity::of(path_); }

    std::string baseProblem(const std::string &deviceName, uint32_t blockSize,
                            uint32_t totalBlocks) const override {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(base_, ec) ||
            std::filesystem::file_size(base_, ec) != uint64_t{totalBlocks} * blockSize)
            return "the image of the last backup, " + base_ + ", is missing or not of " +
                   deviceName + "'s size";
        return {};
    }

    void open(bool incremental, const std::string &, uint32_t blockSize, uint32_t totalBlocks,
              const std::optional<ImageIdentity> &expectedBase) override {
        if (incremental && expectedBase && !(ImageIdentity::of(base_) == expectedBase))
            throw std::runtime_error("the image " + base_ +
                                     " was replaced while the backup ran; nothing was written");
        image_.emplace(path_, incremental ? base_ : std::string(),
                       uint64_t{totalBlocks} * blockSize);
    }
    void write(uint64_t offset, const char *bytes, std::size_t size) override {
        image_->write(offset, bytes, size);
    }
    ImageIdentity commit() override { return image_->commit(); }

  private:
    std::string path_, base_;
    std::optional<PendingImage> image_;
};

}  // namespace

std::shared_ptr<BackupDestination> imageDestination(const std::string &path,
                                                    const std::string &base) {
    if (path.empty())
        throw std::invalid_argument("a backup needs an image file to write");
    return std::make_shared<ImageDestination>(path, base);
}

}  // namespace velmora::agent
