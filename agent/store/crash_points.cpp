#include "crash_points.h"

#include <utility>

namespace velmora::agent::store {

namespace {

std::function<void(const char *)> &hook() {
    static std::function<void(const char *)> h;
    return h;
}

}  // namespace

void setCrashPointHook(std::function<void(const char *where)> h) {
    hook() = std::move(h);
}

void crashPoint(const char *where) {
    if (hook())
        hook()(where);
}

}  // namespace velmora::agent::store
