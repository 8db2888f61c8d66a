// What a torture run has checked: counts, and the failures in words.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace velmora::torture {

class Checks {
  public:
    explicit Checks(bool verbose) : verbose_(verbose) {}
    // Counts one check; a failed one is reported with `what`.
    bool expect(bool ok, const std::string &what);
    uint64_t passed() const { return passed_; }
    uint64_t failed() const { return failed_; }
    std::string firstFailure() const;
    // Seconds from the start of the checks to the first failure.
    double secondsToFirstFailure() const;

  private:
    bool verbose_;
    std::atomic<uint64_t> passed_{0}, failed_{0};
    mutable std::mutex mutex_;
    std::string first_;
    const std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration firstAfter_{};
};

// Whether a command may return this status at all.
bool statusAllowed(unsigned long command, int status);

}  // namespace velmora::torture
