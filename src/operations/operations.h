// What a user does with one unit, written once for the window and the command line: connecting with
// a reason for every failure, reading, committing, verifying and applying the settings record.
// Each result names the step that ended it; the front ends word it.
#pragma once

#include <optional>

#include "comms/comms.h"
#include "efis_shared/firmware.h"
#include "settings_file/settings_file.h"

namespace operations {

// Who answered the identity request.
struct UnitIdentity {
    uint32_t serial = 0;
    fwversion_t firmware{};
    bool legacy = false;           // speaks the identifiers and acknowledgements before 0.2.12
    bool version_reported = false; // false for a unit that answers only the legacy identity request
};

// The unit facts a settings file records; no firmware version when the unit reported none.
settings_file::UnitInfo unit_info(const UnitIdentity& unit);

} // namespace operations
