// The "Virtual Unit" menu of efis-config-sim, so that a person can try what the window does when
// the unit's cable is pulled and plugged in again. Only the sim program has it.
#pragma once

#include <memory>
#include <vector>

class QMainWindow;
class QMenu;

namespace sim {
class VirtualUnit;
}

// Adds "Virtual Unit" right after the "File" menu, with "Unplug" and "Plug In". Both act on every
// virtual unit at once, as a person with one cable in each hand would; each is enabled while some
// unit's cable is in (Unplug) or out (Plug In), as the menu opens.
QMenu* add_virtual_unit_menu(QMainWindow& window, std::vector<std::shared_ptr<sim::VirtualUnit>> units);
