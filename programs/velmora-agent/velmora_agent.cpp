// velmora-agent: backups of a device made by the velmora driver, of a
// running machine (velmorad) reached through its socket or of a disk image
// file attached to a stand-in kernel booted for the run; their check, the
// picture of what changed, and the machine's state. The command line only
// parses; the agent library does the work.
#include "commands.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <string>

using namespace velmora;

namespace {

const char *const kFooter =
    "Exit codes: 0 done, 1 failed (the message says why and what to do), 2 bad command line,\n"
    "3 verify found nothing it could check.\n"
    "The machine's socket may also be given by VELMORA_MACHINE, the key directory by\n"
    "VELMORA_KEY_DIR, the store by VELMORA_STORE.";

const char *const kStoreHelp =
    "the backup store: a directory holding, per device, a chain of points in time (default: "
    "$VELMORA_STORE, /var/lib/velmora/store for root, else ~/.local/share/velmora/store)";

void addChain(CLI::App *cmd, cli::StoreOptions &o, const char *deviceHelp) {
    cmd->add_option("--store", o.store, kStoreHelp);
    cmd->add_option("--device", o.device, deviceHelp);
}

void addTarget(CLI::App *cmd, cli::TargetOptions &t) {
    cmd->add_option("--machine", t.machine, "control socket of the running machine (velmorad)")
        ->envname("VELMORA_MACHINE");
    cmd->add_option("--device", t.device,
                    "the machine's device: a name it lists (sda1) or MAJOR:MINOR");
    cmd->add_option("--disk", t.disk,
                    "instead of a machine: a disk image file, attached for this run");
    cmd->add_option("--partition", t.partition, "with --disk: the partition to back up (1-15)");
}

void addOutput(CLI::App *cmd, cli::Output &o, bool progress) {
    cmd->add_flag("--json", o.json, "print one JSON object with the result instead of words");
    if (progress)
        cmd->add_flag("-q,--quiet", o.quiet, "no progress and no words, only errors");
}

void addKeyDirectory(CLI::App *cmd, std::string &dir) {
    cmd->add_option("--key-dir", dir,
                    "directory of the kept keys, one set of files per device (default: "
                    "$VELMORA_KEY_DIR, /var/lib/velmora/keys for root, else "
                    "~/.local/state/velmora/keys)");
}

// The checks CLI11 cannot express, in words that name the fix.
void checkTarget(const cli::TargetOptions &t, bool needsDevice) {
    if (!t.disk.empty()) {
        if (!t.device.empty())
            throw CLI::ValidationError("--device",
                                       "goes with --machine; with --disk say --partition");
        if (t.partition < 1 || t.partition > 15)
            throw CLI::ValidationError("--partition", "with --disk, say --partition N (1 to 15)");
        std::error_code ec;
        if (!std::filesystem::is_regular_file(t.disk, ec))
            throw CLI::ValidationError(
                "--disk", "the disk image " + t.disk + " does not exist or is not a file");
        return;
    }
    if (t.partition != 0)
        throw CLI::ValidationError("--partition", "goes with --disk; on a machine say --device");
    if (t.machine.empty())
        throw CLI::ValidationError("--machine",
                                   "say which machine: --machine SOCKET (or set "
                                   "VELMORA_MACHINE), or --disk IMAGE --partition N");
    if (needsDevice && t.device.empty())
        throw CLI::ValidationError("--device",
                                   "say which device of the machine: --device sda1 "
                                   "(velmora-agent status lists them)");
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{
        "velmora-agent: point-in-time backups of a device in use, and only what changed "
        "since the last one"};
    app.footer(kFooter);
    app.require_subcommand(1);

    struct Kind {
        const char *name, *help;
        agent::BackupKind kind;
    };
    const Kind kinds[] = {
        {"full", "store every block of the device as a new point in time", agent::BackupKind::Full},
        {"incremental",
         "store only the blocks changed since the last backup as a new point; fails when that "
         "backup's key or point cannot be used",
         agent::BackupKind::Incremental},
        {"backup", "incremental when the kept key and last point allow it, else full, saying why",
         agent::BackupKind::Automatic},
    };
    cli::BackupCommand backups[3];
    CLI::App *backupApps[3];
    for (int i = 0; i < 3; ++i) {
        cli::BackupCommand &b = backups[i];
        b.kind = kinds[i].kind;
        CLI::App *cmd = app.add_subcommand(kinds[i].name, kinds[i].help);
        addTarget(cmd, b.target);
        CLI::Option *store = cmd->add_option("--store", b.store, kStoreHelp);
        cmd->add_option("--image", b.image,
                        "instead of the store: one image file, written whole and replaced only "
                        "by a backup that succeeded (no older points are kept)")
            ->excludes(store);
        addKeyDirectory(cmd, b.keyDirectory);
        cmd->add_option("--max-cache-blocks", b.maxCacheBlocks,
                        "most old blocks the driver may hold while writers go on")
            ->capture_default_str();
        cmd->add_flag("--verify", b.verify,
                      "check the new backup's file system after it (e2fsck -fn)");
        addOutput(cmd, b.output, true);
        backupApps[i] = cmd;
    }

    cli::VerifyCommand verify;
    cli::StoreOptions verifyChain;
    CLI::App *verifyApp = app.add_subcommand(
        "verify",
        "check an image file (its file system with e2fsck -fn, and with --against its bytes), "
        "or with --store every stored block's checksum, or with --point one point's file "
        "system");
    verifyApp->add_option("image", verify.image, "the image file");
    // A bare --store is the default store.
    verifyApp->add_option("--store", verifyChain.store, kStoreHelp)->expected(0, 1);
    verifyApp->add_option("--device", verifyChain.device,
                          "with --store: the device's chain only (default: every device)");
    verifyApp->add_option("--point", verify.point,
                          "restore this point (a number, latest, or a time) to a temporary file "
                          "and check its file system");
    verifyApp->add_option("--against", verify.against,
                          "a reference the image must equal byte for byte");
    verifyApp->add_option("--block-size", verify.blockSize, "the unit differences are counted in")
        ->capture_default_str()
        ->check(CLI::Range(512u, 1u << 20));
    bool noFsck = false;
    verifyApp->add_flag("--no-fsck", noFsck, "skip the file-system check");
    addOutput(verifyApp, verify.output, false);

    cli::MapCommand map;
    CLI::App *mapApp = app.add_subcommand(
        "map", "the blocks the last backup of a device copied: a PNG picture, or text runs");
    addTarget(mapApp, map.target);
    addKeyDirectory(mapApp, map.keyDirectory);
    mapApp->add_option("--png", map.png, "write the picture here");
    mapApp->add_flag("--runs", map.runs, "print the changed blocks as 'START LENGTH' lines");
    addOutput(mapApp, map.output, false);

    cli::RestoreCommand restore;
    CLI::App *restoreApp = app.add_subcommand(
        "restore", "write a point in time of a device, from the store, to a file or a device");
    addChain(restoreApp, restore.chain, "the device backed up (default: the store's only one)");
    restoreApp
        ->add_option("--point", restore.point,
                     "a point's number, latest, or a time (UTC): the newest point taken at "
                     "or before it")
        ->capture_default_str();
    restoreApp
        ->add_option("--to", restore.to,
                     "the file to write (replaced only once whole) or a block device (written "
                     "in place)")
        ->required();
    addOutput(restoreApp, restore.output, true);

    cli::ListCommand list;
    CLI::App *listApp =
        app.add_subcommand("list", "the points in time of each device in the store");
    addChain(listApp, list.chain, "this device only");
    addOutput(listApp, list.output, false);

    cli::PruneCommand prune;
    CLI::App *pruneApp = app.add_subcommand(
        "prune",
        "merge the oldest points of a device into one full point, keeping the newest; every kept "
        "point restores as before, even if the prune is stopped midway");
    addChain(pruneApp, prune.chain, "the device (default: the store's only one)");
    CLI::Option *keep = pruneApp->add_option("--keep", prune.keep, "keep the newest N points")
                            ->check(CLI::Range(1u, UINT32_MAX));
    CLI::Option *within =
        pruneApp->add_option("--keep-within", prune.keepWithin,
                             "keep the points of this age or younger: 90m, 12h, 7d, 2w");
    addOutput(pruneApp, prune.output, true);

    cli::StatusCommand status;
    CLI::App *statusApp = app.add_subcommand(
        "status", "the driver's version, the machine's devices, open files and backups");
    statusApp->add_option("--machine", status.machine, "control socket of the running machine")
        ->envname("VELMORA_MACHINE")
        ->required();
    addKeyDirectory(statusApp, status.keyDirectory);
    addOutput(statusApp, status.output, false);

    std::string logMachine;
    CLI::App *logApp = app.add_subcommand("log", "the running machine's kernel log, newest lines");
    logApp->add_option("--machine", logMachine, "control socket of the running machine")
        ->envname("VELMORA_MACHINE")
        ->required();

    // CLI11 would call a stray word a missing subcommand; name it instead.
    auto known = [&](const std::string &word) {
        for (const CLI::App *sub : app.get_subcommands({}))
            if (sub->check_name(word))
                return true;
        return false;
    };
    if (argc > 1 && argv[1][0] != '-' && !known(argv[1])) {
        std::fprintf(stderr,
                     "velmora-agent: unknown command '%s': say full, incremental, backup, restore, "
                     "list, prune, verify, map, status or log\nRun 'velmora-agent --help' for the "
                     "commands.\n",
                     argv[1]);
        return 2;
    }
    try {
        app.parse(argc, argv);
        for (int i = 0; i < 3; ++i)
            if (backupApps[i]->parsed())
                checkTarget(backups[i].target, true);
        if (mapApp->parsed())
            checkTarget(map.target, true);
        if (verifyApp->parsed()) {
            const bool toStore = verifyApp->count("--store") > 0 || !verify.point.empty() ||
                                 !verifyChain.device.empty();
            if (toStore == !verify.image.empty())
                throw CLI::ValidationError("verify", "say an image file, or --store DIR");
            if (toStore && !verify.against.empty())
                throw CLI::ValidationError("--against", "goes with an image file");
            if (toStore)
                verify.store = verifyChain;
        }
        if (pruneApp->parsed() && keep->count() == 0 && within->count() == 0)
            throw CLI::ValidationError("prune",
                                       "say which points to keep: --keep N or --keep-within AGE");
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::string where;
        for (const CLI::App *sub : app.get_subcommands())
            where = sub->get_name() + " ";
        std::fprintf(stderr, "velmora-agent: %s\nRun 'velmora-agent %s--help' for the options.\n",
                     e.what(), where.c_str());
        return 2;
    }

    for (int i = 0; i < 3; ++i)
        if (backupApps[i]->parsed())
            return cli::runBackupCommand(backups[i]);
    if (verifyApp->parsed()) {
        verify.fileSystemCheck = !noFsck;
        return verify.store ? cli::runVerifyStoreCommand(verify) : cli::runVerifyCommand(verify);
    }
    if (restoreApp->parsed())
        return cli::runRestoreCommand(restore);
    if (listApp->parsed())
        return cli::runListCommand(list);
    if (pruneApp->parsed())
        return cli::runPruneCommand(prune);
    if (mapApp->parsed())
        return cli::runMapCommand(map);
    if (statusApp->parsed())
        return cli::runStatusCommand(status);
    return cli::runLogCommand(logMachine);
}
