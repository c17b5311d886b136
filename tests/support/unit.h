// A virtual unit on the bus, as a fresh program start would find it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/demo_unit.h"
#include "sim/hid_backend.h"
#include "sim/virtual_unit.h"

namespace support {

// Plugs a unit alone on the bus and empties the firmware-version cache.
std::shared_ptr<sim::VirtualUnit> plug_unit(const sim::UnitConfig& config = {});
// The same with the demo unit (0.2.12, a complete settings record).
std::shared_ptr<sim::VirtualUnit> plug_demo_unit();

// The frames the unit received with identifier `id`: how many, and the first data byte of each
// (the index, for a value's read or write).
size_t count_requests(const sim::VirtualUnit& unit, uint32_t id);
std::vector<uint32_t> request_indices(const sim::VirtualUnit& unit, uint32_t id);

} // namespace support
