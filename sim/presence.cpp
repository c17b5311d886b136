// The unit's presence on the bus and its restarts: the cable, cable movements scheduled against
// the steady clock, the restart the reboot frame starts, the complete image a restart starts, and
// what a unit keeps while no program talks to it.
#include <algorithm>
#include <cstring>

#include "efis_shared/get_set.h"
#include "sim/unit_state.h"

namespace sim {

namespace {

std::optional<uint32_t> bank_first_block(uint32_t bank)
{
    if (bank == partition_1) {
        return FW_BANK1_FIRST_BLOCK;
    }
    if (bank == partition_2) {
        return FW_BANK2_FIRST_BLOCK;
    }
    return std::nullopt;
}

bool speaks_current_whoami(const fwversion_t& v)
{
    return v.major != 0 || v.minor > 2 || (v.minor == 2 && v.patch >= 12);
}

} // namespace

std::unique_lock<std::mutex> VirtualUnit::State::hold()
{
    std::unique_lock lock(mutex);
    advance(Clock::now());
    return lock;
}

// What every change of presence goes through: leaving ends the session and loses what was queued
// for the host.
void VirtualUnit::State::set_presence(bool new_cable, bool new_running)
{
    const bool was = present();
    cable = new_cable;
    running = new_running;
    if (was && !present()) {
        ++session;
        queue.clear();
        read_error_pending = false;
        last_ready = {};
    }
    cv.notify_all();
}

void VirtualUnit::State::add_event(Clock::time_point at, EventKind kind)
{
    auto it = std::upper_bound(events.begin(), events.end(), at,
                               [](Clock::time_point t, const Event& e) { return t < e.at; });
    events.insert(it, {at, kind});
    cv.notify_all(); // a blocked reader re-computes when to wake
}

// Carries out the events due by `now`, in order.
void VirtualUnit::State::advance(Clock::time_point now)
{
    while (!events.empty() && events.front().at <= now) {
        const Event e = events.front();
        events.erase(events.begin());
        switch (e.kind) {
        case EventKind::CableIn:
            set_presence(true, running);
            break;
        case EventKind::CableOut:
            set_presence(false, running);
            break;
        case EventKind::Back:
            come_back();
            break;
        }
    }
}

std::optional<VirtualUnit::State::Clock::time_point> VirtualUnit::State::next_event() const
{
    return events.empty() ? std::nullopt : std::optional(events.front().at);
}

uint32_t VirtualUnit::State::named_bank() const
{
    return config.partition_raw != 0 ? config.partition_raw : config.partition;
}

std::optional<firmware_header_t> VirtualUnit::State::complete_image(uint32_t bank) const
{
    const std::optional<uint32_t> first = bank_first_block(bank);
    if (!first || !flash.erased_since_start(*first)) {
        return std::nullopt;
    }
    const uint64_t start = uint64_t{*first} * MX25_BLOCK_SIZE;
    if (!flash.written_since_start(start, start + sizeof(firmware_header_t))) {
        return std::nullopt;
    }
    uint8_t bytes[sizeof(firmware_header_t)];
    for (size_t i = 0; i < sizeof bytes; ++i) {
        bytes[i] = flash.read(static_cast<uint32_t>(start + i));
    }
    firmware_header_t header;
    std::memcpy(&header, bytes, sizeof header);
    const uint64_t end = start + sizeof header + header.encrypted_size;
    if (end > start + uint64_t{FW_BANK_BLOCKS} * MX25_BLOCK_SIZE || !flash.written_since_start(start, end)) {
        return std::nullopt;
    }
    return header;
}

std::vector<BankImage> VirtualUnit::State::complete_images() const
{
    std::vector<BankImage> out;
    for (mx25_partition bank : {partition_1, partition_2}) {
        if (const auto header = complete_image(bank)) {
            out.push_back({bank, *header});
        }
    }
    return out;
}

void VirtualUnit::State::begin_restart(Clock::time_point now)
{
    // The unit's RAM is gone: values sent but not committed, the write pointer, the database state.
    working = stored;
    flash.reset_write_pointer();
    airport_db_open = true;
    set_presence(cable, false);
    add_event(now + *restart_time, EventKind::Back);
}

// What the unit comes back with: true and `out` filled when it starts a new image.
bool VirtualUnit::State::boot_outcome(ImageStart* out) const
{
    const std::optional<firmware_header_t> image = reject_images ? std::nullopt : complete_image(named_bank());
    if (!image) {
        return false;
    }
    out->previous = config.version;
    out->version.version = image->version;
    out->settings = stored;
    out->calibration = calib;
    if (update_resets_settings) {
        out->settings = detail::blank_record(update_record_version.value_or(1));
    } else if (update_record_version) {
        // A record the unit held with a right checksum keeps one; a broken one stays broken.
        const bool valid = settings_CalcCRC(&out->settings) == out->settings.crc32;
        out->settings.version = *update_record_version;
        if (valid) {
            out->settings.crc32 = settings_CalcCRC(&out->settings);
        }
    }
    return true;
}

void VirtualUnit::State::started_image(const ImageStart& start, UnitConfig* c) const
{
    c->version = start.version;
    const uint32_t other = named_bank() == partition_1 ? partition_2 : partition_1;
    c->partition = static_cast<mx25_partition>(other);
    c->partition_raw = other;
    if (c->generation == Generation::Legacy && speaks_current_whoami(start.version)) {
        c->generation = Generation::Current;
    }
}

void VirtualUnit::State::come_back()
{
    ImageStart start;
    last_started_image = boot_outcome(&start);
    if (last_started_image) {
        if (image_start_hook) {
            image_start_hook(start);
        }
        started_image(start, &config);
        stored = start.settings;
        working = start.settings;
        calib = start.calibration;
    }
    ++restart_count;
    flash.forget_since_start();
    set_presence(cable, true);
}

Retained VirtualUnit::State::retained() const
{
    UnitConfig c = config;
    Retained r;
    r.working = working;
    r.stored = stored;
    if (running) {
        r.images = complete_images();
    } else if (ImageStart start; boot_outcome(&start)) {
        started_image(start, &c);
        r.working = start.settings;
        r.stored = start.settings;
    }
    r.generation = c.generation;
    r.version = c.version;
    r.partition = c.partition_raw != 0 ? c.partition_raw : c.partition;
    return r;
}

void VirtualUnit::State::restore(const Retained& kept)
{
    config.generation = kept.generation;
    config.version = kept.version;
    config.partition = static_cast<mx25_partition>(kept.partition);
    config.partition_raw = kept.partition;
    working = kept.working;
    stored = kept.stored;
    flash.forget_since_start();
    for (const BankImage& image : kept.images) {
        const std::optional<uint32_t> first = bank_first_block(image.bank);
        const uint64_t size = sizeof image.header + uint64_t{image.header.encrypted_size};
        if (!first || size > uint64_t{FW_BANK_BLOCKS} * MX25_BLOCK_SIZE) {
            continue;
        }
        // The bank as the upload left it, but for the image's body, which is not kept.
        for (uint32_t b = *first; uint64_t{b - *first} * MX25_BLOCK_SIZE < size; ++b) {
            flash.erase_block(b);
        }
        const uint32_t start = *first * MX25_BLOCK_SIZE;
        const auto* header = reinterpret_cast<const uint8_t*>(&image.header);
        flash.fill(start, std::vector<uint8_t>(header, header + sizeof image.header));
        flash.count_as_written(start, start + size);
    }
}

// --- the calls that move the unit and observe it ---

void VirtualUnit::vanish()
{
    const auto lock = state_->hold();
    state_->vanished = true;
    state_->set_presence(state_->cable, state_->running);
}

bool VirtualUnit::vanished() const
{
    const auto lock = state_->hold();
    return state_->vanished;
}

void VirtualUnit::unplug_cable()
{
    const auto lock = state_->hold();
    state_->set_presence(false, state_->running);
}

void VirtualUnit::plug_in_cable()
{
    const auto lock = state_->hold();
    state_->set_presence(true, state_->running);
}

void VirtualUnit::schedule_presence(const PresenceSchedule& schedule, std::chrono::steady_clock::time_point start)
{
    const auto lock = state_->hold();
    State& s = *state_;
    if (schedule.present_after) {
        s.set_presence(false, s.running);
        s.add_event(start + *schedule.present_after, State::EventKind::CableIn);
    }
    if (schedule.unplug_at) {
        s.add_event(start + *schedule.unplug_at, State::EventKind::CableOut);
    }
    if (schedule.replug_at) {
        s.add_event(start + *schedule.replug_at, State::EventKind::CableIn);
    }
    s.advance(State::Clock::now()); // a time already past takes effect now
}

bool VirtualUnit::present() const
{
    const auto lock = state_->hold();
    return state_->present();
}

bool VirtualUnit::cable_in() const
{
    const auto lock = state_->hold();
    return state_->cable;
}

std::optional<uint64_t> VirtualUnit::session() const
{
    const auto lock = state_->hold();
    return state_->present() ? std::optional(state_->session) : std::nullopt;
}

void VirtualUnit::set_restart_time(std::optional<std::chrono::milliseconds> time)
{
    const auto lock = state_->hold();
    state_->restart_time = time;
}

void VirtualUnit::set_reject_images(bool on)
{
    const auto lock = state_->hold();
    state_->reject_images = on;
}

void VirtualUnit::set_update_resets_settings(bool on)
{
    const auto lock = state_->hold();
    state_->update_resets_settings = on;
}

void VirtualUnit::set_update_record_version(std::optional<uint32_t> version)
{
    const auto lock = state_->hold();
    state_->update_record_version = version;
}

void VirtualUnit::on_image_start(ImageStartHook hook)
{
    const auto lock = state_->hold();
    state_->image_start_hook = std::move(hook);
}

bool VirtualUnit::restarting() const
{
    const auto lock = state_->hold();
    return !state_->running;
}

int VirtualUnit::restart_count() const
{
    const auto lock = state_->hold();
    return state_->restart_count;
}

bool VirtualUnit::last_restart_started_image() const
{
    const auto lock = state_->hold();
    return state_->last_started_image;
}

std::vector<BankImage> VirtualUnit::complete_images() const
{
    const auto lock = state_->hold();
    return state_->complete_images();
}

Retained VirtualUnit::retained() const
{
    const auto lock = state_->hold();
    return state_->retained();
}

void VirtualUnit::restore(const Retained& kept)
{
    const auto lock = state_->hold();
    state_->restore(kept);
}

} // namespace sim
