// What a person sends to whoever helps: the connection checks, the log each program keeps and the
// support report. Included by operations.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "comms/comms.h"

namespace operations {

struct UnitIdentity;

// --- the connection checks --------------------------------------------------------------------

enum class CheckStatus { Ok, Fail, Note };

// One line of the checks. The sentences are the same for both front ends, so they are made here
// (as the *_text functions are); the facts beside them are for --json and for tests.
struct Check {
    std::string check; // "program", "udev_rule", "bus", "unit", "record"
    CheckStatus status = CheckStatus::Ok;
    std::string message;
    std::string fix; // what to do; empty when nothing needs doing
    std::string path;
    std::optional<uint32_t> serial;
    std::optional<std::string> firmware;
    std::optional<std::string> generation;
    std::optional<long> elapsed_ms;
};

struct DoctorOptions {
    std::string program = "efis-cli"; // as the program line names it, and for the units' locks
    std::string version;
    std::optional<uint32_t> serial; // check only this unit
    // Where udev rules are looked for (Linux); empty: the system's folders.
    std::vector<std::string> udev_dirs;
    // A unit the caller holds open: reported from this link, never opened a second time.
    CommsManager* own_link = nullptr;
    std::string own_path;
};

struct DoctorResult {
    std::vector<Check> checks;
    bool ready = false; // the unit chosen (or every unit on the frame interface) answered, its record read
};

DoctorResult run_checks(const DoctorOptions& options);

// "ok", "FAIL", "note"
const char* check_status_text(CheckStatus status);
// The lines as a person reads them: "<status>  <message>", a fix indented below its line.
std::string checks_text(const std::vector<Check>& checks);

// What `ls -l` shows of a device node and whether this user may open it; for a node that refused.
struct NodeAccess {
    bool known = false; // the node could be looked at
    std::string mode;   // "crw-rw----"
    std::string owner;
    std::string group;
    bool in_group = false;  // this user is in the node's group
    bool acl_entry = false; // the node has an ACL entry for this user
};
NodeAccess node_access(const std::string& node);

// --- the log each program keeps -----------------------------------------------------------------

// <state directory>/logs/<program>.log
std::string program_log_path(const std::string& program);

// Starts this process's log: <state directory>/logs/<program>.log, renamed to .1 first (the older
// ones moving up, three kept) when it is past 1 MiB, by one program at a time. A log that cannot
// be written stops nothing: `complain` is told once, with a sentence.
void start_program_log(const std::string& program, std::function<void(const std::string&)> complain);
// Ends it (the rest of a line not yet ended is written).
void stop_program_log();
// Appends text: every line whole, each with the local time to the millisecond and the pid. A piece
// without its '\n' waits for the rest of its line. Nothing happens while no log is started.
void program_log(std::string_view text);

// --- the support report -------------------------------------------------------------------------

struct ReportOptions {
    std::string program; // "efis-cli", "efis-config"
    std::string version;
    std::string qt_version; // empty: the program does not use Qt
    bool include_identity = false;
    DoctorOptions doctor;
    // The unit the report describes, connected; nullptr: no unit.
    CommsManager* unit_link = nullptr;
    std::optional<uint32_t> serial; // without a link: the unit the backups are listed for
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
};

struct Report {
    std::string text;
    std::optional<uint32_t> serial; // the unit described, when one was
};

// The report's text: sections program, system, checks, unit, settings, calibration, backups and log.
Report support_report(const ReportOptions& options);
// efis-report-<SERIAL or no-unit>-<yyyy-MM-ddTHH-mm-ss>.txt
std::string default_report_name(std::optional<uint32_t> serial, std::chrono::system_clock::time_point now);
// Every stand of the registration text and the ICAO address (six hexadecimal digits, any case)
// in `text`, and every value after "registration=" or "ownship_icao=", replaced by "(withheld)".
std::string withhold_identity(std::string text, const std::string& registration, const std::string& icao);

} // namespace operations
