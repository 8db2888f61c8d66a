// A temporary directory for a store, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace velmora::agent::store {

class StoreDir {
  public:
    StoreDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velmora-store-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~StoreDir() { std::filesystem::remove_all(path_); }
    StoreDir(const StoreDir &) = delete;
    StoreDir &operator=(const StoreDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace velmora::agent::store
