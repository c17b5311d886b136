// The "Virtual Unit" menu of efis-config-sim, so that a person can try what the window does when
// the unit's cable is pulled and plugged in again. Only the sim program has it.
#pragma once

#include <memory>
#include <vector>

class MainWindow;
class QMenu;

namespace sim {
class VirtualUnit;
}

// Adds "Virtual Unit" right after the "Unit" menu (or "File"), with "Unplug" and "Plug In". Both act
// on the unit the window is connected to, or holds to or last was connected to, as a person pulls
// that one cable; before the window has known any unit, on every virtual unit at once. Each is
// enabled while that unit's cable is in (Unplug) or out (Plug In), as the menu opens.
QMenu* add_virtual_unit_menu(MainWindow& window, std::vector<std::shared_ptr<sim::VirtualUnit>> units);
