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
int settings_restore(Context& ctx, const std::string& file, bool dry_run, bool force);
int settings_set(Context& ctx, const std::vector<std::string>& assignments, bool dry_run);

int firmware_check(Context& ctx, const std::string& file);
int firmware_upload(Context& ctx, const std::string& file);
int airports_upload(Context& ctx, const std::string& file);

} // namespace efis_cli
