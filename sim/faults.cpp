#include "sim/faults.h"

#include <algorithm>

namespace sim::detail {

// Counts one matching request; true when the fault strikes it.
bool Faults::due(Active& a)
{
    const Fault& f = a.fault;
    if (a.seen++ < f.skip || (f.times >= 0 && a.hits >= f.times)) {
        return false;
    }
    ++a.hits;
    return true;
}

bool Faults::write_error_strikes(uint32_t id)
{
    bool hit = false;
    for (Active& a : active_) {
        const Fault& f = a.fault;
        if (f.kind != FaultKind::WriteError || (f.can_id != kAnyId && f.can_id != id)) {
            continue;
        }
        hit = due(a) || hit;
    }
    return hit;
}

Effects Faults::strike(uint32_t id)
{
    Effects fx;
    for (Active& a : active_) {
        const Fault& f = a.fault;
        if (f.kind == FaultKind::WriteError || (f.can_id != kAnyId && f.can_id != id) || !due(a)) {
            continue;
        }
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

} // namespace sim::detail
