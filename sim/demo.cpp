// velmora-demo: boots the stand-in kernel, loads the velmora module, talks to
// its control device as an agent would, unloads it and prints the kernel log.
#include "machine.h"

#include <control_device.h>

#include <cstdio>
#include <exception>

using velmora::agent::ControlDevice;
using velmora::sim::Machine;

int main(int argc, char **argv) {
    try {
        Machine machine;
        std::string module = argc > 1 ? argv[1] : velmora::sim::velmoraModulePath();
        std::printf("== loading %s\n", module.c_str());
        machine.load(module);
        {
            ControlDevice dev("/dev/velmora");
            std::printf("== driver version %u.%u\n", dev.versionMajor(), dev.versionMinor());
            State s = dev.state();
            std::printf(
                "== state of a fresh file: state %u, device %u:%u, block size %d, "
                "mapping size %d\n",
                s.state, s.major, s.minor, s.blockSize, s.mmapSize);
        }
        machine.unload("velmora");
        std::printf("== kernel log\n");
        for (const auto &line : Machine::log())
            std::printf("<%d>%s\n", line.level, line.text.c_str());
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velmora-demo: %s\n", e.what());
        Machine::dumpLog();
        return 1;
    }
}
