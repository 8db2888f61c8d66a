#include "torture.h"

#include "agent.h"
#include "checks.h"
#include "world.h"

#include <standin/fuzz.h>
#include <standin/machine.h>
#include <standin/syscalls.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velmora::torture {

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// A command that has not returned for too long is a stuck task: report it
// with the kernel log and stop, since the run cannot end cleanly any more.
void watch(const std::vector<std::unique_ptr<Agent>> &agents, const Config &config) {
    for (size_t i = 0; i < agents.size(); i++) {
        int64_t since = agents[i]->busySince();
        if (since && nowNs() - since > static_cast<int64_t>(config.stuckSeconds * 1e9)) {
            std::fprintf(stderr, "torture: FAILED: agent %zu stuck in %s for %.0f s (seed %llu)\n",
                         i, agents[i]->busyWith(), config.stuckSeconds,
                         static_cast<unsigned long long>(config.seed));
            standin_klog_dump();
            std::fflush(stderr);
            std::_Exit(2);
        }
    }
}

}  // namespace

Result run(const Config &config, const std::string &modulePath) {
    Checks checks(config.verbose);
    Result result;
    World world(checks, config.seed);
    sys::mknod("/dev/velmora", S_IFCHR | 0600, VEL_DEVICE_MAJOR << 20);
    if (!checks.expect(standin_insmod(modulePath.c_str()) == 0, "insmod " + modulePath)) {
        result.failed = checks.failed();
        result.firstFailure = checks.firstFailure();
        return result;
    }
    if (config.fuzzPermille)
        standin_fuzz_start(config.seed, config.fuzzPermille, config.fuzzMaxSleepNs);
    const auto deadline = Clock::now() + std::chrono::duration<double>(config.seconds);
    // A phase that found a fault is the last: its seed replays it.
    for (unsigned phase = 0; Clock::now() < deadline && !checks.failed(); phase++) {
        world.startPhase(phase);
        std::atomic<bool> stop{false};
        std::vector<std::unique_ptr<Agent>> agents;
        std::vector<std::thread> threads;
        for (int i = 0; i < config.agents; i++) {
            agents.push_back(std::make_unique<Agent>(world, checks, config.seed + phase * 7919, i));
            Agent *agent = agents.back().get();
            threads.emplace_back([&stop, agent] { agent->run(stop); });
        }
        const auto phaseEnd =
            std::min(deadline, Clock::now() + std::chrono::duration<double>(config.reloadEvery));
        while (Clock::now() < phaseEnd) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            watch(agents, config);
        }
        stop = true;
        // Agents finish their command and close; the watchdog goes on.
        for (size_t i = 0; i < threads.size(); i++) {
            while (agents[i]->busySince())
                std::this_thread::sleep_for(std::chrono::milliseconds(10)), watch(agents, config);
            threads[i].join();
            result.commands += agents[i]->commands();
        }
        world.endPhase();
        world.forgetKeys();
        // Everything is closed: the module must go cleanly and come back.
        checks.expect(standin_rmmod("velmora") == 0, "rmmod with every file closed");
        checks.expect(standin_insmod(modulePath.c_str()) == 0, "insmod after rmmod");
        result.reloads++;
        standin_klog_clear();
    }
    standin_fuzz_stop();
    checks.expect(standin_rmmod("velmora") == 0, "rmmod at the end");
    result.passed = checks.passed();
    result.failed = checks.failed();
    result.firstFailure = checks.firstFailure();
    result.secondsToFirstFailure = checks.secondsToFirstFailure();
    return result;
}

}  // namespace velmora::torture
