// velmora-torture: agents issuing random command sequences on several
// control files, writers stamping sectors, the module reloaded now and then;
// every step checked. Seeded: a failing run is replayed with its seed.
#include <torture.h>

#include <machine.h>
#include <standin/machine.h>

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <random>

int main(int argc, char **argv) {
    velmora::torture::Config config;
    config.seed = std::random_device{}();
    uint64_t fuzzSleepUs = config.fuzzMaxSleepNs / 1000;
    CLI::App app{
        "velmora-torture: random agents, stamping writers and module reloads on the "
        "stand-in, every step checked"};
    app.add_option("--seed", config.seed, "seed of the commands and of the schedule fuzzing");
    app.add_option("--seconds", config.seconds, "how long to run")->check(CLI::PositiveNumber);
    app.add_option("--agents", config.agents, "agents, each on a control file of its own")
        ->check(CLI::Range(1, 16));
    app.add_option("--fuzz", config.fuzzPermille,
                   "schedule fuzzing: points in a thousand that yield or sleep (0: off)")
        ->check(CLI::Range(0, 1000));
    app.add_option("--fuzz-sleep-us", fuzzSleepUs, "the longest sleep of an acting point")
        ->check(CLI::Range(1, 100000));
    app.add_option("--reload-every", config.reloadEvery, "seconds between reloads of the module")
        ->check(CLI::PositiveNumber);
    app.add_option("--stuck-after", config.stuckSeconds,
                   "seconds after which a command that has not returned is a stuck task")
        ->check(CLI::PositiveNumber);
    app.add_flag("--verbose", config.verbose, "print every failed check");
    CLI11_PARSE(app, argc, argv);
    config.fuzzMaxSleepNs = fuzzSleepUs * 1000;

    std::printf("velmora-torture: seed %llu, %g s, %d agents, fuzzing %u/1000 up to %llu us\n",
                static_cast<unsigned long long>(config.seed), config.seconds, config.agents,
                config.fuzzPermille, static_cast<unsigned long long>(fuzzSleepUs));
    std::fflush(stdout);
    standin_boot();
    auto began = std::chrono::steady_clock::now();
    velmora::torture::Result r;
    try {
        r = velmora::torture::run(config, velmora::sim::velmoraModulePath());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velmora-torture: %s\n", e.what());
        return 2;
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    std::printf("%llu commands, %llu reloads in %.1f s\n",
                static_cast<unsigned long long>(r.commands),
                static_cast<unsigned long long>(r.reloads), took.count());
    std::printf("%llu passed, %llu failed\n", static_cast<unsigned long long>(r.passed),
                static_cast<unsigned long long>(r.failed));
    if (r.failed)
        std::printf("first failure after %.1f s: %s (replay with --seed %llu)\n",
                    r.secondsToFirstFailure, r.firstFailure.c_str(),
                    static_cast<unsigned long long>(config.seed));
    return r.failed ? 1 : 0;
}
