// The command line: CLI11 parses it, one function per command does the work.
#include <CLI/CLI.hpp>

#include <cctype>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <sstream>

#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/progress.h"
#include "comms/device_log.h"
#include "operations/operations.h"
#include "settings_file/settings_file.h"

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
        if (ctx.verbose) {
            // The lines reach the log through standard error already.
            set_device_log_copy(nullptr, nullptr);
        }
    }
    ~DeviceLogScope() { set_device_log_sink(nullptr, nullptr); }
    DeviceLogScope(const DeviceLogScope&) = delete;
    DeviceLogScope& operator=(const DeviceLogScope&) = delete;
};

// Standard error as it is, and each line of it in the program's log as well. A progress line
// redrawn in place ("\r\033[K...") is logged as it last stood.
class LoggedStream : public std::streambuf {
public:
    explicit LoggedStream(std::ostream& target) : target_(target) {}
    ~LoggedStream() override
    {
        if (!line_.empty()) {
            operations::program_log(line_ + "\n");
        }
    }
    LoggedStream(const LoggedStream&) = delete;
    LoggedStream& operator=(const LoggedStream&) = delete;

protected:
    int overflow(int c) override
    {
        if (c != traits_type::eof()) {
            const char ch = static_cast<char>(c);
            xsputn(&ch, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        target_.write(s, n);
        for (std::streamsize i = 0; i < n; ++i) {
            if (s[i] == '\r') {
                line_.clear();
            } else if (s[i] == '\n') {
                operations::program_log(line_ + "\n");
                line_.clear();
            } else {
                line_ += s[i];
                if (line_.size() >= 3 && line_.compare(line_.size() - 3, 3, "\033[K") == 0) {
                    line_.resize(line_.size() - 3);
                }
            }
        }
        return n;
    }
    int sync() override
    {
        target_.flush();
        return 0;
    }

private:
    std::ostream& target_;
    std::string line_;
};

// The program's log for the length of one command line.
class ProgramLogScope {
public:
    ProgramLogScope(const std::string& program, const std::vector<std::string>& args, std::ostream& err)
    {
        operations::start_program_log(
            program, [&err, program](const std::string& text) { err << program << ": " << text << "\n"; });
        std::string line;
        for (const std::string& a : args) {
            line += (line.empty() ? "" : " ") + a;
        }
        operations::program_log("command line: " + line + "\n");
    }
    ~ProgramLogScope() { operations::stop_program_log(); }
    ProgramLogScope(const ProgramLogScope&) = delete;
    ProgramLogScope& operator=(const ProgramLogScope&) = delete;
};

// The one table of exit statuses; each command's help names the ones it returns.
const char* kExitStatuses = R"(Exit status:
  0    done
  1    settings diff, calibration diff: the unit and the file (or the two files) differ; settings undo: nothing to
       undo
  2    usage error
  3    no unit found, found but not opened, or it did not answer WHOAMI
  4    the unit refused or stopped answering (an exchange, commit, verification or transfer)
  5    bad input: a file that cannot be read, parsed or accepted, an unknown setting, a value out of
       range, settings that would not be plausible together, an image the upload would refuse, a
       settings history that cannot be written
  130  stopped by Ctrl-C (a second one, during an upload, a restore or a set))";

// "Exit status: 0, 3, 4 (see efis-cli --help)" under a command's help.
void exit_statuses(CLI::App* command, const std::string& program, std::initializer_list<int> statuses)
{
    std::string list;
    for (const int s : statuses) {
        list += (list.empty() ? "" : ", ") + std::to_string(s);
    }
    command->footer("Exit status: " + list + " (see " + program + " --help)");
}

// A group's help points to its commands'.
void exit_statuses_of_commands(CLI::App* group, const std::string& program)
{
    group->footer("Exit status: as each command's --help says (see " + program + " --help)");
}

// The name the program was started by, without its directory (and, on Windows, its ".exe"), for
// "Usage:" lines that read as a person types the command.
std::string program_name(const std::vector<std::string>& args)
{
    std::string name = args.empty() ? std::string() : std::filesystem::path(args[0]).filename().string();
    if (name.size() > 4) {
        std::string ext = name.substr(name.size() - 4);
        for (char& c : ext) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (ext == ".exe") {
            name.resize(name.size() - 4);
        }
    }
    return name.empty() ? std::string("efis-cli") : name;
}

// Whether the option `word` (--serial, -s) of `command` or of a group above it takes a value in the
// next word.
bool takes_value(const CLI::App* command, const std::string& word)
{
    for (const CLI::App* c = command; c != nullptr; c = c->get_parent()) {
        if (const CLI::Option* o = c->get_option_no_throw(word); o != nullptr) {
            return o->get_items_expected_max() > 0;
        }
    }
    return false;
}

// For a word where a command belongs that names none ("setting", "settings shwo"): the message,
// with the command it most likely meant. nullopt when every command word names a command.
std::optional<std::string> unknown_command(CLI::App& app, const std::vector<std::string>& args,
                                           const std::string& program)
{
    CLI::App* group = &app;
    std::string path;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {
            return std::nullopt;
        }
        if (word.size() > 1 && word[0] == '-') {
            const bool joined = word.find('=') != std::string::npos || (word[1] != '-' && word.size() > 2);
            if (!joined && takes_value(group, word)) {
                ++i;
            }
            continue;
        }
        // Option groups are kept among the subcommands too, but no one types their names.
        const std::vector<CLI::App*> commands =
            group->get_subcommands([](CLI::App* c) { return dynamic_cast<CLI::Option_group*>(c) == nullptr; });
        if (commands.empty()) {
            return std::nullopt; // the command's own arguments
        }
        std::vector<std::string_view> names;
        CLI::App* next = nullptr;
        for (CLI::App* c : commands) {
            names.emplace_back(c->get_name());
            next = c->get_name() == word ? c : next;
        }
        if (next == nullptr) {
            const std::string_view close = settings_file::closest_name(word, names);
            std::string text = "unknown command '" + path + word + "'";
            if (!close.empty()) {
                return text + " (did you mean '" + path + std::string(close) + "'?)";
            }
            return text + " (see " + program + " --help)";
        }
        group = next;
        path += word + " ";
    }
    return std::nullopt;
}

} // namespace

// settings list, in catalogue_command.cpp
int settings_list(Context& ctx, bool json);

int run(const std::vector<std::string>& args, const Streams& streams)
{
    const std::string program = program_name(args);
    // The log is named after the program, whichever of its builds runs.
    const std::string log_name = program.rfind("efis-cli", 0) == 0 ? "efis-cli" : program;
    const ProgramLogScope log(log_name, args, streams.err);
    LoggedStream logged(streams.err);
    std::ostream logged_err(&logged);
    const Streams io{streams.out, logged_err, streams.err_is_terminal};
    CLI::App app{"Configure an EFIS display unit on USB: its settings, its firmware and its airport database.",
                 program};
    app.set_version_flag("--version", std::string("efis-cli ") + EFIS_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    // A path such as /media/usb/image.bin is a file, not a Windows-style option.
    app.allow_windows_style_options(false);

    Context ctx{.io = io};
    ctx.program = program;
    for (size_t i = 1; i < args.size(); ++i) {
        ctx.command += (i > 1 ? " " : "") + args[i];
    }
    app.add_flag("-v,--verbose", ctx.verbose, "Show the device layer's diagnostic lines on standard error");
    app.add_flag("-q,--quiet", ctx.quiet, "Show errors only: no notes, no progress");
    std::string serial_text;
    app.add_option("--serial", serial_text,
                   "The unit to use when several are attached: its serial number, hexadecimal (0x00C0FFEE)")
        ->envname("EFIS_SERIAL")
        ->check([](const std::string& text) {
            return operations::parse_serial(text) ? std::string()
                                                  : "'" + text +
                                                        "' is not a serial number (hexadecimal, such "
                                                        "as 0x00C0FFEE)";
        });
    double wait_seconds = 0;
    app.add_option("--wait", wait_seconds,
                   "Look for the unit every 500 ms for up to SECONDS before giving up (none: no waiting)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 86400.0));

    bool json = false;
    bool dry_run = false;
    bool force = false;
    bool include_identity = false;
    std::string file;
    std::vector<std::string> assignments;
    std::function<int()> command;

    CLI::App* list_cmd = app.add_subcommand("list", "Every EFIS unit attached: serial, firmware, generation, "
                                                    "device path, and whether another program uses it");
    list_cmd->add_flag("--json", json, "Print a JSON array");
    list_cmd->callback([&] { command = [&] { return list_units(ctx, json); }; });
    exit_statuses(list_cmd, program, {kDone, kNoUnit});

    CLI::App* info_cmd = app.add_subcommand("info", "Serial number, firmware, generation and record header");
    info_cmd->add_flag("--json", json, "Print a JSON object");
    info_cmd->callback([&] { command = [&] { return info(ctx, json); }; });
    exit_statuses(info_cmd, program, {kDone, kNoUnit, kUnitFailed});

    CLI::App* settings = app.add_subcommand(
        "settings", "List, show, back up, compare, restore, set or edit the settings; their history and undo");
    settings->require_subcommand(1);
    exit_statuses_of_commands(settings, program);
    CLI::App* list = settings->add_subcommand("list", "Every setting: indices, unit, the window's field, file forms; "
                                                      "no unit needed");
    list->add_flag("--json", json, "Print a JSON array");
    list->callback([&] { command = [&] { return settings_list(ctx, json); }; });
    exit_statuses(list, program, {kDone});

    CLI::App* show = settings->add_subcommand("show", "The unit's settings as a table");
    show->add_flag("--json", json, "Print the backup document instead");
    show->callback([&] { command = [&] { return settings_show(ctx, json); }; });
    exit_statuses(show, program, {kDone, kNoUnit, kUnitFailed});

    CLI::App* backup = settings->add_subcommand("backup", "Write the unit's settings to a file");
    backup->add_option("FILE", file, "The file to write; - for standard output")->required();
    backup->callback([&] { command = [&] { return settings_backup(ctx, file); }; });
    exit_statuses(backup, program, {kDone, kNoUnit, kUnitFailed, kBadInput});

    std::string other;
    CLI::App* diff = settings->add_subcommand(
        "diff", "List the settings where the unit and a file differ, or two files (no unit needed)");
    diff->add_option("FILE", file, "A settings file; - for standard input")->required();
    diff->add_option("OTHER", other, "A second settings file: compare the two files instead of the unit");
    diff->callback([&] { command = [&] { return settings_diff(ctx, file, other); }; });
    exit_statuses(diff, program, {kDone, kDifferences, kNoUnit, kUnitFailed, kBadInput});

    CLI::App* restore = settings->add_subcommand("restore", "Send the settings a file names, commit and verify");
    restore->add_option("FILE", file, "A settings file; - for standard input")->required();
    restore->add_flag("--dry-run", dry_run, "Print what would be sent and send nothing");
    restore->add_flag("--force", force,
                      "Restore a file whose record version differs from the unit's, or settings that would not be "
                      "plausible together");
    restore->add_flag("--no-history", ctx.no_history, "Commit without an entry in the settings history");
    restore->add_flag("--include-identity", include_identity,
                      "Copy registration, ownship_icao and icao_address_type from a file of another unit, or of none");
    restore->callback([&] {
        command = [&] { return settings_restore(ctx, file, {dry_run, force, include_identity}); };
    });
    exit_statuses(restore, program, {kDone, kNoUnit, kUnitFailed, kBadInput, kInterrupted});

    CLI::App* set = settings->add_subcommand("set", "Set settings by name, commit and verify");
    set->add_option("NAME=VALUE", assignments, "e.g. vne=160 sky_color_upper=#3c78d8 registration=N12345")->required();
    set->add_flag("--dry-run", dry_run, "Print what would be sent and send nothing");
    set->add_flag("--force", force, "Send settings that would not be plausible together");
    set->add_flag("--no-history", ctx.no_history, "Commit without an entry in the settings history");
    set->callback([&] { command = [&] { return settings_set(ctx, assignments, dry_run, force); }; });
    exit_statuses(set, program, {kDone, kNoUnit, kUnitFailed, kBadInput, kInterrupted});

    size_t limit = 20;
    CLI::App* history = settings->add_subcommand(
        "history", "Every commit of the unit's settings, newest first (with --serial and no unit: that serial's)");
    history->add_flag("--json", json, "Print a JSON array of the entries");
    history->add_option("--limit", limit, "Show at most N entries (default 20)")->type_name("N");
    history->callback([&] { command = [&] { return settings_history(ctx, json, limit); }; });
    exit_statuses(history, program, {kDone, kNoUnit});

    CLI::App* undo = settings->add_subcommand(
        "undo", "Bring the unit back to its settings before the newest committed change; a second undo redoes it");
    undo->add_flag("--dry-run", dry_run, "Print what would be sent and send nothing");
    undo->add_flag("--no-history", ctx.no_history, "Commit without an entry in the settings history");
    undo->callback([&] { command = [&] { return settings_undo(ctx, dry_run); }; });
    exit_statuses(undo, program, {kDone, kNothingToUndo, kNoUnit, kUnitFailed, kBadInput, kInterrupted});

    CLI::App* edit = settings->add_subcommand("edit", "Change settings by name in a settings file; no unit needed");
    edit->add_option("FILE", file, "The settings file, written back in place")->required();
    edit->add_option("NAME=VALUE", assignments, "e.g. vne=160 sky_color_upper=#3c78d8")->required();
    edit->add_flag("--force", force, "Write settings that would not be plausible together");
    edit->callback([&] { command = [&] { return settings_edit(ctx, file, assignments, force); }; });
    exit_statuses(edit, program, {kDone, kBadInput});

    CLI::App* calibration = app.add_subcommand("calibration", "Show, back up or compare the sensor calibration "
                                                              "(read only: it is never written)");
    calibration->require_subcommand(1);
    exit_statuses_of_commands(calibration, program);
    CLI::App* cal_show = calibration->add_subcommand("show", "Every calibration word, grouped by block");
    cal_show->add_flag("--json", json, "Print a JSON array");
    cal_show->callback([&] { command = [&] { return calibration_show(ctx, json); }; });
    exit_statuses(cal_show, program, {kDone, kNoUnit, kUnitFailed});
    CLI::App* cal_backup = calibration->add_subcommand("backup", "Write the unit's calibration to a file");
    cal_backup->add_option("FILE", file, "The file to write; - for standard output")->required();
    cal_backup->callback([&] { command = [&] { return calibration_backup(ctx, file); }; });
    exit_statuses(cal_backup, program, {kDone, kNoUnit, kUnitFailed, kBadInput});
    CLI::App* cal_diff = calibration->add_subcommand("diff", "List the calibration words where the unit and a file "
                                                             "differ");
    cal_diff->add_option("FILE", file, "A calibration file or a firmware update's backup; - for standard input")
        ->required();
    cal_diff->callback([&] { command = [&] { return calibration_diff(ctx, file); }; });
    exit_statuses(cal_diff, program, {kDone, kDifferences, kNoUnit, kUnitFailed, kBadInput});

    CLI::App* reboot_cmd = app.add_subcommand("reboot", "Restart the unit into its boot loader");
    reboot_cmd->callback([&] { command = [&] { return reboot(ctx); }; });
    exit_statuses(reboot_cmd, program, {kDone, kNoUnit, kUnitFailed});

    CLI::App* firmware = app.add_subcommand("firmware", "Check, upload or install a firmware image");
    firmware->require_subcommand(1);
    exit_statuses_of_commands(firmware, program);
    CLI::App* check = firmware->add_subcommand("check", "Inspect an image file; no unit needed");
    check->add_option("FILE", file, "The firmware image")->required();
    check->callback([&] { command = [&] { return firmware_check(ctx, file); }; });
    exit_statuses(check, program, {kDone, kBadInput});
    CLI::App* fw_upload = firmware->add_subcommand("upload", "Write an image into the bank the unit names");
    fw_upload->add_option("FILE", file, "The firmware image")->required();
    fw_upload->callback([&] { command = [&] { return firmware_upload(ctx, file); }; });
    exit_statuses(fw_upload, program, {kDone, kNoUnit, kUnitFailed, kBadInput, kInterrupted});
    UpdateArgs update_args;
    CLI::App* fw_update = firmware->add_subcommand(
        "update", "Back up the settings, upload the image, restart the unit, confirm its version and restore the "
                  "settings");
    fw_update->add_option("IMAGE", file, "The firmware image")->required();
    fw_update->add_flag("--allow-downgrade", update_args.allow_downgrade, "Install an image older than the unit's");
    fw_update->add_flag("--no-restore", update_args.no_restore, "Leave the settings as the new firmware finds them");
    fw_update->add_flag("--no-history", ctx.no_history,
                        "Restore the settings without an entry in the settings history");
    fw_update
        ->add_option("--timeout", update_args.timeout_seconds,
                     "How long to wait for the unit to come back after its restart (default 60)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.1, 3600.0));
    fw_update->callback([&] { command = [&] { return firmware_update(ctx, file, update_args); }; });
    exit_statuses(fw_update, program, {kDone, kNoUnit, kUnitFailed, kBadInput, kInterrupted});

    CLI::App* airports = app.add_subcommand("airports", "Upload an airport database");
    airports->require_subcommand(1);
    exit_statuses_of_commands(airports, program);
    CLI::App* db_upload = airports->add_subcommand("upload", "Write a database file into the unit's flash");
    db_upload->add_option("FILE", file, "The airport database file")->required();
    db_upload->callback([&] { command = [&] { return airports_upload(ctx, file); }; });
    exit_statuses(db_upload, program, {kDone, kNoUnit, kUnitFailed, kBadInput, kInterrupted});
    CLI::App* doctor_cmd = app.add_subcommand("doctor", "Check the program, the udev rule, the bus and each unit, and "
                                                        "say what to do about what fails");
    doctor_cmd->add_flag("--json", json, "Print a JSON array of the checks");
    doctor_cmd->callback([&] { command = [&] { return doctor(ctx, json); }; });
    exit_statuses(doctor_cmd, program, {kDone, kNoUnit});

    CLI::App* report_cmd = app.add_subcommand("report", "Write a support report: the program, the system, the checks, "
                                                        "the unit, its settings and calibration, backups and the logs");
    report_cmd->add_option("FILE", file,
                           "The file to write (default efis-report-<serial>-<time>.txt); - for "
                           "standard output");
    report_cmd->add_flag("--include-identity", include_identity,
                         "Leave the registration and ICAO address in (they are withheld otherwise)");
    report_cmd->callback([&] { command = [&] { return report(ctx, file, include_identity); }; });
    exit_statuses(report_cmd, program, {kDone, kBadInput});
    // Last, so that no command inherits it: the table stands once.
    app.footer(kExitStatuses);

    std::vector<const char*> argv;
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() != 0) {
            if (const auto text = unknown_command(app, args, program)) {
                return ctx.fail(kUsage, *text);
            }
        }
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
    ctx.serial = serial_text.empty() ? std::nullopt : operations::parse_serial(serial_text);
    ctx.wait = std::chrono::milliseconds(static_cast<int64_t>(wait_seconds * 1000.0));
    DeviceLogScope log_scope(ctx);
    return command();
}

} // namespace efis_cli
