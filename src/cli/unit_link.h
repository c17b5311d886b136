// The unit as the commands meet it: the operations below both front ends, worded for a terminal.
#pragma once

#include <cstdint>
#include <string>

#include "cli/context.h"
#include "operations/operations.h"

namespace efis_cli {

using operations::RecordRead;

struct Unit {
    operations::UnitLock lock; // released after the link below is closed
    CommsManager comms;
    operations::UnitIdentity id;
    std::string path;
};

// Connects to the unit --serial names (or the only one), waiting for it as --wait allows. kDone,
// or kNoUnit after saying why: not found, several and none chosen, in use by another program,
// found but not openable, or silent to WHOAMI.
int connect_unit(const Context& ctx, Unit& unit);

// "efis-config (pid 4242)"
std::string holder_text(const operations::LockHolder& holder);

// Reads the header (252..255) and every value (0..35); kUnitFailed at the first unanswered read.
int read_record(const Context& ctx, Unit& unit, RecordRead* out);

struct WriteOptions {
    bool dry_run = false; // say what would be sent, and send nothing
    bool force = false;   // send values that make the record implausible
    // What goes on after a first Ctrl-C, in its message: "the restore goes on".
    const char* what = "restore";
    bool check_plausibility = true; // false for a record the unit held before (an undo)
};

// Makes the unit hold `values` (a subset of settings): sends each differing setting in index
// order, each acknowledged, commits the record as the window's Save does, reads every value and
// the stored checksum back and compares them. Stops at the first refused write without a commit.
// A record that would be implausible afterwards is refused (kBadInput) unless options.force;
// values beyond what the window's fields offer are noted. A first Ctrl-C while values are sent
// only warns; a second stops before the next value (kInterrupted).
int write_settings(const Context& ctx, Unit& unit, const RecordRead& before, const settings_file::Values& values,
                   const WriteOptions& options);

} // namespace efis_cli
