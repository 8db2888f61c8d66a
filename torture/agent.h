// One agent of a torture run: on a control file of its own, episodes of
// random but valid-looking commands (and some invalid ones), each result
// checked against what the driver promises for it.
#pragma once

#include "checks.h"
#include "world.h"

#include <atomic>
#include <cstdint>
#include <random>

namespace velmora::torture {

class Agent {
  public:
    Agent(World &world, Checks &checks, uint64_t seed, int index);
    // Episodes until `stop`; each ends with its file closed and unmapped.
    void run(const std::atomic<bool> &stop);

    uint64_t commands() const { return commands_; }
    // When the command under way started (monotonic ns), or 0 between
    // commands: the watchdog's view.
    int64_t busySince() const { return busySince_; }
    const char *busyWith() const { return busyWith_; }

  private:
    struct Mapping {
        char *addr = nullptr;
        unsigned long pages = 0;
    };
    struct Episode;

    void episode(const std::atomic<bool> &stop);
    int command(int fd, unsigned long request, const void *arg, const char *name);
    void start(Episode &e);
    void snapshot(Episode &e);
    void fetchMap(Episode &e);
    void loadMap(Episode &e);
    void map(Episode &e);
    void unmap(Episode &e, int which);
    void read(Episode &e);
    void small(Episode &e);
    uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % (n ? n : 1)); }

    World &world_;
    Checks &checks_;
    std::mt19937_64 rng_;
    int index_;
    std::atomic<uint64_t> commands_{0};
    std::atomic<int64_t> busySince_{0};
    std::atomic<const char *> busyWith_{""};
};

}  // namespace velmora::torture
