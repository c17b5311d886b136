// Finding units on the bus and connecting to one of them under its lock.
#include <algorithm>
#include <charconv>
#include <thread>

#include "operations/operations.h"
#include "operations/version_gate.h"

namespace operations {

UnitIdentity identity_of(const CommsManager& comms)
{
    UnitIdentity id;
    id.serial = comms.unitSerial();
    id.firmware = comms.unitFirmware();
    id.legacy = use_legacy_can_map();
    // The legacy identity reply carries no version; the current one always does.
    id.version_reported = id.firmware.version != 0;
    return id;
}

namespace {

// Why establish_connection() failed, as the USB transport saw it.
void failure_of(const CommsManager& comms, Connection* c)
{
    const USBHID* usb = comms.getUSBHID();
    switch (usb != nullptr ? usb->lastConnectFailure() : USBHID::ConnectFailure::NotFound) {
    case USBHID::ConnectFailure::OpenFailed:
        c->step = ConnectStep::NotOpenable;
        c->open_error = usb->openError();
        break;
    case USBHID::ConnectFailure::None:
        c->step = ConnectStep::NoIdentity;
        break;
    case USBHID::ConnectFailure::NotFound:
        c->step = ConnectStep::NotFound;
        break;
    }
}

// Opens the unit at `path` under its lock; the lock goes when the attempt fails.
Connection open_locked(CommsManager* comms, const std::string& path, const std::string& program)
{
    Connection c;
    c.path = path;
    LockAttempt attempt = take_unit_lock(path, program);
    switch (attempt.outcome) {
    case LockOutcome::InUse:
        c.step = ConnectStep::InUse;
        c.holder = attempt.holder;
        return c;
    case LockOutcome::Failed:
        c.step = ConnectStep::LockFailed;
        c.lock_error = attempt.error;
        return c;
    case LockOutcome::Taken:
        break;
    }
    if (!comms->establish_connection(path)) {
        failure_of(*comms, &c);
        return c;
    }
    c.step = ConnectStep::Connected;
    c.unit = identity_of(*comms);
    c.lock = std::move(attempt.lock);
    return c;
}

bool matches(const FoundUnit& u, const UnitChoice& choice)
{
    // A unit whose descriptor states no serial might be the one: only its identity can tell.
    return !choice.serial || !u.listed_serial || *u.listed_serial == *choice.serial;
}

} // namespace

std::string version_text(const fwversion_t& fw)
{
    return std::to_string(fw.major) + "." + std::to_string(fw.minor) + "." + std::to_string(fw.patch);
}

std::optional<uint32_t> parse_serial(std::string_view text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    uint32_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v, 16);
    if (text.empty() || text.size() > 8 || r.ec != std::errc() || r.ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return v;
}

std::vector<FoundUnit> listed_units()
{
    std::vector<FoundUnit> out;
    for (const USBHID::Listed& l : USBHID::listUnits(vendor_id, product_id)) {
        FoundUnit u;
        u.path = l.path;
        u.listed_serial = parse_serial(l.serial);
        out.push_back(std::move(u));
    }
    return out;
}

bool unit_listed(const std::string& path)
{
    const std::vector<USBHID::Listed> listed = USBHID::listUnits(vendor_id, product_id);
    return std::any_of(listed.begin(), listed.end(), [&](const USBHID::Listed& l) { return l.path == path; });
}

Connection connect_unit(CommsManager* comms, const UnitChoice& choice)
{
    Connection c;
    if (comms == nullptr) {
        return c;
    }
    const std::vector<FoundUnit> listed = listed_units();
    if (listed.empty()) {
        // Nothing on USB: the other transport may still answer, and the attempt says what it tried.
        if (comms->establish_connection()) {
            c.step = ConnectStep::Connected;
            c.unit = identity_of(*comms);
            return c;
        }
        failure_of(*comms, &c);
        return c;
    }
    if (!choice.serial && listed.size() > 1 && !choice.first_free) {
        c.step = ConnectStep::Several;
        c.found = listed;
        return c;
    }

    std::optional<Connection> in_use;
    for (const FoundUnit& u : listed) {
        if (!matches(u, choice)) {
            continue;
        }
        Connection attempt = open_locked(comms, u.path, choice.program);
        // Among several, a unit in use is passed over; the unit asked for by name is not.
        const bool chosen = !choice.serial || u.listed_serial;
        if (attempt.step == ConnectStep::InUse && (choice.first_free || !chosen)) {
            if (!in_use) {
                in_use = std::move(attempt);
            }
            continue;
        }
        if (attempt.ok() && choice.serial && attempt.unit.serial != *choice.serial) {
            // Its descriptor did not say, and its identity names another unit.
            comms->disconnect();
            continue;
        }
        return attempt;
    }
    if (in_use) {
        return std::move(*in_use);
    }
    c.step = ConnectStep::NoMatch;
    c.found = listed;
    return c;
}

void look_at_unit(FoundUnit* u, const std::string& program)
{
    // Looked at without being opened: the holder may be in the middle of an upload.
    if (std::optional<LockHolder> holder = unit_lock_holder(u->path)) {
        u->in_use_by = *holder;
        return;
    }
    const KeepVersionGate gate;
    CommsManager probe;
    Connection c = open_locked(&probe, u->path, program);
    u->probe = c.step;
    u->unit = c.unit;
    u->open_error = c.open_error;
    if (c.step == ConnectStep::InUse) {
        u->in_use_by = c.holder;
    }
    probe.disconnect();
}

std::vector<FoundUnit> find_units(const std::string& program)
{
    std::vector<FoundUnit> units = listed_units();
    for (FoundUnit& u : units) {
        look_at_unit(&u, program);
    }
    return units;
}

Connection wait_for_unit(CommsManager* comms, const UnitChoice& choice, std::chrono::milliseconds timeout,
                         std::chrono::milliseconds interval, const std::function<bool()>& keep_waiting)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        // Looking is enumeration only; a unit is opened once one that may be the one is listed.
        const std::vector<FoundUnit> listed = listed_units();
        if (std::any_of(listed.begin(), listed.end(), [&](const FoundUnit& u) { return matches(u, choice); })) {
            Connection c = connect_unit(comms, choice);
            if (c.step != ConnectStep::NotFound && c.step != ConnectStep::NoMatch) {
                return c;
            }
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline || (keep_waiting && !keep_waiting())) {
            return connect_unit(comms, choice);
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(interval, deadline - now));
    }
}

bool reboot_unit(CommsManager* comms)
{
    return send_reboot(comms);
}

} // namespace operations
