// The virtual unit behind efis-cli-sim. A real unit keeps its settings between two invocations of
// the program, so this one does too: its records live in a small state file, read when the
// program starts and written when it ends.
//
// The file is $EFIS_SIM_STATE when set, else $XDG_STATE_HOME/efis-config/cli-sim-unit.json (with
// ~/.local/state for an unset XDG_STATE_HOME). EFIS_SIM_FIRMWARE=legacy, or a version such as
// 0.2.11, makes the unit speak that firmware generation.
#pragma once

#include <memory>
#include <ostream>
#include <string>

namespace sim {
class VirtualUnit;
}

namespace efis_cli {

class SimUnit {
public:
    explicit SimUnit(std::ostream& err);
    ~SimUnit(); // writes the state file
    SimUnit(const SimUnit&) = delete;
    SimUnit& operator=(const SimUnit&) = delete;

    static std::string state_path();

private:
    std::ostream& err_;
    std::string path_;
    std::shared_ptr<sim::VirtualUnit> unit_;
};

} // namespace efis_cli
