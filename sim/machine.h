// The simulated machine: boots the stand-in kernel, loads and unloads
// modules, and reads the kernel log. For the demo and the tests.
#pragma once

#include <string>
#include <vector>

namespace velmora::sim {

struct LogLine {
    int level;
    std::string text;
};

class Machine {
  public:
    Machine();
    // insmod/rmmod; throw with the kernel's reason when refused.
    void load(const std::string &modulePath);
    void unload(const std::string &name);
    // The same, returning the kernel's result (0 or -errno) instead.
    int tryLoad(const std::string &modulePath);
    int tryUnload(const std::string &name);

    static std::vector<LogLine> log();
    static bool logHas(const std::string &text);
    static void clearLog();
    static void dumpLog();
};

// Where the build put the velmora module.
std::string velmoraModulePath();

}  // namespace velmora::sim
