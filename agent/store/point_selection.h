// Naming points as a person does: by number, "latest", or a time; the time
// a prune keeps from, written as an age; and where the store is by default.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "point_info.h"

namespace velmora::agent::store {

// $VELMORA_STORE, else /var/lib/velmora/store for root, else
// $XDG_DATA_HOME/velmora/store (~/.local/share/velmora/store).
std::string defaultStoreDirectory();

// A time as points record it ("2026-12-09T06:00:00Z", UTC) from
// "2026-12-09", "2026-12-09T06:00", "2026-12-09 06:00:00" or the recorded
// form. Throws std::invalid_argument for anything else.
std::string normalizeTime(const std::string &text);

// The point spec names among points (oldest first): a number is an id,
// "latest" the newest, a time the newest point taken at or before it.
// Throws std::invalid_argument saying which points there are when none fits.
PointInfo selectPoint(const std::vector<PointInfo> &points, const std::string &spec);

// now minus an age ("90m", "12h", "7d", "2w"), as a recorded time. Throws
// std::invalid_argument for another form.
std::string timeBefore(const std::string &age, int64_t nowSeconds);

}  // namespace velmora::agent::store
