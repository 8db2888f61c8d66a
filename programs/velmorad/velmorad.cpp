// velmorad: the velmora machine as a service. Boots the stand-in kernel with
// the module and the given disks, serves agents on a Unix socket and the
// disks to the host through FUSE, and runs until SIGTERM or SIGINT.
#include <service.h>

#include <CLI/CLI.hpp>

#include <grp.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    velmora::machine::ServiceConfig config;
    config.socketPath = "/run/velmora/control.sock";
    CLI::App app{"velmorad: the velmora machine as a service"};
    app.add_option("--image", config.images,
                   "disk image file with a partition table, attached as sda, sdb, ...");
    app.add_option("--ram-disk", config.ramDiskMiB, "a RAM disk of this many MiB: ram0, ram1, ...");
    app.add_option("--mount", config.mounts,
                   "a device whose file system the machine mounts itself (sda1), so that agents "
                   "can back it up without a host mount");
    app.add_option("--socket", config.socketPath, "the control socket agents connect to")
        ->capture_default_str();
    std::string socketGroup;
    app.add_option("--socket-group", socketGroup,
                   "let this group's members reach the socket (mode 0660); the driver still "
                   "refuses whoever is not the machine's administrator");
    app.add_option("--export", config.exportDir,
                   "directory where each disk and partition shows as a file for the host "
                   "(FUSE); none when not given");
    app.add_option("--log", config.logPath, "file the kernel log is appended to");
    app.add_option("--capture-dir", config.captureDir,
                   "save each exported device's content at each freeze here (for checks)");
    app.add_option("--module", config.modulePath, "the velmora module to load");
    bool noModule = false;
    app.add_flag("--no-module", noModule,
                 "serve the disks without the module (to compare the host's I/O with and without)");
    app.add_option("--release-timeout", config.releaseTimeoutSeconds,
                   "seconds to wait at stop for the host to let go of the exported files")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    config.loadModule = !noModule;
    if (!socketGroup.empty()) {
        const group *g = getgrnam(socketGroup.c_str());
        if (!g) {
            std::fprintf(stderr, "velmorad: there is no group %s\n", socketGroup.c_str());
            return 2;
        }
        config.socketGroup = static_cast<int>(g->gr_gid);
    }
    if (config.images.empty() && config.ramDiskMiB.empty()) {
        std::fprintf(stderr, "velmorad: give at least one --image or --ram-disk\n");
        return 2;
    }

    // The signals are taken by sigwait below, never by a handler, so the
    // stand-in's threads keep running undisturbed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    try {
        velmora::machine::Service service(config);
        std::printf("velmorad: serving on %s\n", config.socketPath.c_str());
        for (const auto &d : service.devices())
            std::printf("  %-6s %u:%u  %llu sectors%s%s\n", d.name.c_str(), d.major, d.minor,
                        d.sectors, config.exportDir.empty() ? "" : "  ",
                        config.exportDir.empty() ? "" : (config.exportDir + "/" + d.name).c_str());
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
        std::printf("velmorad: stopping (signal %d)\n", signal);
        std::fflush(stdout);
        service.stop();
        std::printf("velmorad: stopped; every image synced\n");
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velmorad: %s\n", e.what());
        return 1;
    }
}
