// The tool's in-memory copy of the unit's user settings, shared by the form and the load, update
// and save transactions (all on the GUI thread).
#pragma once

#include <cstdint>

#include "efis_shared/settings_types.h"

extern Settings_t user_config;      // filled by a load, shown and edited by the form
extern uint32_t user_config_chk;    // checksum the unit reported at the last load
extern uint32_t mem_version;        // record version read at the last load or save
extern uint32_t user_config_sizeof; // 128, set again at every load
