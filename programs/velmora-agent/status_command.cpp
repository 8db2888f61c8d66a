// status: the driver's version, the machine's agents and open files of the
// control device, and for each device its last backup as the driver logged
// it and as the key directory keeps it.
#include "commands.h"
#include "json_report.h"
#include "machine_device.h"

#include <backup_state.h>
#include <control_device.h>
#include <device_backup.h>
#include <driver_statistics.h>
#include <remote_system_calls.h>

#include <cstdio>

namespace velmora::cli {

using nlohmann::json;

namespace {

// Whether the log shows a snapshot of the device after its last summary: a
// backup of it is under way (or was cut off by a restart of the module).
bool backupUnderWay(const std::string &log, unsigned major, unsigned minor) {
    const std::string dev = std::to_string(major) + "." + std::to_string(minor);
    std::size_t snapshot = log.rfind("ioctlSnapShot: Going to freez: " + dev + "\n");
    if (snapshot == std::string::npos)
        return false;
    std::size_t finished = log.rfind("backup finished device major=" + std::to_string(major) +
                                     " minor=" + std::to_string(minor) + "\n");
    return finished == std::string::npos || finished < snapshot;
}

json driverSide(const std::string &log, const MachineDevice &d) {
    json j{{"backupUnderWay", backupUnderWay(log, d.major, d.minor)}};
    agent::DriverStatistics stats = agent::parseDriverStatistics(log, d.major, d.minor);
    if (!stats.empty()) {
        const unsigned state =
            static_cast<unsigned>(std::atoi(agent::statistic(stats, "state").c_str()));
        // A backup that ended well is closed: its last state is "closing".
        j["lastBackup"] = {
            {"state", state},
            {"meaning",
             state == VEL_STATE_CLOSING ? "ended normally" : agent::describeBackupState(state)},
            {"statistics", statisticsJson(stats)}};
    }
    return j;
}

json keptSide(const std::string &dir, const MachineDevice &d) {
    try {
        agent::KeyStore keys(dir, agent::deviceRecordName(d.name));
        std::optional<agent::KeyRecord> last = keys.last();
        if (!last)
            return nullptr;
        return {{"kind", last->kind},
                {"time", last->time},
                {"image", last->image},
                {"keyFile", keys.keyPath()}};
    } catch (const std::exception &e) {
        return {{"error", e.what()}};
    }
}

}  // namespace

int runStatusCommand(const StatusCommand &c) {
    json j{{"command", "status"}, {"machine", c.machine}};
    try {
        j["service"] = json::parse(agent::machineStatus(c.machine));
        const std::string log = agent::machineKernelLog(c.machine);
        try {
            agent::ControlDevice dev("/dev/velmora", agent::connectToMachine(c.machine));
            j["driver"] = {{"loaded", true},
                           {"version", std::to_string(dev.versionMajor()) + "." +
                                           std::to_string(dev.versionMinor())}};
        } catch (const agent::SystemError &e) {
            j["driver"] = {{"loaded", false}, {"why", e.what()}};
        }
        const std::string dir =
            c.keyDirectory.empty() ? agent::KeyStore::defaultDirectory() : c.keyDirectory;
        j["devices"] = json::array();
        for (const MachineDevice &d : machineDevices(c.machine))
            j["devices"].push_back({{"name", d.name},
                                    {"major", d.major},
                                    {"minor", d.minor},
                                    {"bytes", d.sectors * 512},
                                    {"driver", driverSide(log, d)},
                                    {"kept", keptSide(dir, d)}});
    } catch (const std::exception &e) {
        return reportFailure("status", c.output, e.what());
    }
    j["outcome"] = "ok";
    if (c.output.json) {
        printJson(j);
        return 0;
    }
    std::printf("velmora-agent: the machine on %s\n", c.machine.c_str());
    if (j["driver"]["loaded"])
        std::printf("  driver velmora %s, loaded\n",
                    j["driver"]["version"].get<std::string>().c_str());
    else
        std::printf("  driver not loaded (%s)\n", j["driver"]["why"].get<std::string>().c_str());
    const json &service = j["service"];
    std::printf(
        "  agents connected (this one included): %zu; files of the control device open: "
        "%d\n",
        service["agents"].size(), service.value("controlFiles", 0));
    for (const json &a : service["agents"])
        std::printf("    pid %d, uid %d\n", a.value("pid", 0), a.value("uid", 0));
    for (const json &d : j["devices"]) {
        std::printf("  %-6s %u:%u  %.1f MiB\n", d["name"].get<std::string>().c_str(),
                    d["major"].get<unsigned>(), d["minor"].get<unsigned>(),
                    d["bytes"].get<double>() / (1 << 20));
        const json &driver = d["driver"];
        if (driver["backupUnderWay"])
            std::printf("    a backup is under way (snapshot taken)\n");
        if (driver.contains("lastBackup")) {
            const json &last = driver["lastBackup"];
            const json &stats = last["statistics"];
            std::printf(
                "    driver's last backup: %s; %d blocks read from disk, %d from cache, "
                "file system frozen for %.9f s\n",
                last["meaning"].get<std::string>().c_str(), stats.value("total reads from disk", 0),
                stats.value("total reads from cache", 0),
                stats.value("time frozen in seconds", 0.0));
        }
        const json &kept = d["kept"];
        if (kept.is_object() && kept.contains("error"))
            std::printf("    kept key: %s\n", kept["error"].get<std::string>().c_str());
        else if (kept.is_object())
            std::printf(
                "    last backup kept: %s of %s into %s\n", kept["kind"].get<std::string>().c_str(),
                kept["time"].get<std::string>().c_str(), kept["image"].get<std::string>().c_str());
    }
    return 0;
}

int runLogCommand(const std::string &machine) {
    try {
        std::fputs(agent::machineKernelLog(machine).c_str(), stdout);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velmora-agent: %s\n", e.what());
        return 1;
    }
}

}  // namespace velmora::cli
