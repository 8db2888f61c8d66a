#include "checks.h"

#include <velmora.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

namespace velmora::torture {

bool Checks::expect(bool ok, const std::string &what) {
    if (ok) {
        passed_++;
        return true;
    }
    failed_++;
    std::lock_guard<std::mutex> lock(mutex_);
    if (first_.empty()) {
        first_ = what;
        firstAfter_ = std::chrono::steady_clock::now() - began_;
    }
    if (verbose_ || failed_ <= 20)
        std::fprintf(stderr, "torture: FAILED: %s\n", what.c_str());
    return false;
}

std::string Checks::firstFailure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_;
}

double Checks::secondsToFirstFailure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::chrono::duration<double>(firstAfter_).count();
}

namespace {

bool oneOf(int status, std::initializer_list<int> allowed) {
    for (int a : allowed)
        if (status == a)
            return true;
    return false;
}

}  // namespace

// The statuses each command has in its table; a start may also pass the
// negative error of a thread start through.
bool statusAllowed(unsigned long command, int status) {
    switch (command) {
        case VEL_START_BACKUP:
            return status < 0 ||
                   oneOf(status, {VEL_OK, VEL_ERR_NO_REAL_FUNCTION, VEL_ERR_INVALID,
                                  VEL_ERR_BAD_BLOCK_SIZE, VEL_ERR_NO_MEMORY, VEL_ERR_COPY_FROM_USER,
                                  VEL_ERR_NO_FILE_SYSTEM, VEL_ERR_OTHER_BACKUP, VEL_ERR_NOT_IDLE});
        case VEL_SNAPSHOT:
            return oneOf(status,
                         {VEL_OK, VEL_ERR_INVALID, VEL_ERR_NO_MEMORY, VEL_ERR_COPY_FROM_USER});
        case VEL_GET_STATE:
        case VEL_GET_AUTOMAP_STATE:
            return oneOf(status, {VEL_OK, VEL_ERR_COPY_FROM_USER, VEL_ERR_COPY_TO_USER});
        case VEL_NO_LOAD_FROM_AUTOMAP:
        case VEL_NO_START_AUTOMAP:
        case VEL_SYNC:
            return status == VEL_OK;
        case VEL_LOAD_BLOCK_MAP:
            return oneOf(status, {VEL_OK, VEL_ERR_INVALID, VEL_ERR_WRONG_STATE, VEL_ERR_NO_MEMORY,
                                  VEL_ERR_COPY_FROM_USER});
        case VEL_GET_AUTOMAP:
            return oneOf(status,
                         {VEL_OK, VEL_ERR_INVALID, VEL_ERR_COPY_FROM_USER, VEL_ERR_COPY_TO_USER});
        case VEL_GET_DIRTY_BLOCK:
            return oneOf(status, {VEL_OK, VEL_ERR_INVALID, VEL_ERR_COPY_FROM_USER, -EFAULT});
        case VEL_READ_BLOCKS:
            return oneOf(status,
                         {VEL_OK, VEL_ERR_INVALID, VEL_ERR_COPY_FROM_USER, VEL_ERR_READ_FAILED});
        case VEL_SHUTDOWN:
            return oneOf(status, {VEL_OK, VEL_ERR_OTHER_BACKUP});
        default:
            return false;
    }
}

}  // namespace velmora::torture
