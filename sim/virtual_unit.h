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
#include <functional>
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

// Cable movements, in time from a start point. Unset fields leave the cable as it is.
struct PresenceSchedule {
    std::optional<std::chrono::milliseconds> present_after = std::nullopt; // out until then, then plugged in
    std::optional<std::chrono::milliseconds> unplug_at = std::nullopt;
    std::optional<std::chrono::milliseconds> replug_at = std::nullopt;
};

// A firmware image found complete in a bank: the bank's first block erased, then the 64-byte header
// at the bank start and `encrypted_size` bytes after it all written (without a NOR fault) since the
// unit last started.
struct BankImage {
    mx25_partition bank = partition_none;
    firmware_header_t header{};
};

// What a newly started image finds. An image-start hook may change it (say, the calibration a new
// image migrates) before the unit comes back with it.
struct ImageStart {
    fwversion_t previous{};       // the version the unit ran before the restart
    fwversion_t version{};        // the new image's, from its header
    Settings_t settings{};        // the record it holds, stored and working alike
    SENSOR_CALIB_t calibration{}; // the calibration record it holds
};
using ImageStartHook = std::function<void(ImageStart&)>;

// What a unit keeps while no program talks to it: what a program needs to keep a virtual unit
// between two runs. The body of an image is not kept, only the fact that it was written.
struct Retained {
    Generation generation = Generation::Current;
    fwversion_t version{};
    uint32_t partition = partition_1; // the bank word get-partition reports
    Settings_t working{};
    Settings_t stored{};
    std::vector<BankImage> images; // complete images written since the last start
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
    // Unplugs the unit now and for good: open handles fail, enumeration no longer lists it.
    void vanish();
    bool vanished() const;

    // --- presence on the bus ---
    // The unit is on the bus while its cable is in, it is not restarting and it has not vanished.
    // When it leaves, open handles fail, blocked reads end and enumeration no longer lists it; its
    // pending replies are lost. A handle opened before it left keeps failing after it is back, as
    // the handle of a removed hidraw node does; a new open works. Scheduled changes are carried out
    // by whichever call next looks at the unit, against the steady clock: no thread of its own.
    void unplug_cable();
    void plug_in_cable();
    void schedule_presence(const PresenceSchedule& schedule,
                           std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now());
    bool present() const;
    bool cable_in() const;
    // Counts the unit's stays on the bus; nullopt while it is away. A handle belongs to one stay.
    std::optional<uint64_t> session() const;

    // --- restart ---
    // Unset (the default), the reboot frame is only recorded and the unit stays on the bus. Set, the
    // reboot frame makes it leave the bus, forgetting values sent but not committed, and come back
    // `time` later. It comes back running the image in the bank it named if that bank holds a
    // complete image (BankImage) and images are not rejected: its version becomes the header's
    // `version`, it names the other bank from then on, and a legacy unit that starts 0.2.12 or later
    // answers the current identity request. Otherwise it comes back unchanged.
    void set_restart_time(std::optional<std::chrono::milliseconds> time);
    void set_reject_images(bool on);
    // A newly started image finds the blank record a fresh unit holds (with the record version
    // below when set) instead of the stored one.
    void set_update_resets_settings(bool on);
    // A newly started image holds this record version; the checksum follows when it was right.
    void set_update_record_version(std::optional<uint32_t> version);
    // Called, under the unit's lock, as a new image starts: it must not call back into the unit.
    void on_image_start(ImageStartHook hook);
    bool restarting() const;
    int restart_count() const; // restarts completed: the unit came back
    bool last_restart_started_image() const;
    std::vector<BankImage> complete_images() const;

    // --- keeping the unit between runs ---
    // During a restart: the unit as it will come back (the image-start hook aside).
    Retained retained() const;
    // Takes the kept state; each image's header is written back to its bank.
    void restore(const Retained& kept);

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
    // Handles one output report written by the host. Returns -1 when the write must fail (fault,
    // unit away, or `session` given and over), else the byte count hidapi would report.
    int on_output_report(const uint8_t* data, size_t length, std::optional<uint64_t> session = std::nullopt);
    // Pops the next input report that is ready at `now`; waits (up to `deadline`) for one.
    // Returns false when none became ready in time.
    bool next_input_report(std::chrono::steady_clock::time_point deadline, InputReport* out);
    // The backend's read: copies the next ready report (at most `length` bytes) into `data` and
    // returns the count; 0 when nothing became ready by `deadline` (nullopt waits for ever); -1 for
    // an injected read error, a unit away, a `session` that is over, or when `attached` turns false.
    int read_report(std::optional<std::chrono::steady_clock::time_point> deadline, uint8_t* data, size_t length,
                    const std::atomic<bool>* attached = nullptr, std::optional<uint64_t> session = std::nullopt);
    // Wakes every blocked reader so that it re-examines `attached` (used when the bus is unplugged).
    void wake_readers();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace sim
