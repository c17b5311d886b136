// What a user does with one unit, written once for the window and the command line: connecting with
// a reason for every failure, reading, committing, verifying and applying the settings record, and
// judging an upload's file before anything is sent. Every result names the step that ended it;
// the *_text functions turn a step into a sentence for a front end that has no fixed text of its
// own. Nothing here prints or throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "comms/comms.h"
#include "efis_shared/firmware.h"
#include "efis_shared/settings_types.h"
#include "firmware_ops/firmware_ops.h"
#include "operations/diagnostics.h"
#include "operations/unit_lock.h"
#include "settings_file/settings_file.h"

namespace operations {

// --- connecting -------------------------------------------------------------------------------

// Who answered the identity request.
struct UnitIdentity {
    uint32_t serial = 0;
    fwversion_t firmware{};
    bool legacy = false;           // speaks the identifiers and acknowledgements before 0.2.12
    bool version_reported = false; // false for a unit that answers only the legacy identity request
};

// Which unit to connect to, and who asks (the name goes into the unit's lock).
struct UnitChoice {
    std::optional<uint32_t> serial; // the unit with this serial; none: the one unit there is
    bool first_free = false;        // with several units and no serial: the first one not in use
    std::string program = "efis";
};

enum class ConnectStep {
    Connected,
    NotFound,    // no unit on the frame interface is listed
    NotOpenable, // listed, but the system would not open it (on Linux typically the missing udev rule)
    NoIdentity,  // opened, but it did not answer the identity request
    InUse,       // another program of ours holds the unit: holder
    Several,     // several units and no serial to choose by: found
    NoMatch,     // no unit with the serial asked for: found
    LockFailed,  // the unit's lock could not be taken: lock_error
};

// A unit as a look at the bus finds it.
struct FoundUnit {
    std::string path;
    std::optional<uint32_t> listed_serial;     // the serial its USB descriptor states, when it states one
    std::optional<LockHolder> in_use_by;       // held by another program of ours: it was not opened
    ConnectStep probe = ConnectStep::NotFound; // find_units only: Connected when `unit` was read
    UnitIdentity unit;
    std::string open_error;
};

struct Connection {
    ConnectStep step = ConnectStep::NotFound;
    UnitIdentity unit;            // when connected
    std::string path;             // the unit's device path (connected, refused or in use)
    std::string open_error;       // hidapi's text when NotOpenable
    LockHolder holder;            // InUse
    std::string lock_error;       // LockFailed
    std::vector<FoundUnit> found; // Several and NoMatch: the units there are
    UnitLock lock;                // held while connected; keep it as long as the link is open
    bool ok() const { return step == ConnectStep::Connected; }
};

// Takes the chosen unit's lock, opens it (closing whatever link `comms` had) and proves it with the
// identity request. A unit whose lock another program holds is not opened at all. Choosing by
// serial opens no other unit.
Connection connect_unit(CommsManager* comms, const UnitChoice& choice = {});

// The units listed now, nothing opened.
std::vector<FoundUnit> listed_units();
// Whether a unit with this device path is listed now.
bool unit_listed(const std::string& path);
// Every unit there is: each one not in use is opened under its lock, identified and closed again.
std::vector<FoundUnit> find_units(const std::string& program);
// One listed unit as find_units looks at it; the firmware-version gate stays as it was.
void look_at_unit(FoundUnit* u, const std::string& program);

// Looks every `interval` for up to `timeout` until a (matching) unit is there, then connects to it.
// Gives up early when `keep_waiting` says so. Without a unit in time: the last connection's outcome.
Connection wait_for_unit(CommsManager* comms, const UnitChoice& choice, std::chrono::milliseconds timeout,
                         std::chrono::milliseconds interval = std::chrono::milliseconds(500),
                         const std::function<bool()>& keep_waiting = {});

// Who the connected manager's last identity exchange found.
UnitIdentity identity_of(const CommsManager& comms);

// "major.minor.patch"
std::string version_text(const fwversion_t& fw);
// A serial as people type it: hexadecimal, with or without 0x.
std::optional<uint32_t> parse_serial(std::string_view text);

// --- the settings record ----------------------------------------------------------------------

// What a read does with a value the unit does not answer: stop there (nothing half read is used),
// or put 0 in its place and go on (the window, which shows what it could read and says so).
enum class UnreadValues { Stop, FillWithZero };

struct ReadOptions {
    UnreadValues unread = UnreadValues::Stop;
    std::chrono::milliseconds pause_after_value{0};
};

enum class ReadStep {
    Done,
    NotConnected,
    Header,  // a header word (252..255) went unanswered: failed_index
    Value,   // a value went unanswered (UnreadValues::Stop): failed_index
    Process, // the record refused a value: failed_index
};

struct RecordRead {
    ReadStep step = ReadStep::Done;
    uint32_t failed_index = 0;
    // Header words in the order read (252, 253, 254, 255), then values 0..35; whatever was read
    // before a failure, zero elsewhere. Storing each value recomputes crc32: the unit's own
    // checksum is unit_checksum.
    Settings_t record{};
    uint32_t unit_checksum = 0;
    bool checksum_ok = false;     // the record's checksum equals the unit's
    std::vector<uint32_t> unread; // values the unit did not answer, read as 0 (FillWithZero)
    bool ok() const { return step == ReadStep::Done; }
    // Whether the header word at `index` (252..255) was read.
    bool header_read(uint32_t index) const;
};

RecordRead read_settings(CommsManager* comms, const ReadOptions& options = {});

enum class CommitStep {
    Done,
    NotConnected,
    ReadVersion,     // index 254 went unanswered
    ReadNumElements, // index 255 went unanswered
    Send,            // the save frame could not be sent
    Erase,           // the unit did not confirm erasing its settings area
    Confirm,         // the unit did not confirm the save
};

struct Commit {
    CommitStep step = CommitStep::Done;
    uint32_t checksum = 0; // sent with the save frame, once computed
    bool ok() const { return step == CommitStep::Done; }
};

// Has the unit commit its working record: reads the record version and element count into
// *record, sets the magic "QEV_" and crc32 0, computes the checksum and sends it in the save
// frame. *record keeps whatever was reached, as the save left it.
Commit commit_settings(CommsManager* comms, Settings_t* record);

struct Mismatch {
    uint32_t index;
    uint32_t read;
    uint32_t expected;
};

enum class VerifyStep {
    Done,
    NotConnected,
    ReadValue,    // a value went unanswered: failed_index
    ReadChecksum, // index 252 went unanswered
    Values,       // some values read back different: mismatches
    Checksum,     // every value matches, but the stored checksum is not the one sent
};

struct Verification {
    VerifyStep step = VerifyStep::Done;
    uint32_t failed_index = 0;
    std::vector<Mismatch> mismatches; // every value that read back different, in index order
    uint32_t stored_checksum = 0;
    uint32_t expected_checksum = 0;
    bool ok() const { return step == VerifyStep::Done; }
};

// Reads every value and index 252 back and compares them with `expected` and `checksum`.
Verification verify_settings(CommsManager* comms, const Settings_t& expected, uint32_t checksum);
// The settings (as a settings file names them) that a verification found different.
std::vector<const settings_file::Setting*> mismatched_settings(const Verification& v);

// Told of each value before it is sent: its index, how many were sent before it, and of how many.
// Returning false stops before this value.
using ValueObserver = std::function<bool(uint32_t index, size_t sent, size_t total)>;

enum class RefusedValues { Stop, KeepGoing };

struct SendOutcome {
    bool connected = true;
    std::vector<uint32_t> sent;    // acknowledged by the unit, in the order sent
    std::vector<uint32_t> refused; // not acknowledged (KeepGoing sends on; Stop holds the one)
    bool stopped = false;          // the observer asked to stop
};

// Sends the record's word at each index, in the order given, each acknowledged by the unit.
SendOutcome send_values(CommsManager* comms, const Settings_t& record, std::span<const uint32_t> indices,
                        RefusedValues refused, std::chrono::milliseconds pause_after_value = {},
                        const ValueObserver& observer = {});

// What applying a set of values to a record read from the unit would do.
struct ApplyPlan {
    Settings_t intended{};                              // the record the unit should hold afterwards
    std::vector<const settings_file::Setting*> changes; // named settings that differ, in index order
    bool commit_needed = false;            // something differs, or the unit's checksum does not match its record
    std::vector<uint32_t> indices() const; // the changes' words, in index order
};
ApplyPlan plan_apply(const RecordRead& before, const settings_file::Values& values);

enum class ApplyStep {
    Done,
    NothingToDo,  // the unit already holds every value, and its checksum verifies
    NotConnected, // no link
    Send,         // the unit did not accept refused_index; nothing was committed
    Stopped,      // the observer stopped before stopped_index; nothing was committed
    Commit,       // sent, but the commit failed at commit.step
    Verify,       // committed, but the read-back failed at verification.step
    History,      // the history entry could not be written (history_error); nothing was sent
};

struct Application {
    ApplyStep step = ApplyStep::Done;
    ApplyPlan plan;
    std::vector<uint32_t> sent; // indices the unit acknowledged; uncommitted unless Done/Verify
    uint32_t refused_index = 0;
    uint32_t stopped_index = 0;
    Commit commit;
    Verification verification;
    std::string history_path;  // the entry written before the first value, if one was
    std::string history_error; // History
    bool ok() const { return step == ApplyStep::Done || step == ApplyStep::NothingToDo; }
};

// Makes the unit hold `values` on top of `before`: sends each differing word in index order, each
// acknowledged, stopping at the first refusal with nothing committed; commits; reads back.
Application apply_settings(CommsManager* comms, const RecordRead& before, const settings_file::Values& values,
                           const ValueObserver& observer = {});

// Sends the reboot-to-boot-loader command; true when the frame went out.
bool reboot_unit(CommsManager* comms);

// --- facts for a settings file ----------------------------------------------------------------

// The unit block of a settings file; no firmware version when the unit reported none.
settings_file::UnitInfo unit_info(const UnitIdentity& unit);
// The record block: the header as the unit reported it.
settings_file::RecordInfo record_info(const RecordRead& read);
// A backup of the record read.
settings_file::Document backup_of(const RecordRead& read, const UnitIdentity& unit);

// --- the files of an upload, judged before anything is sent -----------------------------------

struct FileInspection {
    bool readable = false;
    std::string error; // why it could not be read ("cannot open: ...")
    uint64_t size = 0;
};

struct ImageInspection : FileInspection {
    FirmwareImageCheck check;
    std::string refusal; // why the upload would refuse the image, or empty
};
ImageInspection inspect_firmware_image(const std::string& path);

struct DatabaseInspection : FileInspection {
    std::string refusal; // why the upload would refuse the file, or empty
};
DatabaseInspection inspect_airport_database(const std::string& path);

// --- the sensor calibration record (read only: the tool never writes it) ---------------------

struct CalibrationRead {
    settings_file::Calibration words; // every index that has a field, as far as it was read
    uint32_t failed_index = 0;        // the index that went unanswered
    bool complete = true;
    bool ok() const { return complete; }
};

// Every word of the calibration record that has a field, in index order; stops at the first
// unanswered read.
CalibrationRead read_calibration(CommsManager* comms);

// A calibration file of what was read from `unit`.
settings_file::CalibrationDocument calibration_backup(const CalibrationRead& read, const UnitIdentity& unit);

struct CalibrationChange {
    uint32_t index;
    uint32_t before; // as the file or the backup holds it
    uint32_t after;  // as the unit holds it now
};
// The words of `kept` that `now` holds otherwise, in index order; an index that `kept` does not
// hold is not compared, and one that `now` lacks counts as changed.
std::vector<CalibrationChange> calibration_differences(const settings_file::Calibration& kept,
                                                       const settings_file::Calibration& now);

// --- the guided firmware update -------------------------------------------------------------

// A version as images and identity replies state it: "0.3.0", or "0.3.0-rc2" for a candidate.
std::string release_text(const fwversion_t& fw);
// Below, equal or above zero as `a` is older, the same or newer than `b`; a release (rc 0) comes
// after its candidates.
int compare_versions(const fwversion_t& a, const fwversion_t& b);

enum class ImageVerdict {
    Accepted,
    Unreadable, // the file could not be read: inspection.error
    Refused,    // the upload would refuse it: inspection.refusal
    NoVersion,  // its header states no version (0)
    Downgrade,  // older than the unit's firmware, and no downgrade was allowed
};

struct UpdateImage {
    ImageInspection inspection;
    fwversion_t version{};
    ImageVerdict verdict = ImageVerdict::Unreadable;
    bool unit_version_known = false; // the unit reported its version, so the two could be compared
    bool same_version = false;       // the unit runs this version already
    bool downgrade = false;          // the image is older than the unit's firmware
    bool ok() const { return verdict == ImageVerdict::Accepted; }
};

// The image judged for a guided update of `unit`. Sends nothing.
UpdateImage check_update_image(const std::string& path, const UnitIdentity& unit, bool allow_downgrade);

// The bank the unit asks to be written ("BANK1", "BANK2"), or empty when it names none.
std::string unit_bank(CommsManager* comms);

// The steps of the update, in order; a result names the one it stopped at.
enum class UpdateStep { CheckImage, Backup, Upload, Restart, Wait, Confirm, Restore, Calibration, Done };

struct UpdateOptions {
    bool allow_downgrade = false;
    bool restore = true;
    std::chrono::milliseconds restart_timeout{60000};
    std::string backup_directory;            // empty: $XDG_STATE_HOME/efis-config/backups
    std::string program = "efis";            // for the unit's lock, should it be taken again
    bool history = true;                     // the restore makes an entry in the settings history
    std::string command = "firmware update"; // the history entry's command
};

struct UpdateObserver {
    std::function<void(UpdateStep)> step_started;
    std::function<void(UpdateStep, bool ok)> step_ended;
    fw_progress_callback_t upload_progress = nullptr;
    void* upload_progress_user = nullptr;
    std::function<bool()> keep_waiting; // false stops the wait for the unit (a person gave up)
    // The backup file, as soon as it is written (before the Backup step ends): a front end can
    // name it while the rest runs.
    std::function<void(const std::string& path)> backup_written;
};

enum class RestoreOutcome {
    NotAsked,             // the user asked for no restore
    NothingDiffered,      // the unit came back holding the backup's settings
    Restored,             // the differing settings were sent, committed and read back
    RecordVersionChanged, // the new firmware lays its record out anew: nothing was restored
};

struct UpdateResult {
    UpdateStep step = UpdateStep::Done; // Done, or the step that failed
    UpdateImage image;
    UnitIdentity before;
    UnitIdentity after;             // as the unit came back (from Confirm on)
    bool version_confirmed = false; // the unit reports the image's version
    std::string backup_path;        // once written
    std::string backup_error;       // Backup: why it could not be taken
    std::string history_error;      // Backup: why the settings history cannot be written
    TransferResult transfer;        // Upload
    bool left_bus = false;          // Wait: the unit went away after the restart command
    bool stopped = false;           // Wait: keep_waiting stopped it
    Connection reconnection;        // Wait: the last attempt to reach the unit again
    RestoreOutcome restore = RestoreOutcome::NotAsked;
    uint32_t record_version_before = 0;
    uint32_t record_version_after = 0;
    RecordRead restore_read;      // Restore: the record as the new firmware holds it
    Application restore_applied;  // Restore
    size_t settings_restored = 0; // as a settings file names them
    std::vector<CalibrationChange> calibration_changes;
    uint32_t calibration_failed_index = 0; // Backup or Calibration: a calibration read that failed
    bool ok() const { return step == UpdateStep::Done; }
};

// Checks the image, backs the unit's settings and calibration up to a file, uploads the image,
// restarts the unit, waits for it to come back with the same serial, confirms the new version,
// restores the settings and compares the calibration. `comms` is connected to `unit` under
// `lock`, which the update keeps across the restart (or takes again, should the unit come back
// under another device path).
UpdateResult update_firmware(CommsManager* comms, UnitLock* lock, const UnitIdentity& unit,
                             const std::string& image_path, const UpdateOptions& options,
                             const UpdateObserver& observer = {});

// This user's directory for what the programs keep between runs: $XDG_STATE_HOME/efis-config
// (~/.local/state/efis-config when unset; %LOCALAPPDATA%\efis-config on Windows).
std::string state_directory();
// Where backups go by default: <state directory>/backups.
std::string default_backup_directory();
// A unit's folder under backups/ and history/: its serial as eight upper-case hex digits.
std::string serial_folder(uint32_t serial);
// `when` in local time as strftime's `format` writes it, with ".mmm" appended when asked.
std::string local_time_text(std::chrono::system_clock::time_point when, const char* format, bool milliseconds = false);

// What a step does, as a phrase: "backing up the settings and calibration".
const char* update_step_text(UpdateStep step);
// A changed calibration word as a warning, named as the calibration is shown: "calibration changed at
// mmc_initial_b_vector_0 (index 13) in magnetometer (initial), from 0.25 to 0.5: the unit may need
// calibrating again; the backup holds the old values".
std::string calibration_change_text(const CalibrationChange& change);

// --- steps as sentences -----------------------------------------------------------------------

const char* commit_step_text(CommitStep step);
// "vne (index 6)", or "index 40" for an index no setting spans.
std::string index_name(uint32_t index);

// --- what a settings file may change on a unit ----------------------------------------------

// Where a file's settings were taken, as its unit block says, against the unit they are meant for.
enum class FileOrigin {
    ThisUnit,  // the file names the unit's serial
    OtherUnit, // it names another serial (file_serial), or a serial where no unit is known to compare
    NoUnit,    // it names no unit: written by hand, or exported with no unit connected
};

// A file's settings as they may go to a unit. The aircraft's identity (registration, ownship_icao,
// icao_address_type) comes only from a file of this very unit unless the user says otherwise: two
// aircraft with one registration and ADS-B address are a hazard, and a file of another unit is
// the ordinary way of making them.
struct FileValues {
    FileOrigin origin = FileOrigin::NoUnit;
    uint32_t file_serial = 0; // the serial the file names (OtherUnit)
    // Identity settings the file names with values other than `current`'s, left out of `values`;
    // empty when the identity is copied or nothing would change.
    std::vector<const settings_file::Setting*> identity_kept;
    settings_file::Values values;
};

// `unit_serial` is nullopt when no unit is known (a window with no connection): a file that names
// a unit cannot be shown to be this one's then. With copy_identity, every setting of the file
// is taken, wherever it comes from.
FileValues values_from_file(const settings_file::Document& doc, std::optional<uint32_t> unit_serial,
                            const Settings_t& current, bool copy_identity);

// --- the settings history --------------------------------------------------------------------
//
// Every commit of settings to a unit is first recorded in <state directory>/history/<SERIAL>/ as a
// backup of the record the unit held, with a "change" block: the program, its command, every
// setting changed (from, to, as a settings file writes them) and the outcome, "pending" until the
// commit ends. The newest kHistoryKept entries of a unit are kept.

inline constexpr size_t kHistoryKept = 200;

// Who commits, and whether the history is kept at all (--no-history: not).
struct HistoryRequest {
    bool record = true;
    std::string program;
    std::string command;
};

// <state directory>/history/<SERIAL>, the serial as the update's backups name it.
std::string history_directory(uint32_t serial);
// Whether an entry could be written now for this unit; *error says why not.
bool history_writable(uint32_t serial, std::string* error);

// An entry as it is being written.
struct HistoryEntryFile {
    uint32_t serial = 0;
    std::string path;
    std::string error;
    nlohmann::ordered_json document; // the file's JSON, change block included
    bool written = false;
};

// Writes the entry for a commit that makes a unit holding `before` hold `after`: outcome
// "pending". Nothing is written (and `written` stays false with no error) when no setting changes.
HistoryEntryFile start_history_entry(const UnitIdentity& unit, const Settings_t& before,
                                     std::optional<settings_file::RecordInfo> header, const Settings_t& after,
                                     const HistoryRequest& request);
// Rewrites the entry's outcome ("committed", "failed: <step>", "stopped"), then removes the unit's
// oldest entries beyond kHistoryKept.
bool finish_history_entry(HistoryEntryFile* entry, const std::string& outcome);
// The outcome an application ends with, as an entry states it.
std::string history_outcome(const Application& a);

// apply_settings(), recorded in the history first: with `request.record`, an entry is written
// before the first value is sent (ApplyStep::History when it cannot be, and nothing is sent), and
// its outcome once the application ends.
Application apply_settings_recorded(CommsManager* comms, const UnitIdentity& unit, const RecordRead& before,
                                    const settings_file::Values& values, const HistoryRequest& request,
                                    const ValueObserver& observer = {});

struct HistoryEntry {
    std::string path;
    std::string time;               // local time from the file name: "2026-12-07 12:03:11"
    nlohmann::ordered_json change;  // the change block as the entry holds it (an object)
    settings_file::Document before; // the record before the commit
    std::string outcome() const;
};

// A unit's entries, newest first. Files that are not readable entries are left out.
std::vector<HistoryEntry> list_history(uint32_t serial);
// The entry whose record an undo brings back: the newest committed one.
const HistoryEntry* undo_target(const std::vector<HistoryEntry>& entries);
// "vne 160 -> 170, vs0 40 -> 45", the first four and "and <n> more".
std::string history_changes_text(const nlohmann::ordered_json& change);

} // namespace operations
