// Who may touch a device's chain at once: one writer (a backup's point or a
// prune) holds write.lock; readers hold read.lock shared, so that a chain a
// prune replaced is deleted only when no reader is still inside it.
#pragma once

#include <string>

namespace velmora::agent::store {

class StoreLock {
  public:
    enum class Mode { Shared, Exclusive };

    // Takes the flock(2) lock on path, creating the file. Blocks for a shared
    // lock, which is not taken where the file cannot be written or made (a
    // read-only store has no writer); an exclusive one is tried once. Throws std::runtime_error
    // when the file cannot be opened, or when `busy` is not empty and an exclusive lock is held
    // elsewhere (what() is `busy`).
    StoreLock(const std::string &path, Mode mode, const std::string &busy);
    // An exclusive lock tried once, without throwing when it is held: held() says.
    StoreLock(const std::string &path);
    ~StoreLock();
    StoreLock(StoreLock &&other) noexcept;
    StoreLock &operator=(StoreLock &&) = delete;
    StoreLock(const StoreLock &) = delete;

    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

}  // namespace velmora::agent::store
