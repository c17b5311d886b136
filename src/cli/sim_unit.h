// The virtual units behind efis-cli-sim. A real unit keeps its settings and its firmware between two
// invocations of the program, so these do too. Each unit's state lives in a small file, read when
// the program opens the unit and written when it closes it: a program holds a unit's lock from
// before it opens the unit until after it closes it, so two programs at once never lose an update.
//
// Where: with one unit (EFIS_SIM_SERIALS unset), the file is $EFIS_SIM_STATE when set, else
// $XDG_STATE_HOME/efis-config/cli-sim-unit.json (with ~/.local/state for an unset XDG_STATE_HOME,
// %LOCALAPPDATA% on Windows). With EFIS_SIM_SERIALS every unit has a file of its own, that name
// with the unit's serial added: cli-sim-unit-0BADF00D.json, or /x/u-0BADF00D.json for
// EFIS_SIM_STATE=/x/u.json. A file belongs to a serial, whatever the order of the list.
//
// What: the working and stored settings records, the firmware generation and version, the bank the
// unit names and the complete images written into its banks since it last started, so that an
// upload in one run and a reboot in the next start the image. A unit that is restarting as the
// program closes it is kept as it comes back: the next run finds it back already.
//
// EFIS_SIM_FIRMWARE=legacy, or a version such as 0.2.11, makes the units speak that firmware for
// this run; their files keep the firmware they had, unless a new image starts. sim/environment.h
// describes the other EFIS_SIM_* variables (several units, cables, restarts).
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace efis_cli {

class SimUnit {
public:
    explicit SimUnit(std::ostream& err); // puts the units on the virtual bus
    ~SimUnit();                          // keeps the state of a unit still open, and detaches them
    SimUnit(const SimUnit&) = delete;
    SimUnit& operator=(const SimUnit&) = delete;

    // The file of the single unit.
    static std::string state_path();
    // The file of the unit with `serial`: the single unit's, or one per serial.
    static std::string state_path(uint32_t serial, bool per_serial);

    struct Kept; // one unit and its file

private:
    std::vector<std::shared_ptr<Kept>> kept_;
};

} // namespace efis_cli
