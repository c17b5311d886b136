// The tool's in-memory copy of the unit's user settings, shared by the form and the load, update
// and save transactions (all on the GUI thread).
#pragma once

#include <cstdint>

#include "efis_shared/settings_types.h"

class CommsManager;

extern Settings_t user_config;      // filled by a load, shown and edited by the form
extern uint32_t user_config_chk;    // checksum the unit reported at the last load
extern uint32_t mem_version;        // record version read at the last load or save
extern uint32_t user_config_sizeof; // 128, set again at every load

// Sends the save-settings frame with the record checksum and waits for the unit to erase its
// settings area (flash acknowledgement) and confirm the save (general acknowledgement).
// 0 on success, -1 otherwise.
int store_settings(CommsManager* comms, uint32_t crc);
