// Indexed access to the settings and calibration records, and the settings checksum.
// Each index addresses one 32-bit value: narrow fields in the low bits, floats as their bit
// pattern, registration bytes four to a word with the first byte most significant.
#pragma once

#include <cstdint>

#include "efis_shared/calib_types.h"
#include "efis_shared/settings_types.h"

// Stores one value and refreshes crc32. False (record untouched) for an index without a field or a
// null argument.
bool settings_set_value(Settings_t* dest, settings_struct_index index, uint32_t* new_value);
// The value of one index, or 0xFFFFFFFF for an index without a field.
uint32_t settings_get_value(const Settings_t* src, settings_struct_index index);
// Checksum over num_elements words from `magic`; 0 for an erased record (crc32 == 0xFFFFFFFF).
// A num_elements above 31 is clamped to 31: the record holds no more, and the checksum never
// reads past it.
uint32_t settings_CalcCRC(const Settings_t* s);

// Stores one raw word into the one calibration field the index names; no checksum is touched.
bool calib_set_value(SENSOR_CALIB_t* dest, sensor_calib_struct_index index, uint32_t* new_value);
// The raw word of the field, or 0 for an index without a field.
uint32_t calib_get_value(const SENSOR_CALIB_t* src, sensor_calib_struct_index index);
// Whether a calibration index names a field of the record.
bool calib_index_has_field(uint32_t index);
