// What every command of efis-cli shares: the streams, the global options and how a command reports
// a note or a failure.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/cli.h"

namespace efis_cli {

class Progress;

struct Context {
    const Streams& io;
    bool verbose = false;
    bool quiet = false;
    std::string program = "efis-cli";  // as started, without its directory; names our lock on a unit
    std::optional<uint32_t> serial{};  // --serial: the unit to use among several
    std::chrono::milliseconds wait{0}; // --wait: how long to look for the unit before giving up
    Progress* progress = nullptr;      // the progress line being drawn, if any
    std::string command{};             // the command line after the program's name, for the history
    bool no_history = false;           // --no-history: commit without an entry in the settings history

    // A note on standard error, unless --quiet.
    void note(const std::string& text) const;
    void warn(const std::string& text) const; // shown even with --quiet
    // Prints "efis-cli: <text>" on standard error and returns `status`.
    int fail(int status, const std::string& text) const;
};

} // namespace efis_cli
