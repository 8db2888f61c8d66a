// verify: an image's check, in words or JSON.
#include "commands.h"
#include "json_report.h"

#include <image_check.h>

#include <cstdio>

namespace velmora::cli {

int runVerifyCommand(const VerifyCommand &c) {
    agent::ImageCheck check;
    try {
        agent::ImageCheckOptions options;
        options.against = c.against;
        options.blockSize = c.blockSize;
        options.fileSystemCheck = c.fileSystemCheck;
        check = agent::checkImage(c.image, options);
    } catch (const std::exception &e) {
        return reportFailure("verify", c.output, e.what());
    }
    if (c.output.json) {
        nlohmann::json j = checkJson(check);
        j["command"] = "verify";
        j["image"] = c.image;
        if (!c.against.empty())
            j["against"] = c.against;
        printJson(j);
    } else {
        std::printf("velmora-agent: %s: %s\n", c.image.c_str(), check.summary.c_str());
        if (check.outcome == agent::CheckOutcome::Failed && !check.fsckOutput.empty() &&
            check.fsckExit != 0)
            std::printf("%s", check.fsckOutput.c_str());
    }
    switch (check.outcome) {
        case agent::CheckOutcome::Passed:
            return 0;
        case agent::CheckOutcome::Failed:
            return 1;
        default:
            return 3;
    }
}

}  // namespace velmora::cli
