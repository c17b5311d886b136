// The commands of efis-cli, each returning its exit status.
#pragma once

#include <string>
#include <vector>

#include "cli/context.h"

namespace efis_cli {

int list_units(Context& ctx, bool json);
int info(Context& ctx, bool json);
int reboot(Context& ctx);

int settings_show(Context& ctx, bool json);
int settings_backup(Context& ctx, const std::string& file);
int settings_diff(Context& ctx, const std::string& file);
struct RestoreOptions {
    bool dry_run = false;
    bool force = false;            // a record version other than the unit's; implausible settings
    bool include_identity = false; // the aircraft's identity from a file of another unit, or of none
};
int settings_restore(Context& ctx, const std::string& file, const RestoreOptions& options);
int settings_set(Context& ctx, const std::vector<std::string>& assignments, bool dry_run, bool force);

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
