#include "driver_statistics.h"

#include <sstream>
#include <vector>

namespace velmora::agent {

namespace {

constexpr const char *kPrefix = "printStats: ";

// The text of a log line after its level ("<6>").
std::string withoutLevel(const std::string &line) {
    if (line.size() >= 3 && line[0] == '<' && line[2] == '>')
        return line.substr(3);
    return line;
}

}  // namespace

DriverStatistics parseDriverStatistics(const std::string &log, unsigned major, unsigned minor) {
    const std::string device = std::string(kPrefix) + "device: major(" + std::to_string(major) +
                               ") minor(" + std::to_string(minor) + ")";
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(withoutLevel(line));
    for (std::size_t i = lines.size(); i-- > 0;) {
        if (lines[i] != device)
            continue;
        DriverStatistics stats;
        for (std::size_t j = i + 1; j < lines.size() && lines[j].rfind(kPrefix, 0) == 0; ++j) {
            const std::string text = lines[j].substr(std::string(kPrefix).size());
            std::size_t colon = text.find(": ");
            if (colon == std::string::npos || text.rfind("device: ", 0) == 0)
                break;
            stats.emplace_back(text.substr(0, colon), text.substr(colon + 2));
        }
        return stats;
    }
    return {};
}

std::string readKernelLog(SystemCalls &system, int maxBytes) {
    std::string text(static_cast<std::size_t>(maxBytes), '\0');
    int n = system.syslog(text.data(), maxBytes);
    if (n < 0)
        return {};
    text.resize(static_cast<std::size_t>(n));
    return text;
}

std::string statistic(const DriverStatistics &stats, const std::string &name) {
    for (const auto &[key, value] : stats)
        if (key == name)
            return value;
    return {};
}

}  // namespace velmora::agent
