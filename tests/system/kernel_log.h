// The kernel log as the system tests read it: whole lines with their level,
// and the values of the statistics a finished backup writes.
#pragma once

#include <logged_stats.h>
#include <machine.h>

#include <string>

namespace velmora::test {

inline bool logHasLine(int level, const std::string &text) {
    for (const auto &l : sim::Machine::log())
        if (l.level == level && l.text == text)
            return true;
    return false;
}

inline int logCount(const std::string &text) {
    int n = 0;
    for (const auto &l : sim::Machine::log())
        n += l.text == text;
    return n;
}

using sim::loggedStat;

}  // namespace velmora::test
