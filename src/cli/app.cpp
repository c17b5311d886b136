// The command line: CLI11 parses it, one function per command does the work.
#include <CLI/CLI.hpp>

#include <sstream>

#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/progress.h"
#include "comms/device_log.h"

#ifndef EFIS_VERSION
#define EFIS_VERSION "0"
#endif

namespace efis_cli {

void Context::note(const std::string& text) const
{
    if (!quiet) {
        if (progress != nullptr) {
            progress->break_line();
        }
        io.err << text << "\n";
    }
}

void Context::warn(const std::string& text) const
{
    if (progress != nullptr) {
        progress->break_line();
    }
    io.err << text << "\n";
}

int Context::fail(int status, const std::string& text) const
{
    warn("efis-cli: " + text);
    return status;
}

namespace {

// The device layer's lines go to standard error with --verbose, and nowhere otherwise: standard
// output carries results only.
void verbose_sink(const char* text, void* user)
{
    const auto* ctx = static_cast<const Context*>(user);
    if (ctx->progress != nullptr) {
        ctx->progress->break_line();
    }
    ctx->io.err << text << std::flush;
}

void silent_sink(const char*, void*) {}

class DeviceLogScope {
public:
    explicit DeviceLogScope(const Context& ctx)
    {
        set_device_log_sink(ctx.verbose ? verbose_sink : silent_sink, const_cast<Context*>(&ctx));
    }
    ~DeviceLogScope() { set_device_log_sink(nullptr, nullptr); }
    DeviceLogScope(const DeviceLogScope&) = delete;
    DeviceLogScope& operator=(const DeviceLogScope&) = delete;
};

const char* kExitStatuses = R"(Exit status:
  0  done
  1  settings diff: the unit and the file differ
  2  usage error
  3  no unit found, found but not opened, or it did not answer WHOAMI
  4  the unit refused or stopped answering (an exchange, commit, verification or transfer)
  5  bad input: a file that cannot be read, parsed or accepted, an unknown setting, a value out of range,
     an image the upload would refuse)";

} // namespace

int run(const std::vector<std::string>& args, const Streams& io)
{
    CLI::App app{"Configure an EFIS display unit on USB: its settings, its firmware and its airport database.",
                 args.empty() ? std::string("efis-cli") : args[0]};
    app.set_version_flag("--version", std::string("efis-cli ") + EFIS_VERSION);
    app.footer(kExitStatuses);
    app.require_subcommand(1);
    app.fallthrough();
    // A path such as /media/usb/image.bin is a file, not a Windows-style option.
    app.allow_windows_style_options(false);

    Context ctx{io};
    app.add_flag("-v,--verbose", ctx.verbose, "Show the device layer's diagnostic lines on standard error");
    app.add_flag("-q,--quiet", ctx.quiet, "Show errors only: no notes, no progress");

    bool json = false;
    bool dry_run = false;
    bool force = false;
    std::string file;
    std::vector<std::string> assignments;
    std::function<int()> command;

    CLI::App* info_cmd = app.add_subcommand("info", "Serial number, firmware, generation and record header");
    info_cmd->add_flag("--json", json, "Print a JSON object");
    info_cmd->callback([&] { command = [&] { return info(ctx, json); }; });

    CLI::App* settings = app.add_subcommand("settings", "Show, back up, compare, restore or set the settings");
    settings->require_subcommand(1);
    CLI::App* show = settings->add_subcommand("show", "The unit's settings as a table");
    show->add_flag("--json", json, "Print the backup document instead");
    show->callback([&] { command = [&] { return settings_show(ctx, json); }; });

    CLI::App* backup = settings->add_subcommand("backup", "Write the unit's settings to a file");
    backup->add_option("FILE", file, "The file to write; - for standard output")->required();
    backup->callback([&] { command = [&] { return settings_backup(ctx, file); }; });

    CLI::App* diff = settings->add_subcommand("diff", "List the settings where the unit and a file differ");
    diff->add_option("FILE", file, "A settings file; - for standard input")->required();
    diff->callback([&] { command = [&] { return settings_diff(ctx, file); }; });

    CLI::App* restore = settings->add_subcommand("restore", "Send the settings a file names, commit and verify");
    restore->add_option("FILE", file, "A settings file; - for standard input")->required();
    restore->add_flag("--dry-run", dry_run, "Print what would be sent and send nothing");
    restore->add_flag("--force", force, "Restore a file whose record version differs from the unit's");
    restore->callback([&] { command = [&] { return settings_restore(ctx, file, dry_run, force); }; });

    CLI::App* set = settings->add_subcommand("set", "Set settings by name, commit and verify");
    set->add_option("NAME=VALUE", assignments, "e.g. vne=160 sky_color_upper=#3c78d8 registration=N12345")->required();
    set->add_flag("--dry-run", dry_run, "Print what would be sent and send nothing");
    set->callback([&] { command = [&] { return settings_set(ctx, assignments, dry_run); }; });

    CLI::App* reboot_cmd = app.add_subcommand("reboot", "Restart the unit into its boot loader");
    reboot_cmd->callback([&] { command = [&] { return reboot(ctx); }; });

    CLI::App* firmware = app.add_subcommand("firmware", "Check or upload a firmware image");
    firmware->require_subcommand(1);
    CLI::App* check = firmware->add_subcommand("check", "Inspect an image file; no unit needed");
    check->add_option("FILE", file, "The firmware image")->required();
    check->callback([&] { command = [&] { return firmware_check(ctx, file); }; });
    CLI::App* fw_upload = firmware->add_subcommand("upload", "Write an image into the bank the unit names");
    fw_upload->add_option("FILE", file, "The firmware image")->required();
    fw_upload->callback([&] { command = [&] { return firmware_upload(ctx, file); }; });

    CLI::App* airports = app.add_subcommand("airports", "Upload an airport database");
    airports->require_subcommand(1);
    CLI::App* db_upload = airports->add_subcommand("upload", "Write a database file into the unit's flash");
    db_upload->add_option("FILE", file, "The airport database file")->required();
    db_upload->callback([&] { command = [&] { return airports_upload(ctx, file); }; });

    std::vector<const char*> argv;
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, io.out, io.err);
        return code == 0 ? kDone : kUsage;
    }
    if (!command) {
        io.err << app.help();
        return kUsage;
    }
    if (ctx.verbose && ctx.quiet) {
        ctx.quiet = false;
    }
    DeviceLogScope log_scope(ctx);
    return command();
}

} // namespace efis_cli
