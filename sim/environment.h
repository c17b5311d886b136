// The virtual units of efis-config-sim and efis-cli-sim, as the environment describes them. These
// model what a person can do with cables and what the unit does when it restarts:
//
//   EFIS_SIM_SERIALS=0x00C0FFEE,0x0BADF00D  one demo unit per serial (hex, 0x optional); unset: one
//                                           demo unit, serial 0x00C0FFEE
//   EFIS_SIM_PRESENT_AFTER_MS=N             the units appear N ms after the start
//   EFIS_SIM_UNPLUG_AT_MS=N                 they leave the bus at N ms (open handles fail) ...
//   EFIS_SIM_REPLUG_AT_MS=M                 ... and come back at M ms
//   EFIS_SIM_RESTART_MS=N                   after the reboot frame a unit is away N ms (default 2000)
//   EFIS_SIM_REJECT_IMAGES=1                it never starts a new image
//   EFIS_SIM_UPDATE_RESETS_SETTINGS=1       a newly started image finds a fresh unit's blank record
//   EFIS_SIM_UPDATE_RECORD_VERSION=N        a newly started image has settings record version N
//
// Every unit gets the same schedule and restart behaviour (VirtualUnit says what each means).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/virtual_unit.h"

namespace sim {

struct SimEnvironment {
    std::vector<uint32_t> serials = {}; // empty: the demo unit's own
    PresenceSchedule presence = {};
    std::chrono::milliseconds restart_time{2000};
    bool reject_images = false;
    bool update_resets_settings = false;
    std::optional<uint32_t> update_record_version = std::nullopt;
};

using EnvironmentLookup = std::function<const char*(const char* name)>;

// Reads the variables through `lookup` (the process environment by default). A malformed value is
// described in `problems` and left at its default, so that the program still starts.
SimEnvironment read_environment(std::vector<std::string>* problems, const EnvironmentLookup& lookup = {});

// Demo units, one per serial, each with the environment's presence schedule (counted from `start`)
// and restart behaviour. They are not plugged: the program decides how.
std::vector<std::shared_ptr<VirtualUnit>>
make_units(const SimEnvironment& env, std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now());

} // namespace sim
