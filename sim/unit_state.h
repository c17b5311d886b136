// What a VirtualUnit holds, and where each part of its behaviour lives:
//   nor_flash.cpp     the MX25 flash
//   faults.cpp        the faults a test set, and what each does to a request
//   reports.cpp       the report layouts, the replies queued for the host, the frame log
//   protocol.cpp      the unit's side of each kind of request
//   presence.cpp      the cable, scheduled cable movements, restarts, what is kept between runs
//   exchange.cpp      a request's way through the unit, and the host's reads
//   virtual_unit.cpp  the rest of the calls a test or a program makes to set up and inspect it
// Every member is guarded by `mutex`.
#pragma once

#include <condition_variable>
#include <mutex>

#include "sim/faults.h"
#include "sim/nor_flash.h"
#include "sim/reports.h"
#include "sim/virtual_unit.h"

namespace sim {

namespace detail {

// A fresh unit's record: blank but valid, with this record version.
Settings_t blank_record(uint32_t version);

// The identifiers the unit answers to, per map.
struct IdMap {
    uint32_t read_settings, send_settings, set_settings, save_settings;
    uint32_t read_calib, send_calib, set_calib, save_calib;
    uint32_t enter_bl, get_partition, erase, set_addr, write, db_op;
};

// One request as the unit's handlers see it.
struct Request {
    uint32_t id;
    uint8_t len; // payload bytes its length code names
    const uint8_t* d;
    const Effects& fx;
    const IdMap& ids; // the map the unit speaks
};

// The replies to one request, in order.
struct Replies {
    Reply reply[Effects::kMaxReplies];
    int count = 0;
    Reply& add() { return reply[count++]; }
};

} // namespace detail

struct VirtualUnit::State {
    using Clock = std::chrono::steady_clock;
    using Request = detail::Request;
    using Replies = detail::Replies;

    mutable std::mutex mutex;
    std::condition_variable cv;

    UnitConfig config;

    // --- presence and restart ---
    bool vanished = false;
    // On the bus while the cable is in and the unit runs (it does not while restarting).
    bool cable = true;
    bool running = true;
    uint64_t session = 1;
    enum class EventKind { CableIn, CableOut, Back };
    struct Event {
        Clock::time_point at;
        EventKind kind;
    };
    std::vector<Event> events; // in time order; carried out by advance()
    std::optional<Clock::duration> restart_time;
    bool reject_images = false;
    bool update_resets_settings = false;
    std::optional<uint32_t> update_record_version;
    ImageStartHook image_start_hook;
    int restart_count = 0;
    bool last_started_image = false;

    // --- what the requests act on ---
    Settings_t working{};
    Settings_t stored{};
    SENSOR_CALIB_t calib{};
    std::vector<SaveRecord> saves;
    std::vector<uint32_t> calib_saves;
    detail::NorFlash flash;
    uint32_t erase_count = 0;
    bool airport_db_open = true;
    std::optional<uint8_t> last_reboot;
    int reboot_count = 0;

    // --- faults, and the host's side ---
    detail::Faults faults;
    detail::ReportQueue queue;
    detail::FrameLog log;
    bool chatter = false;
    Clock::duration latency{};
    Clock::time_point last_ready{};
    bool read_error_pending = false;
    uint32_t heartbeat = 0;

    // Every call from outside takes the lock through here, so that what is due happens first.
    std::unique_lock<std::mutex> hold();

    // presence.cpp
    bool present() const { return !vanished && cable && running; }
    void set_presence(bool new_cable, bool new_running);
    void add_event(Clock::time_point at, EventKind kind);
    void advance(Clock::time_point now);
    std::optional<Clock::time_point> next_event() const;
    uint32_t named_bank() const;
    std::optional<firmware_header_t> complete_image(uint32_t bank) const;
    std::vector<BankImage> complete_images() const;
    void begin_restart(Clock::time_point now);
    bool boot_outcome(ImageStart* out) const;
    void started_image(const ImageStart& start, UnitConfig* c) const;
    void come_back();
    Retained retained() const;
    void restore(const Retained& kept);

    // protocol.cpp
    bool legacy_map() const;
    void handle(const COMMS_MSG_t& f, const detail::Effects& fx, Replies& out);
    void general_ack(Replies& out, const detail::Effects& fx, uint32_t acked_id, bool ok) const;
    void mx25_ack(Replies& out, const detail::Effects& fx, uint8_t op, uint32_t address, bool ok) const;
    void identity(const Request& rq, Replies& out) const;
    void read_value(const Request& rq, Replies& out) const;
    void set_value(const Request& rq, Replies& out);
    void save_settings(const Request& rq, Replies& out);
    void save_calibration(const Request& rq, Replies& out);
    void reboot(const Request& rq);
    void get_partition(const Request& rq, Replies& out) const;
    void erase(const Request& rq, Replies& out);
    void set_address(const Request& rq, Replies& out);
    void write(const Request& rq, Replies& out);
    void airport_db(const Request& rq, Replies& out);

    // exchange.cpp
    void heartbeat_bytes(uint8_t* data) { detail::put_le32(data, heartbeat++); }
    int take(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> deadline,
             const std::atomic<bool>* attached, std::optional<uint64_t> in_session, uint8_t* out,
             Clock::time_point* ready_at);
};

} // namespace sim
