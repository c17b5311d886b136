// efis-cli: the unit's settings, firmware and airport database from a terminal or a script.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace efis_cli {

// Exit statuses, documented in --help and the manual.
enum ExitStatus : int {
    kDone = 0,
    kDifferences = 1,   // settings diff or calibration diff found differences
    kNothingToUndo = 1, // settings undo found no committed change in the unit's history
    kUsage = 2,
    kNoUnit = 3,        // no unit found, found but not opened, or it did not answer WHOAMI
    kUnitFailed = 4,    // the unit refused or stopped answering: an exchange, commit, verification or transfer
    kBadInput = 5,      // a file that cannot be read, parsed or accepted, an unknown name, a bad value or image
    kInterrupted = 130, // stopped by Ctrl-C: 128 + SIGINT, as a shell reports it
};

struct Streams {
    std::ostream& out; // results
    std::ostream& err; // errors, notes, progress and, with --verbose, the device layer's lines
    bool err_is_terminal = false;
};

// Runs one command line (args[0] is the program name) and returns its exit status. Nothing else
// in the process is touched but the device layer's log sink, which is restored on return.
int run(const std::vector<std::string>& args, const Streams& io);

} // namespace efis_cli
