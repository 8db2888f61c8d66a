#include "json_report.h"

#include <backup_state.h>
#include <control_device.h>

#include <cstdio>
#include <cstdlib>

namespace velmora::cli {

using nlohmann::json;

json checkJson(const agent::ImageCheck &c) {
    json j{{"outcome", std::string(agent::checkOutcomeName(c.outcome))},
           {"summary", c.summary},
           {"fileSystem", c.fileSystem},
           {"bytes", c.bytes},
           {"seconds", c.seconds}};
    if (c.fileSystemChecked)
        j["fileSystemCheck"] = {{"exit", c.fsckExit}, {"output", c.fsckOutput}};
    if (c.compared)
        j["comparison"] = {{"referenceBytes", c.referenceBytes},
                           {"differingBlocks", c.differingBlocks},
                           {"firstDifference", c.firstDifference},
                           {"sizesDiffer", c.sizesDiffer}};
    return j;
}

json statisticsJson(const agent::DriverStatistics &stats) {
    json j = json::object();
    for (const auto &[name, value] : stats) {
        char *end = nullptr;
        double number = std::strtod(value.c_str(), &end);
        if (!value.empty() && end && *end == '\0')
            j[name] = value.find('.') == std::string::npos
                          ? json(std::strtoll(value.c_str(), nullptr, 10))
                          : json(number);
        else
            j[name] = value;
    }
    return j;
}

json errorJson(const std::exception &e) {
    json j{{"message", e.what()}};
    if (auto *c = dynamic_cast<const agent::CommandError *>(&e)) {
        j["command"] = c->command();
        j["status"] = c->status();
    } else if (auto *f = dynamic_cast<const agent::BackupFailed *>(&e)) {
        j["backupState"] = f->state();
    }
    return j;
}

void printJson(const json &object) {
    std::printf("%s\n", object.dump(2).c_str());
    std::fflush(stdout);
}

}  // namespace velmora::cli
