#include "sim/virtual_unit.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>

#include "comms/legacy_can_export.h"
#include "efis_shared/can_export.h"
#include "efis_shared/get_set.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kInputReportSize = 71; // report number, iface, id (4), length code, 64 payload bytes
constexpr size_t kInputHeader = 7;
constexpr size_t kOutputHeader = 6; // report number, id (4), length code
constexpr uint8_t kInputReportId = 0x06;
constexpr uint8_t kOutputReportId = 0x05;
constexpr size_t kLogInline = 72; // every report the tool or the unit produces fits inline

constexpr uint32_t kBlockCount = MX25_BLOCK_COUNT;

// The identifiers the unit answers to, per map.
struct IdMap {
    uint32_t read_settings, send_settings, set_settings, save_settings;
    uint32_t read_calib, send_calib, set_calib, save_calib;
    uint32_t enter_bl, get_partition, erase, set_addr, write, db_op;
};

constexpr IdMap kCurrentIds = {
    CANMSG_REQUEST_USER_SETTING, CANMSG_SEND_USER_SETTING,    CANMSG_SET_USER_SETTING,
    CANMSG_SAVE_USER_SETTINGS,   CANMSG_REQUEST_SENSOR_CALIB, CANMSG_SEND_SENSOR_CALIB,
    CANMSG_SET_SENSOR_CALIB,     CANMSG_SAVE_SENSOR_CALIB,    CANMSG_ENTER_BL,
    CANMSG_GET_PARTITION,        CANMSG_ERASE_MX25,           CANMSG_SET_ADDR_MX25,
    CANMSG_WRITE_MX25,           CANMSG_AIRPORT_DB_OP,
};

constexpr IdMap kLegacyIds = {
    LEGACY_CANMSG_REQUEST_USER_SETTING, LEGACY_CANMSG_SEND_USER_SETTING,    LEGACY_CANMSG_SET_USER_SETTING,
    LEGACY_CANMSG_SAVE_USER_SETTINGS,   LEGACY_CANMSG_REQUEST_SENSOR_CALIB, LEGACY_CANMSG_SEND_SENSOR_CALIB,
    LEGACY_CANMSG_SET_SENSOR_CALIB,     LEGACY_CANMSG_SAVE_SENSOR_CALIB,    LEGACY_CANMSG_ENTER_BL,
    LEGACY_CANMSG_GET_PARTITION,        LEGACY_CANMSG_ERASE_MX25,           LEGACY_CANMSG_SET_ADDR_MX25,
    LEGACY_CANMSG_WRITE_MX25,           LEGACY_CANMSG_AIRPORT_DB_OP,
};

void put_le32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t get_le32(const uint8_t* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// A reply before faults and framing; the unit never sends more than 8 payload bytes.
struct Reply {
    uint32_t id = 0;
    uint8_t code = 0;
    uint8_t data[8] = {};
};

// What the faults that struck one request do to it.
struct Effects {
    bool ignore = false;
    bool nack = false;
    bool vanish = false;
    bool read_error = false;
    bool ack_no_store = false;
    bool save_unchecked = false;
    std::optional<uint8_t> wrong_op;
    std::optional<uint32_t> wrong_address;
    std::optional<uint32_t> wrong_ack_id;
    uint32_t unrelated = 0;
    Clock::duration delay{};
    static constexpr int kMaxReplies = 4;
    bool drop[kMaxReplies] = {};
    int short_len[kMaxReplies] = {-1, -1, -1, -1};
    int bad_code[kMaxReplies] = {-1, -1, -1, -1};
};

struct Pending {
    Clock::time_point ready_at;
    uint8_t length = 0;
    uint8_t bytes[kInputReportSize] = {};
};

struct LogEntry {
    Direction direction;
    bool request;      // a well-formed output report the unit handled
    uint32_t length;   // bytes of the report as written or delivered
    uint32_t overflow; // offset into the overflow arena for reports longer than kLogInline
    uint8_t bytes[kLogInline];
};

struct ActiveFault {
    Fault fault;
    int seen = 0;
    int hits = 0;
};

// Byte ranges [first, end) kept as disjoint, non-touching intervals, so that a range written in
// many small frames is one entry.
class Ranges {
public:
    void add(uint64_t lo, uint64_t hi)
    {
        if (lo >= hi) {
            return;
        }
        auto it = r_.upper_bound(lo);
        if (it != r_.begin() && std::prev(it)->second >= lo) {
            --it;
            lo = it->first;
            hi = std::max(hi, it->second);
            it = r_.erase(it);
        }
        while (it != r_.end() && it->first <= hi) {
            hi = std::max(hi, it->second);
            it = r_.erase(it);
        }
        r_.emplace(lo, hi);
    }
    void remove(uint64_t lo, uint64_t hi)
    {
        if (lo >= hi) {
            return;
        }
        auto it = r_.upper_bound(lo);
        if (it != r_.begin() && std::prev(it)->second > lo) {
            --it;
        }
        while (it != r_.end() && it->first < hi) {
            const uint64_t first = it->first;
            const uint64_t end = it->second;
            it = r_.erase(it);
            if (first < lo) {
                r_.emplace(first, lo);
            }
            if (end > hi) {
                r_.emplace(hi, end);
                break;
            }
        }
    }
    bool covers(uint64_t lo, uint64_t hi) const
    {
        if (lo >= hi) {
            return true;
        }
        auto it = r_.upper_bound(lo);
        return it != r_.begin() && std::prev(it)->second >= hi;
    }
    void clear() { r_.clear(); }

private:
    std::map<uint64_t, uint64_t> r_; // first -> end
};

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

Settings_t blank_record(uint32_t version)
{
    Settings_t s{};
    s.magic = kSettingsMagic;
    s.version = version;
    s.num_elements = kSettingsCrcMaxWords;
    s.crc32 = settings_CalcCRC(&s);
    return s;
}

COMMS_MSG_t decode(Direction dir, const uint8_t* b, size_t n)
{
    COMMS_MSG_t f;
    std::memset(&f, 0, sizeof f);
    // Output reports carry no iface byte; input reports have it at offset 1.
    const size_t id_at = dir == Direction::ToUnit ? 1 : 2;
    if (dir == Direction::FromUnit && n > 1) {
        f.iface = static_cast<COMM_INTERFACE_t>(b[1]);
    }
    uint8_t id[4] = {};
    for (size_t i = 0; i < 4 && id_at + i < n; ++i) {
        id[i] = b[id_at + i];
    }
    f.can_ID = get_le32(id);
    if (n > id_at + 4) {
        f.msg_len = static_cast<CAN_MSG_LEN_t>(b[id_at + 4]);
    }
    const size_t at = id_at + 5;
    size_t len = can_msg_payload_len(f.msg_len);
    len = std::min(len, n > at ? n - at : 0);
    if (len != 0) {
        std::memcpy(f.data, b + at, len);
    }
    return f;
}

} // namespace

struct VirtualUnit::State {
    mutable std::mutex mutex;
    std::condition_variable cv;

    UnitConfig config;
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
    // Since the unit last started: the blocks erased, and the bytes written over erased cells.
    std::vector<bool> erased_since_start = std::vector<bool>(kBlockCount, false);
    Ranges written_since_start;
    bool chatter = false;
    bool logging = true;
    Clock::duration latency{};
    Clock::time_point last_ready{};
    bool read_error_pending = false;
    uint32_t heartbeat = 0;

    Settings_t working{};
    Settings_t stored{};
    SENSOR_CALIB_t calib{};
    std::vector<SaveRecord> saves;
    std::vector<uint32_t> calib_saves;

    // Flash in 64 KiB blocks, materialised on first touch; an absent block reads as its fill byte.
    std::vector<std::unique_ptr<uint8_t[]>> blocks;
    std::vector<uint8_t> block_fill;
    uint32_t write_pointer = 0;
    uint32_t erase_count = 0;
    std::vector<NorFault> nor_faults;

    bool airport_db_open = true;
    std::optional<uint8_t> last_reboot;
    int reboot_count = 0;

    std::vector<ActiveFault> faults;

    // FIFO of replies; the head index avoids shifting on every pop.
    std::vector<Pending> queue;
    size_t queue_head = 0;

    std::vector<LogEntry> log;
    std::vector<uint8_t> log_overflow;

    bool legacy_map() const
    {
        if (config.generation == Generation::Legacy) {
            return true;
        }
        const fwversion_t& v = config.version;
        if (v.major != 0) {
            return false;
        }
        if (v.minor != 2) {
            return v.minor < 2;
        }
        return v.patch < 12;
    }

    // --- flash ---
    void ensure_flash()
    {
        if (blocks.empty()) {
            blocks.resize(kBlockCount);
            block_fill.assign(kBlockCount, 0x00);
        }
    }
    uint8_t* block(uint32_t b)
    {
        ensure_flash();
        if (!blocks[b]) {
            blocks[b] = std::make_unique_for_overwrite<uint8_t[]>(MX25_BLOCK_SIZE);
            std::memset(blocks[b].get(), block_fill[b], MX25_BLOCK_SIZE);
        }
        return blocks[b].get();
    }
    uint8_t read_byte(uint32_t a) const
    {
        if (blocks.empty()) {
            return 0x00;
        }
        const uint32_t b = a / MX25_BLOCK_SIZE;
        return blocks[b] ? blocks[b][a % MX25_BLOCK_SIZE] : block_fill[b];
    }
    void erase_block(uint32_t b)
    {
        ensure_flash();
        blocks[b].reset();
        block_fill[b] = 0xFF;
        erased_since_start[b] = true;
        written_since_start.remove(uint64_t{b} * MX25_BLOCK_SIZE, uint64_t{b + 1} * MX25_BLOCK_SIZE);
    }

    // Every call from outside takes the lock through here, so that what is due happens first.
    std::unique_lock<std::mutex> hold()
    {
        std::unique_lock lock(mutex);
        advance(Clock::now());
        return lock;
    }

    // --- presence ---
    bool present() const { return !vanished && cable && running; }
    // What every change of presence goes through: leaving ends the session and loses what was
    // queued for the host.
    void set_presence(bool new_cable, bool new_running)
    {
        const bool was = present();
        cable = new_cable;
        running = new_running;
        if (was && !present()) {
            ++session;
            queue.clear();
            queue_head = 0;
            read_error_pending = false;
            last_ready = {};
        }
        cv.notify_all();
    }
    void add_event(Clock::time_point at, EventKind kind)
    {
        auto it = std::upper_bound(events.begin(), events.end(), at,
                                   [](Clock::time_point t, const Event& e) { return t < e.at; });
        events.insert(it, {at, kind});
        cv.notify_all(); // a blocked reader re-computes when to wake
    }
    // Carries out the events due by `now`, in order.
    void advance(Clock::time_point now)
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
    std::optional<Clock::time_point> next_event() const
    {
        return events.empty() ? std::nullopt : std::optional(events.front().at);
    }

    // --- restart ---
    uint32_t named_bank() const { return config.partition_raw != 0 ? config.partition_raw : config.partition; }
    std::optional<firmware_header_t> complete_image(uint32_t bank) const
    {
        const std::optional<uint32_t> first = bank_first_block(bank);
        if (!first || !erased_since_start[*first]) {
            return std::nullopt;
        }
        const uint64_t start = uint64_t{*first} * MX25_BLOCK_SIZE;
        if (!written_since_start.covers(start, start + sizeof(firmware_header_t))) {
            return std::nullopt;
        }
        uint8_t bytes[sizeof(firmware_header_t)];
        for (size_t i = 0; i < sizeof bytes; ++i) {
            bytes[i] = read_byte(static_cast<uint32_t>(start + i));
        }
        firmware_header_t header;
        std::memcpy(&header, bytes, sizeof header);
        const uint64_t end = start + sizeof header + header.encrypted_size;
        if (end > start + uint64_t{FW_BANK_BLOCKS} * MX25_BLOCK_SIZE || !written_since_start.covers(start, end)) {
            return std::nullopt;
        }
        return header;
    }
    void begin_restart(Clock::time_point now)
    {
        // The unit's RAM is gone: values sent but not committed, the write pointer, the database state.
        working = stored;
        write_pointer = 0;
        airport_db_open = true;
        set_presence(cable, false);
        add_event(now + *restart_time, EventKind::Back);
    }
    // What the unit comes back with: true and `out` filled when it starts a new image.
    bool boot_outcome(ImageStart* out) const
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
            out->settings = blank_record(update_record_version.value_or(1));
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
    void started_image(const ImageStart& start, UnitConfig* c) const
    {
        c->version = start.version;
        const uint32_t other = named_bank() == partition_1 ? partition_2 : partition_1;
        c->partition = static_cast<mx25_partition>(other);
        c->partition_raw = other;
        if (c->generation == Generation::Legacy && speaks_current_whoami(start.version)) {
            c->generation = Generation::Current;
        }
    }
    void come_back()
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
        std::fill(erased_since_start.begin(), erased_since_start.end(), false);
        written_since_start.clear();
        set_presence(cable, true);
    }
    std::vector<BankImage> complete_images() const
    {
        std::vector<BankImage> out;
        for (mx25_partition bank : {partition_1, partition_2}) {
            if (const auto header = complete_image(bank)) {
                out.push_back({bank, *header});
            }
        }
        return out;
    }

    // --- replies ---
    void general_ack(Reply* out, int* n, const Effects& fx, uint32_t acked_id, bool ok) const
    {
        Reply& r = out[(*n)++];
        ok = ok && !fx.nack;
        const uint32_t named = fx.wrong_ack_id.value_or(acked_id);
        if (legacy_map()) {
            r.id = ok ? LEGACY_CANMSG_ACK : LEGACY_CANMSG_NACK;
            r.code = CAN_6_BYTES;
            put_le32(r.data, named);
            r.data[4] = 0xEF;
            r.data[5] = 0x15;
        } else {
            r.id = CANMSG_ACK;
            r.code = CAN_4_BYTES;
            r.data[1] = static_cast<uint8_t>(named);
            r.data[2] = static_cast<uint8_t>(named >> 8);
            r.data[3] = ok ? 1 : 0;
        }
    }
    void mx25_ack(Reply* out, int* n, const Effects& fx, uint8_t op, uint32_t address, bool ok) const
    {
        Reply& r = out[(*n)++];
        ok = ok && !fx.nack;
        r.data[0] = fx.wrong_op.value_or(op);
        put_le32(r.data + 1, fx.wrong_address.value_or(address));
        if (legacy_map()) {
            r.id = ok ? LEGACY_CANMSG_MX25_ACK : LEGACY_CANMSG_MX25_NACK;
            r.code = CAN_5_BYTES;
        } else {
            r.id = CANMSG_MX25_ACK;
            r.code = CAN_6_BYTES;
            r.data[5] = ok ? 1 : 0;
        }
    }

    Effects strike(uint32_t id)
    {
        Effects fx;
        for (ActiveFault& af : faults) {
            const Fault& f = af.fault;
            if (f.kind == FaultKind::WriteError || (f.can_id != kAnyId && f.can_id != id)) {
                continue;
            }
            if (af.seen++ < f.skip || (f.times >= 0 && af.hits >= f.times)) {
                continue;
            }
            ++af.hits;
            auto per_reply = [&](auto apply) {
                for (int i = 0; i < Effects::kMaxReplies; ++i) {
                    if (f.reply_index < 0 || f.reply_index == i) {
                        apply(i);
                    }
                }
            };
            switch (f.kind) {
            case FaultKind::NoReply:
                per_reply([&](int i) { fx.drop[i] = true; });
                break;
            case FaultKind::Ignore:
                fx.ignore = true;
                break;
            case FaultKind::Nack:
                fx.nack = true;
                break;
            case FaultKind::WrongOp:
                fx.wrong_op = static_cast<uint8_t>(f.param);
                break;
            case FaultKind::WrongAddress:
                fx.wrong_address = f.param;
                break;
            case FaultKind::WrongAckId:
                fx.wrong_ack_id = f.param;
                break;
            case FaultKind::UnrelatedBefore:
                fx.unrelated += f.param;
                break;
            case FaultKind::ShortReport:
                per_reply([&](int i) { fx.short_len[i] = static_cast<int>(std::min<uint32_t>(f.param, 255)); });
                break;
            case FaultKind::BadLengthCode:
                per_reply([&](int i) { fx.bad_code[i] = static_cast<int>(f.param & 0xFF); });
                break;
            case FaultKind::ReadError:
                fx.read_error = true;
                break;
            case FaultKind::Vanish:
                fx.vanish = true;
                break;
            case FaultKind::Delay:
                fx.delay += std::chrono::milliseconds(f.param);
                break;
            case FaultKind::AckNoStore:
                fx.ack_no_store = true;
                break;
            case FaultKind::SaveUnchecked:
                fx.save_unchecked = true;
                break;
            case FaultKind::WriteError:
                break;
            }
        }
        return fx;
    }

    bool write_error_strikes(uint32_t id)
    {
        bool hit = false;
        for (ActiveFault& af : faults) {
            const Fault& f = af.fault;
            if (f.kind != FaultKind::WriteError || (f.can_id != kAnyId && f.can_id != id)) {
                continue;
            }
            if (af.seen++ < f.skip || (f.times >= 0 && af.hits >= f.times)) {
                continue;
            }
            ++af.hits;
            hit = true;
        }
        return hit;
    }

    // Carries out one request; fills `out` with its replies in order.
    void handle(const COMMS_MSG_t& f, const Effects& fx, Reply* out, int* n)
    {
        const uint32_t id = f.can_ID;
        const uint8_t len = can_msg_payload_len(f.msg_len);
        const uint8_t* d = f.data;
        const bool legacy = legacy_map();
        const IdMap& ids = legacy ? kLegacyIds : kCurrentIds;

        const uint32_t whoami =
            config.generation == Generation::Legacy ? uint32_t{LEGACY_CANMSG_WHOAMI} : uint32_t{CANMSG_WHOAMI};
        if (id == whoami) {
            if (len < 2 || d[0] != 0xEF || d[1] != 0x15 || fx.nack) {
                return;
            }
            Reply& r = out[(*n)++];
            r.id = whoami;
            r.code = CAN_8_BYTES;
            if (config.generation == Generation::Legacy) {
                r.data[0] = 0xEF;
                r.data[1] = 0x15;
                put_le32(r.data + 4, config.serial);
            } else {
                r.data[0] = static_cast<uint8_t>(config.serial >> 24);
                r.data[1] = static_cast<uint8_t>(config.serial >> 16);
                r.data[2] = static_cast<uint8_t>(config.serial >> 8);
                r.data[3] = static_cast<uint8_t>(config.serial);
                put_le32(r.data + 4, config.version.version);
            }
            return;
        }

        if ((id == ids.read_settings || id == ids.read_calib) && len >= 1) {
            if (fx.nack) {
                return; // a read has no negative form; the tool sees silence
            }
            Reply& r = out[(*n)++];
            const bool settings = id == ids.read_settings;
            r.id = settings ? ids.send_settings : ids.send_calib;
            r.code = CAN_4_BYTES;
            put_le32(r.data, settings ? settings_get_value(&working, static_cast<settings_struct_index>(d[0]))
                                      : calib_get_value(&calib, static_cast<sensor_calib_struct_index>(d[0])));
            return;
        }

        if ((id == ids.set_settings || id == ids.set_calib) && len >= 5) {
            bool ok = false;
            if (fx.ack_no_store) {
                ok = true; // acknowledged, and forgotten
            } else if (!fx.nack) {
                uint32_t value = get_le32(d + 1);
                ok = id == ids.set_settings
                         ? settings_set_value(&working, static_cast<settings_struct_index>(d[0]), &value)
                         : calib_set_value(&calib, static_cast<sensor_calib_struct_index>(d[0]), &value);
            }
            general_ack(out, n, fx, id, ok);
            return;
        }

        if (id == ids.save_settings && len >= 4) {
            // Checksum the working record the way the tool does before it saves.
            Settings_t own = working;
            own.magic = kSettingsMagic;
            own.crc32 = 0;
            SaveRecord rec{};
            rec.crc_received = get_le32(d);
            rec.crc_own = settings_CalcCRC(&own);
            rec.matched = rec.crc_own == rec.crc_received;
            // Never commit a record whose content differs from what the tool asked to store.
            rec.committed = (rec.matched || fx.save_unchecked) && !fx.nack;
            if (rec.committed) {
                own.crc32 = fx.save_unchecked ? rec.crc_received : rec.crc_own;
                stored = own;
                working = own;
            }
            saves.push_back(rec);
            mx25_ack(out, n, fx, static_cast<uint8_t>(OP_SECTOR_ERASE), kSettingsSectorAddress, true);
            general_ack(out, n, fx, id, rec.committed);
            return;
        }

        if (id == ids.save_calib && len >= 4) {
            if (!fx.nack) {
                calib_saves.push_back(get_le32(d));
            }
            general_ack(out, n, fx, id, true);
            return;
        }

        if (id == ids.enter_bl && len >= 1) {
            if (!fx.nack) {
                last_reboot = d[0];
                ++reboot_count;
                if (restart_time) {
                    begin_restart(Clock::now());
                }
            }
            return;
        }

        if (id == ids.get_partition) {
            const uint32_t word = config.partition_raw != 0 ? config.partition_raw : config.partition;
            general_ack(out, n, fx, id, true);
            mx25_ack(out, n, fx, static_cast<uint8_t>(OP_GETPART), word, true);
            return;
        }

        if (id == ids.erase && len >= 3) {
            const uint8_t op = d[0];
            const uint32_t number = uint32_t{d[1]} | (uint32_t{d[2]} << 8);
            bool valid = false;
            uint32_t address = 0;
            if (op == OP_BLOCK_ERASE) {
                valid = number < MX25_BLOCK_COUNT;
                address = number * MX25_BLOCK_SIZE;
            } else if (op == OP_SECTOR_ERASE) {
                valid = number < MX25_SECTOR_COUNT;
                address = number * MX25_SECTOR_SIZE;
            } else if (op == OP_CHIP_ERASE) {
                valid = true;
            }
            if (valid && !fx.nack) {
                if (op == OP_BLOCK_ERASE) {
                    erase_block(number);
                } else if (op == OP_SECTOR_ERASE) {
                    std::memset(block(address / MX25_BLOCK_SIZE) + address % MX25_BLOCK_SIZE, 0xFF, MX25_SECTOR_SIZE);
                    written_since_start.remove(address, uint64_t{address} + MX25_SECTOR_SIZE);
                } else {
                    for (uint32_t b = 0; b < kBlockCount; ++b) {
                        erase_block(b);
                    }
                }
                ++erase_count;
            }
            general_ack(out, n, fx, id, true);
            mx25_ack(out, n, fx, op, address, valid);
            return;
        }

        if (id == ids.set_addr && len >= 4) {
            const uint32_t address = get_le32(d);
            const bool ok = address < MX25_FLASH_SIZE && !fx.nack;
            if (ok) {
                write_pointer = address;
            }
            mx25_ack(out, n, fx, static_cast<uint8_t>(OP_SETADDR), address, ok);
            return;
        }

        if (id == ids.write && len >= 1) {
            const uint32_t at = write_pointer;
            const bool fits = uint64_t{at} + len <= MX25_FLASH_SIZE;
            bool ok = fits && !fx.nack;
            if (ok) {
                for (uint32_t i = 0; i < len; ++i) {
                    const uint32_t a = at + i;
                    uint8_t& cell = block(a / MX25_BLOCK_SIZE)[a % MX25_BLOCK_SIZE];
                    if (cell != 0xFF) {
                        nor_faults.push_back({a, cell, d[i]});
                        ok = false;
                    }
                    cell &= d[i]; // NOR programming can only clear bits
                }
                write_pointer = at + len;
                // Only bytes that hold what was sent count towards an image.
                if (ok) {
                    written_since_start.add(at, uint64_t{at} + len);
                } else {
                    written_since_start.remove(at, uint64_t{at} + len);
                }
            }
            mx25_ack(out, n, fx, static_cast<uint8_t>(OP_WRITE), at, ok);
            return;
        }

        if (id == ids.db_op && len >= 1) {
            if (d[0] == AIRPORT_DB_OP_CLOSE) {
                if (!fx.nack) {
                    airport_db_open = false;
                }
                general_ack(out, n, fx, id, true);
            } else if (d[0] == AIRPORT_DB_OP_OPEN && !fx.nack) {
                airport_db_open = true;
            }
            return;
        }
        // Anything else goes unanswered, as on the real bus.
    }

    void push(const Clock::time_point ready, uint32_t id, uint8_t code, const uint8_t* data, size_t data_len,
              int short_len, int bad_code)
    {
        if (queue_head == queue.size()) {
            queue.clear();
            queue_head = 0;
        } else if (queue_head > 1024 && queue_head * 2 > queue.size()) {
            queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(queue_head));
            queue_head = 0;
        }
        Pending& p = queue.emplace_back();
        p.ready_at = ready;
        p.bytes[0] = kInputReportId;
        p.bytes[1] = USB_HID;
        put_le32(p.bytes + 2, id);
        p.bytes[6] = bad_code >= 0 ? static_cast<uint8_t>(bad_code) : code;
        std::memcpy(p.bytes + kInputHeader, data, data_len);
        p.length = static_cast<uint8_t>(short_len >= 0 ? std::min<int>(short_len, kInputReportSize) : kInputReportSize);
    }

    void heartbeat_bytes(uint8_t* data) { put_le32(data, heartbeat++); }

    void add_log(Direction dir, bool request, const uint8_t* bytes, size_t n)
    {
        if (!logging) {
            return;
        }
        LogEntry& e = log.emplace_back();
        e.direction = dir;
        e.request = request;
        e.length = static_cast<uint32_t>(n);
        e.overflow = 0;
        if (n <= kLogInline) {
            std::memcpy(e.bytes, bytes, n);
        } else {
            e.overflow = static_cast<uint32_t>(log_overflow.size());
            log_overflow.insert(log_overflow.end(), bytes, bytes + n);
        }
    }
    const uint8_t* log_bytes(const LogEntry& e) const
    {
        return e.length <= kLogInline ? e.bytes : log_overflow.data() + e.overflow;
    }

    // Pops the next report that is ready: its length, 0 on time-out, -1 when gone, -2 for an injected
    // read error.
    int take(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> deadline,
             const std::atomic<bool>* attached, std::optional<uint64_t> in_session, uint8_t* out,
             Clock::time_point* ready_at)
    {
        for (;;) {
            const Clock::time_point now = Clock::now();
            advance(now);
            if (!present() || (in_session && *in_session != session) || (attached != nullptr && !attached->load())) {
                return -1;
            }
            if (read_error_pending) {
                read_error_pending = false;
                return -2;
            }
            if (queue_head < queue.size() && queue[queue_head].ready_at <= now) {
                const Pending& p = queue[queue_head++];
                std::memcpy(out, p.bytes, p.length);
                *ready_at = p.ready_at;
                add_log(Direction::FromUnit, false, p.bytes, p.length);
                return p.length;
            }
            if (chatter) {
                std::memset(out, 0, kInputReportSize);
                out[0] = kInputReportId;
                put_le32(out + 2, CANMSG_HEARTBEAT);
                out[6] = CAN_8_BYTES;
                heartbeat_bytes(out + kInputHeader);
                *ready_at = now;
                return static_cast<int>(kInputReportSize);
            }
            if (deadline && now >= *deadline) {
                return 0;
            }
            std::optional<Clock::time_point> wake = deadline;
            if (queue_head < queue.size()) {
                const Clock::time_point head = queue[queue_head].ready_at;
                wake = wake ? std::min(*wake, head) : head;
            }
            if (const auto event = next_event()) {
                wake = wake ? std::min(*wake, *event) : *event;
            }
            if (wake) {
                cv.wait_until(lock, *wake);
            } else {
                cv.wait(lock);
            }
        }
    }
};

VirtualUnit::VirtualUnit(UnitConfig config) : state_(std::make_unique<State>())
{
    state_->config = config;
    // A blank but valid record, so that a load's checksum check passes on a fresh unit.
    state_->working = blank_record(1);
    state_->stored = state_->working;
}

VirtualUnit::~VirtualUnit() = default;

void VirtualUnit::set_generation(Generation g)
{
    const auto lock = state_->hold();
    state_->config.generation = g;
}

void VirtualUnit::set_version(uint8_t major, uint8_t minor, uint8_t patch, uint8_t rc)
{
    const auto lock = state_->hold();
    fwversion_t& v = state_->config.version;
    v.major = major;
    v.minor = minor;
    v.patch = patch;
    v.rc = rc;
}

void VirtualUnit::set_serial(uint32_t serial)
{
    const auto lock = state_->hold();
    state_->config.serial = serial;
}

void VirtualUnit::set_partition(uint32_t raw_value)
{
    const auto lock = state_->hold();
    // Both fields, so that 0 reports partition_none rather than falling back to `partition`.
    state_->config.partition = static_cast<mx25_partition>(raw_value);
    state_->config.partition_raw = raw_value;
}

UnitConfig VirtualUnit::config() const
{
    const auto lock = state_->hold();
    return state_->config;
}

void VirtualUnit::set_latency(std::chrono::microseconds per_reply)
{
    const auto lock = state_->hold();
    state_->latency = per_reply;
}

void VirtualUnit::set_chatter(bool on)
{
    {
        const auto lock = state_->hold();
        state_->chatter = on;
    }
    state_->cv.notify_all();
}

void VirtualUnit::set_logging(bool on)
{
    const auto lock = state_->hold();
    state_->logging = on;
}

void VirtualUnit::inject(const Fault& fault)
{
    const auto lock = state_->hold();
    state_->faults.push_back({fault, 0, 0});
}

void VirtualUnit::clear_faults()
{
    const auto lock = state_->hold();
    state_->faults.clear();
    state_->read_error_pending = false;
}

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
    s.advance(Clock::now()); // a time already past takes effect now
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
    const State& s = *state_;
    UnitConfig c = s.config;
    Retained r;
    r.working = s.working;
    r.stored = s.stored;
    if (s.running) {
        r.images = s.complete_images();
    } else if (ImageStart start; s.boot_outcome(&start)) {
        s.started_image(start, &c);
        r.working = start.settings;
        r.stored = start.settings;
    }
    r.generation = c.generation;
    r.version = c.version;
    r.partition = c.partition_raw != 0 ? c.partition_raw : c.partition;
    return r;
}

void VirtualUnit::restore(const Retained& kept)
{
    const auto lock = state_->hold();
    State& s = *state_;
    s.config.generation = kept.generation;
    s.config.version = kept.version;
    s.config.partition = static_cast<mx25_partition>(kept.partition);
    s.config.partition_raw = kept.partition;
    s.working = kept.working;
    s.stored = kept.stored;
    std::fill(s.erased_since_start.begin(), s.erased_since_start.end(), false);
    s.written_since_start.clear();
    for (const BankImage& image : kept.images) {
        const std::optional<uint32_t> first = bank_first_block(image.bank);
        const uint64_t size = sizeof image.header + uint64_t{image.header.encrypted_size};
        if (!first || size > uint64_t{FW_BANK_BLOCKS} * MX25_BLOCK_SIZE) {
            continue;
        }
        // The bank as the upload left it, but for the image's body, which is not kept.
        for (uint32_t b = *first; uint64_t{b - *first} * MX25_BLOCK_SIZE < size; ++b) {
            s.erase_block(b);
        }
        std::memcpy(s.block(*first), &image.header, sizeof image.header);
        const uint64_t start = uint64_t{*first} * MX25_BLOCK_SIZE;
        s.written_since_start.add(start, start + size);
    }
}

Settings_t VirtualUnit::working_settings() const
{
    const auto lock = state_->hold();
    return state_->working;
}

Settings_t VirtualUnit::stored_settings() const
{
    const auto lock = state_->hold();
    return state_->stored;
}

void VirtualUnit::set_working_settings(const Settings_t& s)
{
    const auto lock = state_->hold();
    state_->working = s;
}

void VirtualUnit::load_settings(const Settings_t& s)
{
    const auto lock = state_->hold();
    state_->working = s;
    state_->stored = s;
}

SENSOR_CALIB_t VirtualUnit::calibration() const
{
    const auto lock = state_->hold();
    return state_->calib;
}

void VirtualUnit::load_calibration(const SENSOR_CALIB_t& c)
{
    const auto lock = state_->hold();
    state_->calib = c;
}

std::vector<SaveRecord> VirtualUnit::saves() const
{
    const auto lock = state_->hold();
    return state_->saves;
}

std::vector<uint32_t> VirtualUnit::calibration_saves() const
{
    const auto lock = state_->hold();
    return state_->calib_saves;
}

std::vector<uint8_t> VirtualUnit::flash(uint32_t address, uint32_t length) const
{
    const auto lock = state_->hold();
    const uint64_t end = std::min<uint64_t>(uint64_t{address} + length, MX25_FLASH_SIZE);
    std::vector<uint8_t> out;
    if (address >= end) {
        return out;
    }
    out.reserve(static_cast<size_t>(end - address));
    for (uint64_t a = address; a < end; ++a) {
        out.push_back(state_->read_byte(static_cast<uint32_t>(a)));
    }
    return out;
}

void VirtualUnit::fill_flash(uint32_t address, const std::vector<uint8_t>& bytes)
{
    const auto lock = state_->hold();
    // Content put there by hand is not what the unit was sent.
    state_->written_since_start.remove(address, uint64_t{address} + bytes.size());
    for (size_t i = 0; i < bytes.size() && uint64_t{address} + i < MX25_FLASH_SIZE; ++i) {
        const uint32_t a = address + static_cast<uint32_t>(i);
        state_->block(a / MX25_BLOCK_SIZE)[a % MX25_BLOCK_SIZE] = bytes[i];
    }
}

std::vector<NorFault> VirtualUnit::nor_faults() const
{
    const auto lock = state_->hold();
    return state_->nor_faults;
}

uint32_t VirtualUnit::write_pointer() const
{
    const auto lock = state_->hold();
    return state_->write_pointer;
}

uint32_t VirtualUnit::erase_count() const
{
    const auto lock = state_->hold();
    return state_->erase_count;
}

bool VirtualUnit::airport_db_open() const
{
    const auto lock = state_->hold();
    return state_->airport_db_open;
}

std::optional<uint8_t> VirtualUnit::last_reboot_byte() const
{
    const auto lock = state_->hold();
    return state_->last_reboot;
}

int VirtualUnit::reboot_count() const
{
    const auto lock = state_->hold();
    return state_->reboot_count;
}

std::vector<LoggedReport> VirtualUnit::log() const
{
    const auto lock = state_->hold();
    std::vector<LoggedReport> out;
    out.reserve(state_->log.size());
    for (const LogEntry& e : state_->log) {
        const uint8_t* b = state_->log_bytes(e);
        out.push_back({e.direction, std::vector<uint8_t>(b, b + e.length), decode(e.direction, b, e.length)});
    }
    return out;
}

std::vector<COMMS_MSG_t> VirtualUnit::requests() const
{
    const auto lock = state_->hold();
    std::vector<COMMS_MSG_t> out;
    for (const LogEntry& e : state_->log) {
        if (e.request) {
            out.push_back(decode(Direction::ToUnit, state_->log_bytes(e), e.length));
        }
    }
    return out;
}

void VirtualUnit::clear_log()
{
    const auto lock = state_->hold();
    state_->log.clear();
    state_->log.shrink_to_fit();
    state_->log_overflow.clear();
    state_->log_overflow.shrink_to_fit();
}

int VirtualUnit::on_output_report(const uint8_t* data, size_t length, std::optional<uint64_t> session)
{
    if (data == nullptr || length == 0) {
        return -1;
    }
    State& s = *state_;
    std::unique_lock lock = s.hold();
    if (!s.present() || (session && *session != s.session)) {
        return -1;
    }
    const bool well_formed = length >= kOutputHeader && data[0] == kOutputReportId;
    if (!well_formed) {
        s.add_log(Direction::ToUnit, false, data, length); // logged for the test, otherwise ignored
        return static_cast<int>(length);
    }
    // The USB stack pads a short output report with zeros to the report length.
    const COMMS_MSG_t frame = decode(Direction::ToUnit, data, length);
    if (s.write_error_strikes(frame.can_ID)) {
        return -1;
    }
    s.add_log(Direction::ToUnit, true, data, length);

    const Effects fx = s.strike(frame.can_ID);
    if (fx.vanish) {
        s.vanished = true;
        s.set_presence(s.cable, s.running);
        return static_cast<int>(length);
    }
    if (fx.read_error) {
        s.read_error_pending = true;
    }
    Reply replies[Effects::kMaxReplies];
    int count = 0;
    if (!fx.ignore) {
        s.handle(frame, fx, replies, &count);
    }
    if (!s.present()) {
        return static_cast<int>(length); // the request made the unit leave (a restart): nothing follows
    }

    const Clock::time_point now = Clock::now();
    Clock::time_point t = std::max(now, s.last_ready) + fx.delay;
    for (uint32_t i = 0; i < fx.unrelated; ++i) {
        uint8_t hb[8] = {};
        s.heartbeat_bytes(hb);
        s.push(t, CANMSG_HEARTBEAT, CAN_8_BYTES, hb, sizeof hb, -1, -1);
    }
    for (int i = 0; i < count; ++i) {
        if (fx.drop[i]) {
            continue;
        }
        t += s.latency;
        const Reply& r = replies[i];
        s.push(t, r.id, r.code, r.data, sizeof r.data, fx.short_len[i], fx.bad_code[i]);
    }
    s.last_ready = t;
    lock.unlock();
    s.cv.notify_all();
    return static_cast<int>(length);
}

bool VirtualUnit::next_input_report(std::chrono::steady_clock::time_point deadline, InputReport* out)
{
    uint8_t buf[kInputReportSize];
    Clock::time_point ready{};
    std::unique_lock lock(state_->mutex);
    const int n = state_->take(lock, deadline, nullptr, std::nullopt, buf, &ready);
    lock.unlock();
    if (n == -2) {
        if (out != nullptr) {
            out->ready_at = Clock::now();
            out->bytes.clear();
            out->read_error = true;
        }
        return true;
    }
    if (n <= 0) {
        return false;
    }
    if (out != nullptr) {
        out->ready_at = ready;
        out->bytes.assign(buf, buf + n);
        out->read_error = false;
    }
    return true;
}

int VirtualUnit::read_report(std::optional<std::chrono::steady_clock::time_point> deadline, uint8_t* data,
                             size_t length, const std::atomic<bool>* attached, std::optional<uint64_t> session)
{
    if (data == nullptr) {
        return -1;
    }
    uint8_t buf[kInputReportSize];
    Clock::time_point ready{};
    std::unique_lock lock(state_->mutex);
    const int n = state_->take(lock, deadline, attached, session, buf, &ready);
    lock.unlock();
    if (n <= 0) {
        return n < 0 ? -1 : 0;
    }
    const size_t copied = std::min(length, static_cast<size_t>(n));
    std::memcpy(data, buf, copied);
    return static_cast<int>(copied);
}

void VirtualUnit::wake_readers()
{
    // Taking the lock orders the wake after any state change the caller made.
    {
        const auto lock = state_->hold();
    }
    state_->cv.notify_all();
}

} // namespace sim
