#include "point_selection.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>

namespace velmora::agent::store {

namespace {

std::string formatTime(std::time_t seconds) {
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string describe(const std::vector<PointInfo> &points) {
    if (points.empty())
        return "the store holds no point of this device";
    return "the points are " + std::to_string(points.front().id) + " (" + points.front().time +
           ") to " + std::to_string(points.back().id) + " (" + points.back().time + ")";
}

}  // namespace

std::string defaultStoreDirectory() {
    if (const char *dir = std::getenv("VELMORA_STORE"); dir && *dir)
        return dir;
    if (::geteuid() == 0)
        return "/var/lib/velmora/store";
    if (const char *data = std::getenv("XDG_DATA_HOME"); data && *data)
        return std::string(data) + "/velmora/store";
    const char *home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/share/velmora/store";
}

std::string normalizeTime(const std::string &text) {
    std::string t = text;
    if (t.size() > 10 && t[10] == ' ')
        t[10] = 'T';
    for (const char *form :
         {"%Y-%m-%dT%H:%M:%SZ", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%dT%H:%M", "%Y-%m-%d"}) {
        std::tm tm{};
        const char *end = ::strptime(t.c_str(), form, &tm);
        // Recorded times compare as text, which holds for years of four digits.
        if (end && *end == '\0' && tm.tm_year + 1900 >= 1970 && tm.tm_year + 1900 <= 9999)
            return formatTime(::timegm(&tm));
    }
    throw std::invalid_argument("\"" + text +
                                "\" is not a time: write 2026-12-09, 2026-12-09T06:00 or "
                                "2026-12-09T06:00:00Z (UTC, from 1970)");
}

PointInfo selectPoint(const std::vector<PointInfo> &points, const std::string &spec) {
    if (spec == "latest") {
        if (points.empty())
            throw std::invalid_argument(describe(points));
        return points.back();
    }
    if (!spec.empty() && spec.size() <= 10 &&
        spec.find_first_not_of("0123456789") == std::string::npos) {
        const unsigned long long id = std::stoull(spec);
        for (const PointInfo &p : points)
            if (p.id == id)
                return p;
        throw std::invalid_argument("there is no point " + spec + ": " + describe(points));
    }
    const std::string time = normalizeTime(spec);
    for (auto p = points.rbegin(); p != points.rend(); ++p)
        if (p->time <= time)
            return *p;
    throw std::invalid_argument("no point was taken at or before " + time + ": " +
                                describe(points));
}

std::string timeBefore(const std::string &age, int64_t nowSeconds) {
    char *end = nullptr;
    const long long count = std::strtoll(age.c_str(), &end, 10);
    int64_t unit = 0;
    if (end && end != age.c_str() && end[0] != '\0' && end[1] == '\0' && count >= 0) {
        switch (end[0]) {
            case 'm':
                unit = 60;
                break;
            case 'h':
                unit = 3600;
                break;
            case 'd':
                unit = 86400;
                break;
            case 'w':
                unit = 7 * 86400;
                break;
        }
    }
    if (unit == 0)
        throw std::invalid_argument("\"" + age + "\" is not an age: write 90m, 12h, 7d or 2w");
    // Older than the epoch keeps everything; the text compares as times only
    // with four-digit years.
    const int64_t since = count > nowSeconds / unit ? 0 : nowSeconds - count * unit;
    return formatTime(static_cast<std::time_t>(since));
}

}  // namespace velmora::agent::store
