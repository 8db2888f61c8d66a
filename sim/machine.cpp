#include "machine.h"

#include <standin/machine.h>

#include <cstring>
#include <stdexcept>

namespace velmora::sim {

Machine::Machine() {
    standin_boot();
}

int Machine::tryLoad(const std::string &modulePath) {
    return standin_insmod(modulePath.c_str());
}

int Machine::tryUnload(const std::string &name) {
    return standin_rmmod(name.c_str());
}

void Machine::load(const std::string &modulePath) {
    int r = tryLoad(modulePath);
    if (r != 0)
        throw std::runtime_error("insmod " + modulePath + ": " + std::strerror(-r) +
                                 " (see the kernel log)");
}

void Machine::unload(const std::string &name) {
    int r = tryUnload(name);
    if (r != 0)
        throw std::runtime_error("rmmod " + name + ": " + std::strerror(-r));
}

std::vector<LogLine> Machine::log() {
    std::vector<LogLine> lines;
    unsigned long n = standin_klog_lines();
    std::vector<char> buf(4096);
    for (unsigned long i = 0; i < n; ++i) {
        int level = standin_klog_line(i, buf.data(), buf.size());
        if (level < 0)
            break;
        lines.push_back({level, buf.data()});
    }
    return lines;
}

bool Machine::logHas(const std::string &text) {
    for (const auto &l : log())
        if (l.text == text)
            return true;
    return false;
}

void Machine::clearLog() {
    standin_klog_clear();
}

void Machine::dumpLog() {
    standin_klog_dump();
}

std::string velmoraModulePath() {
    return VELMORA_MODULE_PATH;
}

}  // namespace velmora::sim
