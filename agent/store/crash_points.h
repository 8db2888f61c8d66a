// Named places in the store's writes where a crash leaves the most to clean
// up: after a pack's frames, before and after each rename. Tests set a hook
// that ends the process at the n-th place and check what the next reader
// finds; without a hook they cost one load.
#pragma once

#include <functional>

namespace velmora::agent::store {

// Replaces the hook (an empty function removes it). Not for use while a
// store is being written on another thread.
void setCrashPointHook(std::function<void(const char *where)> hook);

void crashPoint(const char *where);

}  // namespace velmora::agent::store
