// The commands of efis-cli, each returning its exit status.
#pragma once

#include <string>
#include <vector>

#include "cli/context.h"
#include "operations/operations.h"

namespace efis_cli {

int list_units(Context& ctx, bool json);
int info(Context& ctx, bool json);
int reboot(Context& ctx);

int settings_show(Context& ctx, bool json);
int settings_backup(Context& ctx, const std::string& file);
// With `other`, compares the two files and needs no unit.
int settings_diff(Context& ctx, const std::string& file, const std::string& other = {});
struct RestoreOptions {
    bool dry_run = false;
    bool force = false;            // a record version other than the unit's; implausible settings
    bool include_identity = false; // the aircraft's identity from a file of another unit, or of none
};
int settings_restore(Context& ctx, const std::string& file, const RestoreOptions& options);
int settings_set(Context& ctx, const std::vector<std::string>& assignments, bool dry_run, bool force);

int settings_history(Context& ctx, bool json, size_t limit);
int settings_undo(Context& ctx, bool dry_run);
int settings_diff_files(Context& ctx, const std::string& file, const std::string& other);
int settings_edit(Context& ctx, const std::string& file, const std::vector<std::string>& assignments, bool force);

// Shared by the settings commands: a file (- for standard input), NAME=VALUE words, and the unit
// with its whole record (warning when its checksum does not match it).
int read_file(Context& ctx, const std::string& file, settings_file::Document* doc);
// The text of a file, or of standard input for "-", no more than a settings file may hold.
int read_input(Context& ctx, const std::string& file, std::string* text);
int parse_assignments(Context& ctx, const std::vector<std::string>& assignments, settings_file::Values* values);
struct Unit;
int read_unit(Context& ctx, Unit& unit, operations::RecordRead* read);
// "Backed up the <what> of unit 0x00C0FFEE (firmware 0.2.12) to <file>", on standard error.
void note_backup(Context& ctx, const char* what, const operations::UnitIdentity& unit, const std::string& file);

int calibration_show(Context& ctx, bool json);
int calibration_backup(Context& ctx, const std::string& file);
int calibration_diff(Context& ctx, const std::string& file);

int firmware_check(Context& ctx, const std::string& file);
int firmware_upload(Context& ctx, const std::string& file);

struct UpdateArgs {
    bool allow_downgrade = false;
    bool no_restore = false;
    double timeout_seconds = 60;
};
int firmware_update(Context& ctx, const std::string& file, const UpdateArgs& args);
int airports_upload(Context& ctx, const std::string& file);

int doctor(Context& ctx, bool json);
// FILE empty: the default name in the working directory; "-": standard output.
int report(Context& ctx, const std::string& file, bool include_identity);

} // namespace efis_cli
