#include "cli/unit_link.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "cli/progress.h"

namespace efis_cli {

using operations::index_name;
using settings_file::hex32;
using settings_file::Setting;

namespace {

std::string usb_id()
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04X:%04X", vendor_id, product_id);
    return buf;
}

const char* kPermissionHint =
#ifdef __linux__
    "Without the udev rule only root may open the unit's hidraw device: install the package, or copy "
    "70-efis-config.rules to /etc/udev/rules.d (see the README), run 'udevadm control --reload-rules && "
    "udevadm trigger', and plug the unit in again.";
#else
    "Check that no other program holds the unit open, and unplug it and plug it in again.";
#endif

std::string verification_failure(const operations::Verification& v)
{
    switch (v.step) {
    case operations::VerifyStep::ReadValue:
        return "committed, but the unit did not answer the read-back of " + index_name(v.failed_index);
    case operations::VerifyStep::ReadChecksum:
        return "committed, but the unit did not answer the read-back of its checksum";
    case operations::VerifyStep::Values: {
        const operations::Mismatch& m = v.mismatches.front();
        return "committed, but " + index_name(m.index) + " reads back as " + hex32(m.read) + " instead of " +
               hex32(m.expected);
    }
    case operations::VerifyStep::Checksum:
        return "committed, but the unit's stored checksum is " + hex32(v.stored_checksum) + " instead of the " +
               hex32(v.expected_checksum) + " sent";
    case operations::VerifyStep::NotConnected:
        return "committed, but the unit is no longer connected for the read-back";
    case operations::VerifyStep::Done:
        break;
    }
    return "committed and verified";
}

// The settings whose words were sent, by name: "vs0, vne, registration (1 of its 3 words)".
std::string sent_settings(const std::vector<uint32_t>& sent)
{
    std::string text;
    for (const Setting& s : settings_file::all_settings()) {
        const auto n =
            std::count_if(sent.begin(), sent.end(), [&](uint32_t i) { return i >= s.first && i < s.first + s.count; });
        if (n == 0) {
            continue;
        }
        text += (text.empty() ? "" : ", ") + std::string(s.name);
        if (static_cast<unsigned>(n) < s.count) {
            text += " (" + std::to_string(n) + " of its " + std::to_string(s.count) + " words)";
        }
    }
    return text;
}

} // namespace

std::string holder_text(const operations::LockHolder& h)
{
    return h.program + " (pid " + std::to_string(h.pid) + ")";
}

namespace {

// A unit as a choice names it: its serial, or its path when its descriptor states none.
std::string listed_name(const operations::FoundUnit& u)
{
    return u.listed_serial ? hex32(*u.listed_serial) : u.path;
}

} // namespace

int connect_unit(const Context& ctx, Unit& unit)
{
    const operations::UnitChoice choice{ctx.serial, false, ctx.program};
    operations::Connection c = ctx.wait.count() > 0 ? operations::wait_for_unit(&unit.comms, choice, ctx.wait)
                                                    : operations::connect_unit(&unit.comms, choice);
    switch (c.step) {
    case operations::ConnectStep::Connected:
        unit.id = c.unit;
        unit.path = c.path;
        unit.lock = std::move(c.lock);
        return kDone;
    case operations::ConnectStep::NotOpenable:
        return ctx.fail(kNoUnit,
                        "the EFIS unit was found but could not be opened: " + c.open_error + "\n" + kPermissionHint);
    case operations::ConnectStep::NoIdentity:
        return ctx.fail(kNoUnit, "the EFIS unit was opened but did not answer the identity request (WHOAMI); "
                                 "power-cycle it and try again");
    case operations::ConnectStep::InUse:
        return ctx.fail(kNoUnit, "the EFIS unit " + c.path + " is in use by " + holder_text(c.holder));
    case operations::ConnectStep::Several: {
        std::string names;
        for (const operations::FoundUnit& u : c.found) {
            names += (names.empty() ? "" : ", ") + listed_name(u);
        }
        return ctx.fail(kNoUnit,
                        std::to_string(c.found.size()) + " EFIS units found; choose one with --serial: " + names);
    }
    case operations::ConnectStep::NoMatch:
        return ctx.fail(kNoUnit, "no EFIS unit with serial " + hex32(*ctx.serial) + " found");
    case operations::ConnectStep::LockFailed:
        return ctx.fail(kNoUnit,
                        "the EFIS unit " + c.path + " was not opened: its lock could not be taken: " + c.lock_error);
    case operations::ConnectStep::NotFound:
        break;
    }
    return ctx.fail(kNoUnit, "no EFIS unit found (USB " + usb_id() +
                                 ", usage page 0xFF00): check the cable and that the unit is powered");
}

int read_record(const Context& ctx, Unit& unit, RecordRead* out)
{
    *out = operations::read_settings(&unit.comms);
    switch (out->step) {
    case operations::ReadStep::Done:
        return kDone;
    case operations::ReadStep::Header:
        return ctx.fail(kUnitFailed, "the unit did not answer the read of its record header (index " +
                                         std::to_string(out->failed_index) + ")");
    case operations::ReadStep::Value:
    case operations::ReadStep::Process:
        return ctx.fail(kUnitFailed, "the unit did not answer the read of " + index_name(out->failed_index));
    case operations::ReadStep::NotConnected:
        break;
    }
    return ctx.fail(kUnitFailed, "the unit is not connected");
}

int write_settings(const Context& ctx, Unit& unit, const RecordRead& before, const settings_file::Values& values,
                   const WriteOptions& options)
{
    const settings_file::Values old = settings_file::values_of(before.record);
    const auto change_line = [&](const Setting& s) {
        return std::string(s.name) + ": " + settings_file::setting_text(s, &old.word[s.first]) + " -> " +
               settings_file::setting_text(s, &values.word[s.first]);
    };
    const operations::ApplyPlan plan = operations::plan_apply(before, values);
    if (!plan.commit_needed) {
        ctx.note("The unit already holds every setting given; nothing was sent.");
        return kDone;
    }
    // The record as the unit would hold it afterwards, values it keeps included.
    if (const std::vector<std::string> broken =
            options.check_plausibility ? settings_file::implausible_values(plan.intended) : std::vector<std::string>{};
        !broken.empty()) {
        if (!options.force) {
            const int status = ctx.fail(kBadInput, "the settings would not be plausible together; nothing was sent "
                                                   "(--force sends them all the same):");
            for (const std::string& line : broken) {
                ctx.warn("  " + line);
            }
            return status;
        }
        ctx.warn("warning: the settings are not plausible together; they are sent as --force asks:");
        for (const std::string& line : broken) {
            ctx.warn("  " + line);
        }
    }
    for (const Setting* s : plan.changes) {
        if (const auto note = settings_file::window_note(*s, &values.word[s->first])) {
            ctx.note("note: " + *note);
        }
    }
    if (options.dry_run) {
        for (const Setting* s : plan.changes) {
            ctx.io.out << "would send " << change_line(*s) << "\n";
        }
        ctx.note(plan.changes.empty() ? "Nothing differs, but the unit's checksum does not match its record: a "
                                        "restore would commit the record again."
                                      : "Dry run: nothing was sent.");
        return kDone;
    }

    // From the first value sent until the commit, the unit holds values no one committed: a Ctrl-C
    // there warns first, and a second one stops before the next value.
    InterruptCounter interrupts;
    int seen = 0;
    bool warned = false;
    const auto observer = [&](uint32_t, size_t sent, size_t) {
        seen = interrupts.count();
        if (seen == 0) {
            return true;
        }
        if (sent == 0 || seen >= 2) {
            return false;
        }
        if (!warned) {
            ctx.warn("stopping now leaves " + std::to_string(sent) + " value(s) sent but not committed; the " +
                     options.what + " goes on; press Ctrl-C again to stop anyway");
            warned = true;
        }
        return true;
    };
    const operations::Application a = operations::apply_settings_recorded(
        &unit.comms, unit.id, before, values, {!ctx.no_history, ctx.program, ctx.command}, observer);
    if (a.step != operations::ApplyStep::Stopped && interrupts.count() > seen) {
        ctx.warn("Ctrl-C came after every value was sent; the commit was let finish");
    }
    if (a.step != operations::ApplyStep::History && !a.history_error.empty()) {
        ctx.warn("warning: the outcome could not be written to the settings history entry " + a.history_path + ": " +
                 a.history_error);
    }
    switch (a.step) {
    case operations::ApplyStep::Done:
        break;
    case operations::ApplyStep::History:
        return ctx.fail(kBadInput, "the settings history cannot be written: " + a.history_error +
                                       "; nothing was sent (--no-history commits without it)");
    case operations::ApplyStep::NothingToDo:
        ctx.note("The unit already holds every setting given; nothing was sent.");
        return kDone;
    case operations::ApplyStep::Send:
        return ctx.fail(kUnitFailed, "the unit did not accept " + index_name(a.refused_index) +
                                         "; nothing was committed (values sent before it stay uncommitted until "
                                         "the unit restarts)");
    case operations::ApplyStep::Stopped:
        if (a.sent.empty()) {
            return ctx.fail(kInterrupted, "stopped by Ctrl-C; nothing was sent");
        }
        return ctx.fail(kInterrupted, "stopped by Ctrl-C before " + index_name(a.stopped_index) + "; the unit holds " +
                                          sent_settings(a.sent) +
                                          " sent but not committed: restarting the unit discards them, a commit "
                                          "would keep them");
    case operations::ApplyStep::NotConnected:
        return ctx.fail(kUnitFailed, "the unit is not connected; nothing was sent");
    case operations::ApplyStep::Commit:
        if (a.commit.step == operations::CommitStep::ReadVersion ||
            a.commit.step == operations::CommitStep::ReadNumElements) {
            return ctx.fail(kUnitFailed, "the unit did not answer the read of its record version before the "
                                         "commit; nothing was committed");
        }
        return ctx.fail(kUnitFailed, std::string("the settings were sent but not committed: ") +
                                         operations::commit_step_text(a.commit.step));
    case operations::ApplyStep::Verify:
        return ctx.fail(kUnitFailed, verification_failure(a.verification));
    }

    for (const Setting* s : plan.changes) {
        ctx.io.out << change_line(*s) << "\n";
    }
    ctx.note("Committed " + std::to_string(plan.changes.size()) + " changed setting(s) to unit " +
             hex32(unit.id.serial) + " with checksum " + hex32(a.commit.checksum) + "; every value read back as sent.");
    return kDone;
}

} // namespace efis_cli
