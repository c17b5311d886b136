// The virtual EFIS unit: the unit's side of every exchange the tool relies on, for both firmware
// generations, with its settings and calibration records and a 64 MiB MX25 NOR flash.
//
// Everything here follows the unit's byte layouts directly (identifier maps, acknowledgement
// forms, reply layouts); it deliberately does not use the tool's selectors or protocol code, so
// that tests against it check the tool against the layouts rather than against itself.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "efis_shared/calib_types.h"
#include "efis_shared/comms_types.h"
#include "efis_shared/firmware.h"
#include "efis_shared/mem_layout.h"
#include "efis_shared/settings_types.h"

namespace sim {

enum class Generation {
    Current, // answers WHOAMI 0x010 with serial and version; map and acknowledgements follow the version
    Legacy,  // answers only WHOAMI 0x123; legacy map and acknowledgements
};

// Address named in the erase acknowledgement that precedes a settings save. The settings live in
// the unit's own microcontroller flash, so the MX25 contents are not touched by a save.
inline constexpr uint32_t kSettingsSectorAddress = 0x03FFF000;

// Matches any request identifier in a Fault.
inline constexpr uint32_t kAnyId = 0xFFFFFFFFu;

enum class FaultKind {
    NoReply,         // the request is carried out but its replies (or reply `reply_index`) are dropped
    Ignore,          // the request is not carried out and nothing is answered
    Nack,            // the operation fails: negative acknowledgement in the generation's form
    WrongOp,         // the MX25 acknowledgement carries op byte `param` instead of the right one
    WrongAddress,    // the MX25 acknowledgement carries address `param` instead of the right one
    WrongAckId,      // the general acknowledgement names identifier `param` instead of the request's
    UnrelatedBefore, // `param` unrelated frames are delivered before the replies
    ShortReport,     // the replies are delivered as input reports cut to `param` bytes
    BadLengthCode,   // the replies carry length code `param` instead of their own
    WriteError,      // hid_write of the request fails with -1; the unit never sees the frame
    ReadError,       // the next hid_read_timeout after the request fails with -1
    Vanish,          // the unit is unplugged on receipt of the request: every later call fails
    Delay,           // the replies arrive `param` milliseconds later than they otherwise would
    AckNoStore,      // a value write is acknowledged positively, but the record keeps its old value
    SaveUnchecked,   // a settings save is committed whatever checksum it carries, stored as received
};

// How the kinds meet the edge cases:
// - Nack: the request is not carried out and every acknowledgement it draws is negative; requests
//   answered by data alone (WHOAMI, read value) go unanswered, as they have no negative form.
// - WriteError: the frame is neither logged nor counted by the other faults.
// - ReadError: the very next read fails, whatever is queued; the replies follow it.
// - Vanish: the write that carries the request still succeeds; it is logged, then nothing more.
// - Delay: added once per request, before the per-reply latency.
struct Fault {
    FaultKind kind = FaultKind::NoReply;
    uint32_t can_id = kAnyId; // request identifier the fault applies to
    int skip = 0;             // matching requests let through before the fault strikes
    int times = 1;            // matching requests hit; -1 for every one from then on
    uint32_t param = 0;
    int reply_index = -1; // for NoReply/ShortReport/BadLengthCode: only this reply (0-based); -1 all
};

struct SaveRecord {
    uint32_t crc_received; // checksum carried by the save frame
    uint32_t crc_own;      // the unit's checksum of its working record (crc32 0, magic "QEV_")
    bool matched;
    bool committed; // the working record was copied to the stored record
};

struct NorFault {
    uint32_t address; // byte address written while not erased
    uint8_t before;   // content before the write
    uint8_t written;  // byte the write asked for
};

enum class Direction { ToUnit, FromUnit };

struct LoggedReport {
    Direction direction;
    std::vector<uint8_t> bytes; // the HID report exactly as written by the tool / delivered to it
    COMMS_MSG_t frame;          // the same report decoded into a frame (zero-filled)
};

struct UnitConfig {
    Generation generation = Generation::Current;
    fwversion_t version = {0x00020C00}; // 0.2.12 rc 0
    uint32_t serial = 0x12345678;
    mx25_partition partition = partition_1; // value reported by get-partition (any raw word)
    uint32_t partition_raw = 0;             // when non-zero, reported instead of `partition`
};

class VirtualUnit {
public:
    explicit VirtualUnit(UnitConfig config = {});
    ~VirtualUnit();
    VirtualUnit(const VirtualUnit&) = delete;
    VirtualUnit& operator=(const VirtualUnit&) = delete;

    // --- configuration ---
    void set_generation(Generation g);
    void set_version(uint8_t major, uint8_t minor, uint8_t patch, uint8_t rc = 0);
    void set_serial(uint32_t serial);
    void set_partition(uint32_t raw_value); // also sets `partition`, so 0 reports partition_none
    UnitConfig config() const;
    // Each reply becomes readable this long after the previous one (or after the request).
    void set_latency(std::chrono::microseconds per_reply);
    // While on, an unrelated frame is readable at every read, forever. These frames are not logged:
    // a tool spinning on them would fill the log at millions of entries a second.
    void set_chatter(bool on);
    // Off stops the frame log (long benchmark runs), and with it requests(); on by default.
    void set_logging(bool on);
    void inject(const Fault& fault);
    void clear_faults();
    // Unplugs the unit now: open handles fail, enumeration no longer lists it.
    void vanish();
    bool vanished() const;

    // --- records (copies; the unit may be serving another thread) ---
    Settings_t working_settings() const; // the record set_value writes into
    Settings_t stored_settings() const;  // the record as last committed by a save
    // A fresh unit holds a blank but valid record: magic "QEV_", version 1, 31 elements, checksum right.
    void load_settings(const Settings_t& s); // sets both working and stored record
    // Sets the working record alone, as values sent but not yet committed leave it.
    void set_working_settings(const Settings_t& s);
    SENSOR_CALIB_t calibration() const;
    void load_calibration(const SENSOR_CALIB_t& c);
    std::vector<SaveRecord> saves() const;
    std::vector<uint32_t> calibration_saves() const; // checksums carried by calibration store frames

    // --- flash ---
    std::vector<uint8_t> flash(uint32_t address, uint32_t length) const;
    // A fresh unit's flash holds old data (0x00 everywhere), so a write that skips the erase faults.
    // Bytes beyond the end of the flash are left out of both calls.
    void fill_flash(uint32_t address, const std::vector<uint8_t>& bytes); // test set-up, no NOR rules
    std::vector<NorFault> nor_faults() const;
    uint32_t write_pointer() const;
    uint32_t erase_count() const; // erase commands carried out

    // --- other state ---
    bool airport_db_open() const;
    std::optional<uint8_t> last_reboot_byte() const;
    int reboot_count() const;

    // --- frame log ---
    std::vector<LoggedReport> log() const;
    std::vector<COMMS_MSG_t> requests() const; // decoded frames received, in order
    void clear_log();

    // --- the unit's side, used by the HID backend ---
    struct InputReport {
        std::chrono::steady_clock::time_point ready_at;
        std::vector<uint8_t> bytes;
        bool read_error = false; // deliver a read error instead of the report
    };
    // Handles one output report written by the host. Returns -1 when the write must fail (fault or
    // vanished unit), else the byte count hidapi would report.
    int on_output_report(const uint8_t* data, size_t length);
    // Pops the next input report that is ready at `now`; waits (up to `deadline`) for one.
    // Returns false when none became ready in time.
    bool next_input_report(std::chrono::steady_clock::time_point deadline, InputReport* out);
    // The backend's read: copies the next ready report (at most `length` bytes) into `data` and
    // returns the count; 0 when nothing became ready by `deadline` (nullopt waits for ever); -1 for
    // an injected read error, a vanished unit or when `attached` turns false.
    int read_report(std::optional<std::chrono::steady_clock::time_point> deadline, uint8_t* data, size_t length,
                    const std::atomic<bool>* attached = nullptr);
    // Wakes every blocked reader so that it re-examines `attached` (used when the bus is unplugged).
    void wake_readers();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace sim
