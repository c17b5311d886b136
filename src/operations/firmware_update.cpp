// The guided firmware update: nothing is erased before the unit's settings and calibration are in
// a file, and nothing is called done before the unit has restarted into the new image and holds
// its settings again.
#include <algorithm>
#include <filesystem>
#include <thread>
#include <utility>

#include "efis_shared/get_set.h"
#include "operations/operations.h"

namespace operations {

namespace {

using Clock = std::chrono::steady_clock;

// Looking for the unit: often enough that a restart of a fifth of a second is not missed while it
// is away, and that its return is noticed at once.
constexpr auto kLeavePoll = std::chrono::milliseconds(5);
constexpr auto kReturnPoll = std::chrono::milliseconds(20);

// <dir>/<serial>/<time>-before-<version>.json, made unique should two backups share a second.
std::filesystem::path backup_path(const UpdateOptions& options, uint32_t serial, const fwversion_t& image,
                                  std::error_code& ec)
{
    const std::filesystem::path dir =
        std::filesystem::path(options.backup_directory.empty() ? default_backup_directory()
                                                               : options.backup_directory) /
        serial_folder(serial);
    std::filesystem::create_directories(dir, ec);
    const std::string stem =
        local_time_text(std::chrono::system_clock::now(), "%Y-%m-%dT%H-%M-%S") + "-before-" + release_text(image);
    std::filesystem::path path = dir / (stem + ".json");
    for (int n = 2; std::filesystem::exists(path) && n < 100; ++n) {
        path = dir / (stem + "-" + std::to_string(n) + ".json");
    }
    return path;
}

} // namespace

std::string release_text(const fwversion_t& fw)
{
    std::string text = version_text(fw);
    if (fw.rc != 0) {
        text += "-rc" + std::to_string(fw.rc);
    }
    return text;
}

int compare_versions(const fwversion_t& a, const fwversion_t& b)
{
    const auto key = [](const fwversion_t& v) {
        // A release sorts after every candidate of the same version: rc takes nine bits, so each
        // part has a field of its own.
        const uint32_t rc = v.rc == 0 ? 0x100u : v.rc;
        return (uint64_t{v.major} << 32) | (uint64_t{v.minor} << 24) | (uint64_t{v.patch} << 16) | rc;
    };
    const uint64_t ka = key(a);
    const uint64_t kb = key(b);
    return ka < kb ? -1 : ka > kb ? 1 : 0;
}

UpdateImage check_update_image(const std::string& path, const UnitIdentity& unit, bool allow_downgrade)
{
    UpdateImage image;
    image.inspection = inspect_firmware_image(path);
    if (!image.inspection.readable) {
        image.verdict = ImageVerdict::Unreadable;
        return image;
    }
    if (!image.inspection.refusal.empty()) {
        image.verdict = ImageVerdict::Refused;
        return image;
    }
    image.version.version = image.inspection.check.header.version;
    if (image.version.version == 0) {
        image.verdict = ImageVerdict::NoVersion;
        return image;
    }
    image.unit_version_known = unit.version_reported;
    if (unit.version_reported) {
        const int order = compare_versions(image.version, unit.firmware);
        image.same_version = order == 0;
        image.downgrade = order < 0;
    }
    image.verdict = image.downgrade && !allow_downgrade ? ImageVerdict::Downgrade : ImageVerdict::Accepted;
    return image;
}

std::string unit_bank(CommsManager* comms)
{
    switch (get_mx25_partition(comms)) {
    case partition_1:
        return "BANK1";
    case partition_2:
        return "BANK2";
    default:
        return {};
    }
}

namespace {

// One run of the guided update: each step is a member that says whether to go on, and leaves
// what it found in the result.
class Update {
public:
    Update(CommsManager* comms, UnitLock* lock, const UnitIdentity& unit, const std::string& image_path,
           const UpdateOptions& options, const UpdateObserver& observer, UpdateResult* result)
        : comms_(comms), lock_(lock), unit_(unit), image_path_(image_path), options_(options), observer_(observer),
          r_(*result)
    {
    }

    // The image, before anything reaches the unit.
    bool check_image()
    {
        r_.image = check_update_image(image_path_, unit_, options_.allow_downgrade);
        return r_.image.ok();
    }

    // The settings and the calibration into a file; a failure here leaves the flash untouched.
    bool back_up()
    {
        const RecordRead backup = read_settings(comms_);
        if (!backup.ok() || !backup.checksum_ok) {
            r_.restore_read = backup;
            r_.backup_error = !backup.ok() ? "the unit did not answer the read of " + index_name(backup.failed_index)
                                           : "the unit's settings checksum does not match its record";
            return false;
        }
        r_.record_version_before = backup.record.version;
        backup_ = backup_of(backup, unit_);
        CalibrationRead calibration = read_calibration(comms_);
        if (!calibration.ok()) {
            r_.calibration_failed_index = calibration.failed_index;
            r_.backup_error =
                "the unit did not answer the read of calibration index " + std::to_string(r_.calibration_failed_index);
            return false;
        }
        backup_.calibration = std::move(calibration.words);
        // The restore will be recorded in the history: a history that cannot be written is found
        // now, while the unit still runs its old image with its settings.
        if (options_.restore && options_.history && !history_writable(unit_.serial, &r_.history_error)) {
            r_.backup_error = "the settings history cannot be written: " + r_.history_error;
            return false;
        }
        std::error_code ec;
        const std::filesystem::path path = backup_path(options_, unit_.serial, r_.image.version, ec);
        if (ec) {
            r_.backup_error = "cannot create " + path.parent_path().string() + ": " + ec.message();
            return false;
        }
        std::string error;
        if (!settings_file::write_document_file(path.string(), backup_, &error)) {
            r_.backup_error = error;
            return false;
        }
        r_.backup_path = path.string();
        if (observer_.backup_written) {
            observer_.backup_written(r_.backup_path);
        }
        return true;
    }

    // The image into the bank the unit names.
    bool upload_image()
    {
        r_.transfer = send_fw(comms_, image_path_.c_str(), observer_.upload_progress, observer_.upload_progress_user);
        return r_.transfer.ok();
    }

    bool restart_unit()
    {
        const USBHID* usb = comms_->getUSBHID();
        old_path_ = usb != nullptr ? usb->path() : std::string();
        return reboot_unit(comms_);
    }

    // Away, and back with the same serial. Our lock stays while it is away, so no other program
    // of ours takes the unit in between.
    bool wait_for_return()
    {
        comms_->disconnect();
        deadline_ = Clock::now() + options_.restart_timeout;
        while (unit_listed(old_path_)) {
            if (!keep_waiting()) {
                return false;
            }
            std::this_thread::sleep_for(kLeavePoll);
        }
        r_.left_bus = true;
        for (;;) {
            if (!keep_waiting()) {
                return false;
            }
            if (reconnect()) {
                r_.after = r_.reconnection.unit;
                return true;
            }
            std::this_thread::sleep_for(kReturnPoll);
        }
    }

    // The version it started.
    bool confirm_version()
    {
        if (r_.after.version_reported) {
            r_.version_confirmed = r_.after.firmware.version == r_.image.version.version;
            return r_.version_confirmed;
        }
        // Only firmware before 0.2.12 answers without its version: the unit runs its old image.
        return !fwversion_ge(r_.image.version, 0, 2, 12);
    }

    // The settings as they were, unless the new firmware keeps a record of another layout.
    bool restore_settings()
    {
        if (!options_.restore) {
            return true;
        }
        r_.restore_read = read_settings(comms_);
        if (!r_.restore_read.ok()) {
            return false;
        }
        r_.record_version_after = r_.restore_read.record.version;
        if (r_.record_version_after != r_.record_version_before) {
            r_.restore = RestoreOutcome::RecordVersionChanged;
            return true;
        }
        r_.restore_applied = apply_settings_recorded(comms_, r_.after, r_.restore_read, backup_.settings,
                                                     {options_.history, options_.program, options_.command});
        if (!r_.restore_applied.ok()) {
            return false;
        }
        r_.settings_restored = r_.restore_applied.plan.changes.size();
        r_.restore = r_.restore_applied.step == ApplyStep::NothingToDo ? RestoreOutcome::NothingDiffered
                                                                       : RestoreOutcome::Restored;
        return true;
    }

    // The calibration, read and compared; never written.
    bool compare_calibration()
    {
        CalibrationRead read = read_calibration(comms_);
        if (!read.ok()) {
            r_.calibration_failed_index = read.failed_index;
            return false;
        }
        r_.calibration_changes = calibration_differences(*backup_.calibration, read.words);
        return true;
    }

private:
    bool keep_waiting()
    {
        if (observer_.keep_waiting && !observer_.keep_waiting()) {
            r_.stopped = true;
            return false;
        }
        return Clock::now() < deadline_;
    }

    // One look for the unit with our serial, and an attempt at each listed unit that may be it: one
    // whose descriptor states no serial is known only once it answers. The last attempt's outcome
    // stays in r_.reconnection.
    bool reconnect()
    {
        for (const FoundUnit& u : listed_units()) {
            if ((!u.listed_serial || *u.listed_serial == unit_.serial) && try_unit(u.path)) {
                return true;
            }
        }
        return false;
    }

    // Our lock stays on the unit being updated until it answers under another device path: a unit
    // that turns out to be another one never takes it.
    bool try_unit(const std::string& path)
    {
        Connection c;
        c.path = path;
        UnitLock taken;
        if (path != old_path_ || lock_ == nullptr || !lock_->held()) {
            LockAttempt attempt = take_unit_lock(path, options_.program);
            if (attempt.outcome != LockOutcome::Taken) {
                c.step = attempt.outcome == LockOutcome::InUse ? ConnectStep::InUse : ConnectStep::LockFailed;
                c.holder = attempt.holder;
                c.lock_error = attempt.error;
                r_.reconnection = std::move(c);
                return false;
            }
            taken = std::move(attempt.lock);
        }
        // A node that has just appeared may not be open to us yet, and a unit that has just
        // started may not answer yet: both are tried again until the time is up.
        if (!comms_->establish_connection(path)) {
            const USBHID* u = comms_->getUSBHID();
            c.step = u != nullptr && u->lastConnectFailure() == USBHID::ConnectFailure::OpenFailed
                         ? ConnectStep::NotOpenable
                         : ConnectStep::NoIdentity;
            c.open_error = u != nullptr ? u->openError() : std::string();
            r_.reconnection = std::move(c);
            return false;
        }
        if (comms_->unitSerial() != unit_.serial) {
            comms_->disconnect();
            return false;
        }
        if (taken.held() && lock_ != nullptr) {
            *lock_ = std::move(taken);
        }
        c.step = ConnectStep::Connected;
        c.unit = identity_of(*comms_);
        r_.reconnection = std::move(c);
        return true;
    }

    CommsManager* comms_;
    UnitLock* lock_;
    const UnitIdentity& unit_;
    const std::string& image_path_;
    const UpdateOptions& options_;
    const UpdateObserver& observer_;
    UpdateResult& r_;
    settings_file::Document backup_;
    std::string old_path_;
    Clock::time_point deadline_;
};

// The steps in the order they run, as the front ends list them.
constexpr std::pair<UpdateStep, bool (Update::*)()> kUpdateSteps[] = {
    {UpdateStep::CheckImage, &Update::check_image},   {UpdateStep::Backup, &Update::back_up},
    {UpdateStep::Upload, &Update::upload_image},      {UpdateStep::Restart, &Update::restart_unit},
    {UpdateStep::Wait, &Update::wait_for_return},     {UpdateStep::Confirm, &Update::confirm_version},
    {UpdateStep::Restore, &Update::restore_settings}, {UpdateStep::Calibration, &Update::compare_calibration},
};

} // namespace

UpdateResult update_firmware(CommsManager* comms, UnitLock* lock, const UnitIdentity& unit,
                             const std::string& image_path, const UpdateOptions& options,
                             const UpdateObserver& observer)
{
    UpdateResult r;
    r.before = unit;
    Update update(comms, lock, unit, image_path, options, observer, &r);
    for (const auto& [step, run] : kUpdateSteps) {
        if (observer.step_started) {
            observer.step_started(step);
        }
        const bool ok = (update.*run)();
        if (!ok) {
            r.step = step;
        }
        if (observer.step_ended) {
            observer.step_ended(step, ok);
        }
        if (!ok) {
            return r;
        }
    }
    r.step = UpdateStep::Done;
    return r;
}

const char* update_step_text(UpdateStep step)
{
    switch (step) {
    case UpdateStep::CheckImage:
        return "checking the image";
    case UpdateStep::Backup:
        return "backing up the settings and calibration";
    case UpdateStep::Upload:
        return "uploading the image";
    case UpdateStep::Restart:
        return "restarting the unit";
    case UpdateStep::Wait:
        return "waiting for the unit to come back";
    case UpdateStep::Confirm:
        return "confirming the firmware version";
    case UpdateStep::Restore:
        return "restoring the settings";
    case UpdateStep::Calibration:
        return "comparing the calibration";
    case UpdateStep::Done:
        break;
    }
    return "done";
}

std::string calibration_change_text(const CalibrationChange& change)
{
    std::string values;
    if (const settings_file::CalibrationField* f = settings_file::calibration_field(change.index)) {
        values = ", from " + settings_file::calibration_value_text(*f, change.before) + " to " +
                 settings_file::calibration_value_text(*f, change.after);
    }
    return "calibration changed at " + settings_file::calibration_word_name(change.index) + " in " +
           settings_file::calibration_block(change.index) + values +
           ": the unit may need calibrating again; the backup holds the old values";
}

} // namespace operations
