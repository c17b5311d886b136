// The output reports a virtual unit received, exactly as the program wrote them.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/virtual_unit.h"

namespace support {

// Every report sent to the unit, or only those of one frame identifier, in order.
inline std::vector<std::vector<uint8_t>> sent_reports(const sim::VirtualUnit& unit, uint32_t id = sim::kAnyId)
{
    std::vector<std::vector<uint8_t>> out;
    for (const sim::LoggedReport& r : unit.log()) {
        if (r.direction == sim::Direction::ToUnit && (id == sim::kAnyId || r.frame.can_ID == id)) {
            out.push_back(r.bytes);
        }
    }
    return out;
}

} // namespace support
