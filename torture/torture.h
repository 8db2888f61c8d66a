// The torture run: agents on several control files issue random but
// valid-looking command sequences while writers stamp sectors on three
// devices, and now and then the module is unloaded and loaded again. Every
// step is checked against what the driver promises.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::torture {

struct Config {
    uint64_t seed = 1;
    double seconds = 10;
    int agents = 3;
    // Schedule fuzzing: points in a thousand that act, and the longest sleep.
    unsigned fuzzPermille = 20;
    uint64_t fuzzMaxSleepNs = 200000;
    // Seconds between reloads of the module (everything closed first).
    double reloadEvery = 4;
    // A command that takes longer than this counts as a stuck task.
    double stuckSeconds = 60;
    bool verbose = false;
};

struct Result {
    uint64_t passed = 0;
    uint64_t failed = 0;
    uint64_t commands = 0;
    uint64_t reloads = 0;
    std::string firstFailure;
    double secondsToFirstFailure = 0;
};

// Needs the stand-in booted by the caller.
Result run(const Config &config, const std::string &modulePath);

}  // namespace velmora::torture
