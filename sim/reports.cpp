#include "sim/reports.h"

#include <algorithm>
#include <cstring>

namespace sim::detail {

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

void ReportQueue::push(const Clock::time_point ready, uint32_t id, uint8_t code, const uint8_t* data, size_t data_len,
                       int short_len, int bad_code)
{
    if (head_ == queue_.size()) {
        queue_.clear();
        head_ = 0;
    } else if (head_ > 1024 && head_ * 2 > queue_.size()) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    Pending& p = queue_.emplace_back();
    p.ready_at = ready;
    p.bytes[0] = kInputReportId;
    p.bytes[1] = USB_HID;
    put_le32(p.bytes + 2, id);
    p.bytes[6] = bad_code >= 0 ? static_cast<uint8_t>(bad_code) : code;
    std::memcpy(p.bytes + kInputHeader, data, data_len);
    p.length = static_cast<uint8_t>(short_len >= 0 ? std::min<int>(short_len, kInputReportSize) : kInputReportSize);
}

const Pending* ReportQueue::pop_ready(Clock::time_point now)
{
    if (head_ < queue_.size() && queue_[head_].ready_at <= now) {
        return &queue_[head_++];
    }
    return nullptr;
}

std::optional<Clock::time_point> ReportQueue::head_ready_at() const
{
    return head_ < queue_.size() ? std::optional(queue_[head_].ready_at) : std::nullopt;
}

void ReportQueue::clear()
{
    queue_.clear();
    head_ = 0;
}

void FrameLog::add(Direction dir, bool request, const uint8_t* bytes, size_t n)
{
    if (!enabled_) {
        return;
    }
    Entry& e = entries_.emplace_back();
    e.direction = dir;
    e.request = request;
    e.length = static_cast<uint32_t>(n);
    e.overflow = 0;
    if (n <= kInline) {
        std::memcpy(e.bytes, bytes, n);
    } else {
        e.overflow = static_cast<uint32_t>(overflow_.size());
        overflow_.insert(overflow_.end(), bytes, bytes + n);
    }
}

const uint8_t* FrameLog::bytes(const Entry& e) const
{
    return e.length <= kInline ? e.bytes : overflow_.data() + e.overflow;
}

std::vector<LoggedReport> FrameLog::reports() const
{
    std::vector<LoggedReport> out;
    out.reserve(entries_.size());
    for (const Entry& e : entries_) {
        const uint8_t* b = bytes(e);
        out.push_back({e.direction, std::vector<uint8_t>(b, b + e.length), decode(e.direction, b, e.length)});
    }
    return out;
}

std::vector<COMMS_MSG_t> FrameLog::requests() const
{
    std::vector<COMMS_MSG_t> out;
    for (const Entry& e : entries_) {
        if (e.request) {
            out.push_back(decode(Direction::ToUnit, bytes(e), e.length));
        }
    }
    return out;
}

void FrameLog::clear()
{
    entries_.clear();
    entries_.shrink_to_fit();
    overflow_.clear();
    overflow_.shrink_to_fit();
}

} // namespace sim::detail
