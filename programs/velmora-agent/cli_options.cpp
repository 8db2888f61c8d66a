#include "cli_options.h"

#include <filesystem>

namespace velmora::cli {

const char *const kUsage =
    "usage: velmora-agent full|incremental --disk IMAGE --partition N --image OUT --key KEYFILE\n"
    "       velmora-agent full|incremental --machine SOCKET --device NAME --image OUT --key "
    "KEYFILE\n"
    "  full         copies every block of the partition into OUT\n"
    "  incremental  presents the session key in KEYFILE and patches OUT with the\n"
    "               blocks changed since the backup that wrote KEYFILE\n"
    "  Both save the new session key in KEYFILE.\n"
    "  --disk IMAGE --partition N   boot a machine for this run with IMAGE as its disk\n"
    "  --machine SOCKET             use the running machine (velmorad) on SOCKET; the\n"
    "                               environment's VELMORA_MACHINE gives it by default\n"
    "  --device NAME                its device: a name it lists (sda1) or MAJOR:MINOR\n"
    "       velmora-agent log [--machine SOCKET]\n"
    "  log          prints the running machine's kernel log, newest lines\n";

namespace {

int partitionNumber(const std::string &text) {
    std::size_t used = 0;
    int n = 0;
    try {
        n = std::stoi(text, &used);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used != text.size() || n < 1 || n > 15)
        throw UsageError("--partition takes a partition number from 1 to 15, not '" + text + "'");
    return n;
}

void requireFile(const std::string &path, const std::string &what) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        throw UsageError(what + " " + path + " does not exist or is not a file");
}

}  // namespace

CliOptions parseCommandLine(const std::vector<std::string> &args,
                            const std::string &machineFromEnv) {
    if (args.empty())
        throw UsageError("say full or incremental");
    CliOptions o;
    if (args[0] == "incremental")
        o.incremental = true;
    else if (args[0] != "full")
        throw UsageError("unknown backup kind '" + args[0] + "': say full or incremental");
    for (std::size_t i = 1; i < args.size(); i += 2) {
        const std::string &name = args[i];
        if (i + 1 >= args.size())
            throw UsageError(name + " needs a value");
        const std::string &value = args[i + 1];
        if (name == "--disk")
            o.disk = value;
        else if (name == "--partition")
            o.partition = partitionNumber(value);
        else if (name == "--image")
            o.image = value;
        else if (name == "--key")
            o.keyFile = value;
        else if (name == "--machine")
            o.machine = value;
        else if (name == "--device")
            o.device = value;
        else
            throw UsageError("unknown option " + name);
    }
    if (o.disk.empty() && o.machine.empty())
        o.machine = machineFromEnv;
    if (!o.disk.empty() && !o.machine.empty())
        throw UsageError("give either --disk (a machine for this run) or --machine, not both");
    for (const auto &[value, name] :
         {std::pair{&o.image, "--image"}, std::pair{&o.keyFile, "--key"}})
        if (value->empty())
            throw UsageError(std::string(name) + " is missing");
    if (!o.machine.empty()) {
        if (o.device.empty())
            throw UsageError("--device is missing: say which device of the machine to back up");
        if (o.partition != 0)
            throw UsageError("--partition goes with --disk; on a machine say --device");
    } else {
        if (o.disk.empty())
            throw UsageError("--disk is missing (or --machine, for a running machine)");
        if (o.partition == 0)
            throw UsageError("--partition is missing");
        if (!o.device.empty())
            throw UsageError("--device goes with --machine; with --disk say --partition");
        requireFile(o.disk, "the disk image");
    }
    if (o.incremental) {
        requireFile(o.image, "the image of the previous backup");
        requireFile(o.keyFile, "the key file of the previous backup");
    }
    return o;
}

}  // namespace velmora::cli
