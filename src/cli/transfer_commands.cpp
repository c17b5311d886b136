// firmware check | firmware upload | airports upload
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "cli/progress.h"
#include "cli/unit_link.h"
#include "firmware_ops/firmware_ops.h"
#include "operations/operations.h"

namespace efis_cli {

using settings_file::hex32;

namespace {

std::string transfer_failure(const char* what, const TransferResult& r)
{
    return std::string(what) + " failed: " + transfer_step_text(r.step) + " (" + std::to_string(r.bytes_sent) + " of " +
           std::to_string(r.bytes_total) + " bytes sent)";
}

struct Upload {
    const char* what;
    TransferResult (*run)(CommsManager*, const char*, fw_progress_callback_t, void*);
    const char* interrupt_warning;
    const char* written; // "<written> written to unit <serial> (<n> bytes)<done>"
    const char* done;
};

constexpr const char* kFirmwareInterruptWarning =
    "efis-cli: stopping now leaves the firmware bank half written, and the unit will not start that image. The "
    "transfer goes on; press Ctrl-C again to stop anyway.";

const Upload kFirmware = {"firmware upload", send_fw, kFirmwareInterruptWarning, "Firmware image",
                          "; reboot the unit to start it"};
const Upload kAirports = {"airport database upload", send_airport_db,
                          "efis-cli: stopping now leaves the airport database half written, and the unit keeps "
                          "it closed. The transfer goes on; press Ctrl-C again to stop anyway.",
                          "Airport database", " and reopened"};

// Connects and runs one upload with its progress line; kDone only when every byte was written.
int upload(Context& ctx, const std::string& file, const Upload& u)
{
    Unit unit;
    if (const int status = connect_unit(ctx, unit); status != kDone) {
        return status;
    }
    TransferResult result;
    {
        Progress progress(ctx);
        UploadInterrupts interrupts(ctx, u.interrupt_warning);
        UploadWatch watch{progress, interrupts};
        result = u.run(&unit.comms, file.c_str(), &UploadWatch::report, &watch);
    }
    if (!result.ok()) {
        return ctx.fail(kUnitFailed, transfer_failure(u.what, result));
    }
    ctx.note(std::string(u.written) + " written to unit " + hex32(unit.id.serial) + " (" +
             std::to_string(result.bytes_sent) + " bytes)" + u.done);
    return kDone;
}

} // namespace

int firmware_check(Context& ctx, const std::string& file)
{
    const operations::ImageInspection image = operations::inspect_firmware_image(file);
    if (!image.readable) {
        return ctx.fail(kBadInput, file + ": " + image.error);
    }
    const FirmwareImageCheck& c = image.check;
    std::ostream& out = ctx.io.out;
    out << "file:            " << file << " (" << c.file_size << " bytes)\n";
    if (c.header_read) {
        const firmware_header_t& h = c.header;
        out << "magic:           " << hex32(h.magic) << "\n"
            << "version:         " << hex32(h.version) << "\n"
            << "total_size:      " << h.total_size << "\n"
            << "plaintext_size:  " << h.plaintext_size << "\n"
            << "encrypted_size:  " << h.encrypted_size << "\n"
            << "crc32_plaintext: " << hex32(h.crc32_plaintext) << "\n"
            << "crc32_encrypted: " << hex32(h.crc32_encrypted) << "\n"
            << "offset:          " << hex32(h.offset) << "\n"
            << "blocks needed:   " << c.blocks_needed << " of " << FW_BANK_BLOCKS << " in a bank ("
            << (c.fits_bank ? "fits" : "does not fit") << ")\n"
            << "length:          "
            << (c.complete
                    ? "complete (header and " + std::to_string(h.encrypted_size) + " bytes)"
                    : "short by " + std::to_string(uint64_t{h.encrypted_size} + sizeof h - c.file_size) + " bytes")
            << "\n";
        if (c.complete && c.file_size > uint64_t{sizeof h} + h.encrypted_size) {
            out << "note:            " << c.file_size - sizeof h - h.encrypted_size
                << " bytes after the image are not sent\n";
        }
    }
    if (!image.refusal.empty()) {
        out << "verdict:         refused: " << image.refusal << "\n";
        return kBadInput;
    }
    out << "verdict:         the upload accepts this image\n";
    return kDone;
}

int firmware_upload(Context& ctx, const std::string& file)
{
    const operations::ImageInspection image = operations::inspect_firmware_image(file);
    if (!image.readable) {
        return ctx.fail(kBadInput, file + ": " + image.error);
    }
    if (!image.refusal.empty()) {
        return ctx.fail(kBadInput, file + ": " + image.refusal + "; nothing was sent");
    }
    return upload(ctx, file, kFirmware);
}

int airports_upload(Context& ctx, const std::string& file)
{
    const operations::DatabaseInspection db = operations::inspect_airport_database(file);
    if (!db.readable) {
        return ctx.fail(kBadInput, file + ": " + db.error);
    }
    if (!db.refusal.empty()) {
        return ctx.fail(kBadInput, file + ": " + db.refusal + "; nothing was sent");
    }
    return upload(ctx, file, kAirports);
}

namespace {

std::string seconds_text(std::chrono::milliseconds ms)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", static_cast<double>(ms.count()) / 1000.0);
    return buf;
}

// What went wrong after the backup, what the unit holds now, and how to finish by hand.
std::string update_failure(const operations::UpdateResult& r, const std::string& running,
                           std::chrono::milliseconds timeout)
{
    const std::string backup = "; backup: " + r.backup_path;
    const std::string by_hand = "; once it is back, finish by hand: efis-cli settings restore " + r.backup_path;
    switch (r.step) {
    case operations::UpdateStep::Upload:
        return transfer_failure("firmware upload", r.transfer) + "; the unit still runs firmware " + running +
               " (the other bank holds an incomplete image it will not start)" + backup;
    case operations::UpdateStep::Restart:
        return "the restart command could not be sent; the unit runs firmware " + running +
               " with the new image in its other bank: restart it (efis-cli reboot), then restore its settings "
               "with efis-cli settings restore " +
               r.backup_path;
    case operations::UpdateStep::Wait: {
        std::string why = r.left_bus ? "the unit did not come back within " + seconds_text(timeout) + " of its restart"
                                     : "the unit did not restart within " + seconds_text(timeout);
        switch (r.reconnection.step) {
        case operations::ConnectStep::InUse:
            why += " (it is back, but in use by " + r.reconnection.holder.program + ", pid " +
                   std::to_string(r.reconnection.holder.pid) + ")";
            break;
        case operations::ConnectStep::NotOpenable:
            why += " (it is back, but could not be opened: " + r.reconnection.open_error + ")";
            break;
        case operations::ConnectStep::NoIdentity:
            why += " (it is back, but did not answer the identity request)";
            break;
        default:
            break;
        }
        return why + "; it was told to restart into the new image" + by_hand;
    }
    case operations::UpdateStep::Confirm:
        if (!r.after.version_reported) {
            return "the unit restarted reporting no firmware version, as only firmware before 0.2.12 does, not " +
                   operations::release_text(r.image.version) +
                   " from the image: it did not start the new image; its settings are as they were" + backup;
        }
        return "the unit restarted with firmware " + operations::release_text(r.after.firmware) + ", not " +
               operations::release_text(r.image.version) +
               " from the image: it did not start the new image; its settings are as they were" + backup;
    case operations::UpdateStep::Restore: {
        const operations::Application& a = r.restore_applied;
        std::string why =
            !r.restore_read.ok()                       ? "it did not answer the read of its settings"
            : a.step == operations::ApplyStep::History ? "the settings history could not be written: " + a.history_error
            : a.step == operations::ApplyStep::Send    ? "it did not accept " + operations::index_name(a.refused_index)
            : a.step == operations::ApplyStep::Commit
                ? std::string("the commit failed: ") + operations::commit_step_text(a.commit.step)
                : "the settings read back different values";
        return "firmware " + operations::release_text(r.after.firmware) +
               " is running, but the settings were not restored: " + why +
               "; try again with efis-cli settings restore " + r.backup_path;
    }
    case operations::UpdateStep::Calibration:
        return "firmware " + operations::release_text(r.after.firmware) +
               " is running and the settings are restored, but the unit did not answer the read of calibration "
               "index " +
               std::to_string(r.calibration_failed_index) + backup;
    case operations::UpdateStep::CheckImage:
    case operations::UpdateStep::Backup:
    case operations::UpdateStep::Done:
        break;
    }
    return "the update failed" + backup;
}

} // namespace

int firmware_update(Context& ctx, const std::string& file, const UpdateArgs& args)
{
    // The image first: a file that cannot be the update reaches no unit.
    const operations::ImageInspection image = operations::inspect_firmware_image(file);
    if (!image.readable) {
        return ctx.fail(kBadInput, file + ": " + image.error);
    }
    if (!image.refusal.empty()) {
        return ctx.fail(kBadInput, file + ": " + image.refusal + "; nothing was sent");
    }
    if (image.check.header.version == 0) {
        return ctx.fail(kBadInput, file + ": the image states no firmware version, and the update could not confirm "
                                          "it started; nothing was sent (firmware upload takes it as it is)");
    }

    Unit unit;
    if (const int status = connect_unit(ctx, unit); status != kDone) {
        return status;
    }
    const std::string running =
        unit.id.version_reported ? operations::release_text(unit.id.firmware) : std::string("(not reported)");
    const operations::UpdateImage judged = operations::check_update_image(file, unit.id, args.allow_downgrade);
    const std::string version = operations::release_text(judged.version);
    if (judged.verdict == operations::ImageVerdict::Downgrade) {
        return ctx.fail(kBadInput, file + " holds firmware " + version + ", older than the unit's " + running +
                                       "; nothing was sent (--allow-downgrade installs it all the same)");
    }
    if (!judged.ok()) {
        return ctx.fail(kBadInput, file + ": the image is refused; nothing was sent");
    }
    if (judged.same_version) {
        ctx.note("note: the unit runs firmware " + version + " already; it is installed again");
    } else if (judged.downgrade) {
        ctx.note("note: installing firmware " + version + ", older than the unit's " + running +
                 ", as --allow-downgrade asks");
    } else if (!judged.unit_version_known) {
        ctx.note("note: the unit reports no firmware version; " + version + " is installed without a comparison");
    }

    operations::UpdateOptions options;
    options.allow_downgrade = args.allow_downgrade;
    options.restore = !args.no_restore;
    options.restart_timeout = std::chrono::milliseconds(static_cast<int64_t>(args.timeout_seconds * 1000.0));
    options.program = ctx.program;
    options.history = !ctx.no_history;
    options.command = ctx.command;

    Progress progress(ctx);
    UploadInterrupts interrupts(ctx, kFirmwareInterruptWarning);
    UploadWatch watch{progress, interrupts};
    int interrupts_before_wait = 0;
    int step_number = 0;
    operations::UpdateObserver observer;
    observer.step_started = [&](operations::UpdateStep step) {
        ctx.note("[" + std::to_string(++step_number) + "/8] " + operations::update_step_text(step));
        if (step == operations::UpdateStep::Wait) {
            interrupts_before_wait = interrupts.count();
        }
    };
    observer.upload_progress = &UploadWatch::report;
    observer.upload_progress_user = &watch;
    // While the unit restarts nothing is half written: the first Ctrl-C ends the wait.
    observer.keep_waiting = [&] { return interrupts.count() == interrupts_before_wait; };

    const operations::UpdateResult r =
        operations::update_firmware(&unit.comms, &unit.lock, unit.id, file, options, observer);
    if (!r.backup_path.empty() && r.step != operations::UpdateStep::Backup) {
        ctx.note("backup: " + r.backup_path);
    }
    switch (r.step) {
    case operations::UpdateStep::Done:
        break;
    case operations::UpdateStep::CheckImage:
        return ctx.fail(kBadInput, file + ": the image is refused; nothing was sent");
    case operations::UpdateStep::Backup:
        if (!r.history_error.empty()) {
            return ctx.fail(kBadInput, "the settings history cannot be written: " + r.history_error +
                                           "; nothing was erased or sent (--no-history updates without it)");
        }
        return ctx.fail(r.backup_error.rfind("the unit", 0) == 0 ? kUnitFailed : kBadInput,
                        "no backup could be taken: " + r.backup_error + "; nothing was erased or sent");
    case operations::UpdateStep::Wait:
        if (r.stopped) {
            return ctx.fail(kInterrupted, "stopped by Ctrl-C while waiting for the unit to come back: it was told to "
                                          "restart into the new image; once it is back, finish by hand: efis-cli "
                                          "settings restore " +
                                              r.backup_path);
        }
        return ctx.fail(kUnitFailed, update_failure(r, running, options.restart_timeout));
    default:
        return ctx.fail(kUnitFailed, update_failure(r, running, options.restart_timeout));
    }

    for (const operations::CalibrationChange& c : r.calibration_changes) {
        ctx.warn("warning: " + operations::calibration_change_text(c));
    }
    std::string settings;
    switch (r.restore) {
    case operations::RestoreOutcome::Restored:
        settings = std::to_string(r.settings_restored) + " setting(s) restored and verified";
        break;
    case operations::RestoreOutcome::NothingDiffered:
        settings = "0 setting(s) restored: the unit kept every setting";
        break;
    case operations::RestoreOutcome::RecordVersionChanged:
        settings = "no setting restored: the new firmware keeps its settings in record version " +
                   std::to_string(r.record_version_after) + " (was " + std::to_string(r.record_version_before) + ")";
        ctx.warn("warning: the new firmware lays its settings out anew (record version " +
                 std::to_string(r.record_version_before) + " -> " + std::to_string(r.record_version_after) +
                 "), so none were restored; check them, and see the old ones in " + r.backup_path);
        break;
    case operations::RestoreOutcome::NotAsked:
        settings = "settings not restored (--no-restore)";
        break;
    }
    const std::string calibration =
        r.calibration_changes.empty()
            ? "calibration unchanged"
            : "calibration changed at " + std::to_string(r.calibration_changes.size()) + " index(es)";
    const std::string firmware =
        r.version_confirmed
            ? "Firmware " + operations::release_text(r.after.firmware) + " is running on unit " + hex32(r.after.serial)
            : "Firmware " + version + " was installed on unit " + hex32(r.after.serial) +
                  " (the unit reports no version, so it could not be confirmed)";
    ctx.io.out << firmware << "; " << settings << "; " << calibration << "; backup: " << r.backup_path << "\n";
    return kDone;
}

} // namespace efis_cli
