// A plausible current unit for the simulator build of the program and for tests that just need a
// well-filled peer.
#pragma once

#include <memory>

#include "sim/virtual_unit.h"

namespace sim {

// Firmware 0.2.12, serial 0x00C0FFEE, a complete self-consistent settings record.
std::shared_ptr<VirtualUnit> make_demo_unit();

// Plugs a demo unit on the unit's usage page, with a small per-reply latency so that progress
// bars visibly move.
void install_demo_unit();

} // namespace sim
