// A request's way through the unit (faults, the handler, replies queued with their latency) and
// the host's reads of what is queued.
#include <algorithm>
#include <cstring>

#include "efis_shared/can_export.h"
#include "sim/unit_state.h"

namespace sim {

using detail::Effects;
using detail::kInputHeader;
using detail::kInputReportId;
using detail::kInputReportSize;

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
    const bool well_formed = length >= detail::kOutputHeader && data[0] == detail::kOutputReportId;
    if (!well_formed) {
        s.log.add(Direction::ToUnit, false, data, length); // logged for the test, otherwise ignored
        return static_cast<int>(length);
    }
    // The USB stack pads a short output report with zeros to the report length.
    const COMMS_MSG_t frame = detail::decode(Direction::ToUnit, data, length);
    if (s.faults.write_error_strikes(frame.can_ID)) {
        return -1;
    }
    s.log.add(Direction::ToUnit, true, data, length);

    const Effects fx = s.faults.strike(frame.can_ID);
    if (fx.vanish) {
        s.vanished = true;
        s.set_presence(s.cable, s.running);
        return static_cast<int>(length);
    }
    if (fx.read_error) {
        s.read_error_pending = true;
    }
    State::Replies replies;
    if (!fx.ignore) {
        s.handle(frame, fx, replies);
    }
    if (!s.present()) {
        return static_cast<int>(length); // the request made the unit leave (a restart): nothing follows
    }

    const State::Clock::time_point now = State::Clock::now();
    State::Clock::time_point t = std::max(now, s.last_ready) + fx.delay;
    for (uint32_t i = 0; i < fx.unrelated; ++i) {
        uint8_t hb[8] = {};
        s.heartbeat_bytes(hb);
        s.queue.push(t, CANMSG_HEARTBEAT, CAN_8_BYTES, hb, sizeof hb, -1, -1);
    }
    for (int i = 0; i < replies.count; ++i) {
        if (fx.drop[i]) {
            continue;
        }
        t += s.latency;
        const detail::Reply& r = replies.reply[i];
        s.queue.push(t, r.id, r.code, r.data, sizeof r.data, fx.short_len[i], fx.bad_code[i]);
    }
    s.last_ready = t;
    lock.unlock();
    s.cv.notify_all();
    return static_cast<int>(length);
}

// Pops the next report that is ready: its length, 0 on time-out, -1 when gone, -2 for an injected
// read error.
int VirtualUnit::State::take(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> deadline,
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
        if (const detail::Pending* p = queue.pop_ready(now)) {
            std::memcpy(out, p->bytes, p->length);
            *ready_at = p->ready_at;
            log.add(Direction::FromUnit, false, p->bytes, p->length);
            return p->length;
        }
        if (chatter) {
            std::memset(out, 0, kInputReportSize);
            out[0] = kInputReportId;
            detail::put_le32(out + 2, CANMSG_HEARTBEAT);
            out[6] = CAN_8_BYTES;
            heartbeat_bytes(out + kInputHeader);
            *ready_at = now;
            return static_cast<int>(kInputReportSize);
        }
        if (deadline && now >= *deadline) {
            return 0;
        }
        std::optional<Clock::time_point> wake = deadline;
        if (const auto head = queue.head_ready_at()) {
            wake = wake ? std::min(*wake, *head) : *head;
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

bool VirtualUnit::next_input_report(std::chrono::steady_clock::time_point deadline, InputReport* out)
{
    uint8_t buf[kInputReportSize];
    State::Clock::time_point ready{};
    std::unique_lock lock(state_->mutex);
    const int n = state_->take(lock, deadline, nullptr, std::nullopt, buf, &ready);
    lock.unlock();
    if (n == -2) {
        if (out != nullptr) {
            out->ready_at = State::Clock::now();
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
    State::Clock::time_point ready{};
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
