// The unit's frames as USB reports: the input and output report layouts, the replies queued for
// the host, and the frame log.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/virtual_unit.h"

namespace sim::detail {

using Clock = std::chrono::steady_clock;

constexpr size_t kInputReportSize = 71; // report number, iface, id (4), length code, 64 payload bytes
constexpr size_t kInputHeader = 7;
constexpr size_t kOutputHeader = 6; // report number, id (4), length code
constexpr uint8_t kInputReportId = 0x06;
constexpr uint8_t kOutputReportId = 0x05;

void put_le32(uint8_t* p, uint32_t v);
uint32_t get_le32(const uint8_t* p);
// The report decoded into a frame (zero-filled); output reports carry no iface byte.
COMMS_MSG_t decode(Direction dir, const uint8_t* b, size_t n);

// A reply before faults and framing; the unit never sends more than 8 payload bytes.
struct Reply {
    uint32_t id = 0;
    uint8_t code = 0;
    uint8_t data[8] = {};
};

struct Pending {
    Clock::time_point ready_at;
    uint8_t length = 0;
    uint8_t bytes[kInputReportSize] = {};
};

// Input reports waiting for the host, first in first out; the head index avoids shifting on every
// pop.
class ReportQueue {
public:
    // Frames a reply as an input report readable from `ready`, carrying length code `bad_code`
    // instead of `code` and cut to `short_len` bytes where those are not negative.
    void push(Clock::time_point ready, uint32_t id, uint8_t code, const uint8_t* data, size_t data_len, int short_len,
              int bad_code);
    // Takes the head when it is ready at `now`; it stays valid until the next push.
    const Pending* pop_ready(Clock::time_point now);
    std::optional<Clock::time_point> head_ready_at() const;
    void clear();

private:
    std::vector<Pending> queue_;
    size_t head_ = 0;
};

class FrameLog {
public:
    // Off stops recording; what was recorded stays.
    void set_enabled(bool on) { enabled_ = on; }
    // `request`: a well-formed output report the unit handled.
    void add(Direction dir, bool request, const uint8_t* bytes, size_t n);
    std::vector<LoggedReport> reports() const;
    std::vector<COMMS_MSG_t> requests() const;
    void clear();

private:
    static constexpr size_t kInline = 72; // every report the tool or the unit produces fits inline
    struct Entry {
        Direction direction;
        bool request;
        uint32_t length;   // bytes of the report as written or delivered
        uint32_t overflow; // offset into the overflow arena for reports longer than kInline
        uint8_t bytes[kInline];
    };
    const uint8_t* bytes(const Entry& e) const;

    bool enabled_ = true;
    std::vector<Entry> entries_;
    std::vector<uint8_t> overflow_;
};

} // namespace sim::detail
