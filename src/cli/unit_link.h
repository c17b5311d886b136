// The unit as the commands meet it: connecting with a reason for every failure, reading the whole
// settings record, and writing settings with the window's commit and a read-back.
#pragma once

#include <cstdint>
#include <string>

#include "cli/context.h"
#include "comms/comms.h"
#include "efis_shared/settings_types.h"
#include "settings_file/settings_file.h"

namespace efis_cli {

struct Unit {
    CommsManager comms;
    uint32_t serial = 0;
    fwversion_t firmware{};
    bool legacy = false; // speaks the identifiers and acknowledgements before 0.2.12
};

// kDone, or kNoUnit after saying why: not found, found but not openable, or silent to WHOAMI.
int connect_unit(const Context& ctx, Unit& unit);

struct RecordRead {
    Settings_t record{};        // header words as reported, values 0..35 as read
    uint32_t unit_checksum = 0; // index 252 as the unit reported it
    bool checksum_ok = false;   // the record's own checksum equals the unit's
};

// Reads the header (252..255) and every value (0..35); kUnitFailed at the first unanswered read.
int read_record(const Context& ctx, Unit& unit, RecordRead* out);

settings_file::UnitInfo unit_info(const Unit& unit);
settings_file::RecordInfo record_info(const RecordRead& read);

// Makes the unit hold `values` (a subset of settings): sends each differing setting in index
// order, each acknowledged, commits the record as the window's Save does, reads every value and
// the stored checksum back and compares them. Stops at the first refused write without a commit.
// With dry_run, prints what would be sent and sends nothing.
int write_settings(const Context& ctx, Unit& unit, const RecordRead& before, const settings_file::Values& values,
                   bool dry_run);

std::string version_text(const fwversion_t& fw); // major.minor.patch

} // namespace efis_cli
