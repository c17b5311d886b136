// The guided firmware update: nothing is erased before the unit's settings and calibration are in
// a file, and nothing is called done before the unit has restarted into the new image and holds
// its settings again.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <thread>

#include "efis_shared/get_set.h"
#include "operations/operations.h"

namespace operations {

namespace {

using Clock = std::chrono::steady_clock;

// Looking for the unit: often enough that a restart of a fifth of a second is not missed while it
// is away, and that its return is noticed at once.
constexpr auto kLeavePoll = std::chrono::milliseconds(5);
constexpr auto kReturnPoll = std::chrono::milliseconds(20);

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

std::string timestamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H-%M-%S", &local);
    return buf;
}

// <dir>/<serial>/<time>-before-<version>.json, made unique should two backups share a second.
std::filesystem::path backup_path(const UpdateOptions& options, uint32_t serial, const fwversion_t& image,
                                  std::error_code& ec)
{
    char serial_text[16];
    std::snprintf(serial_text, sizeof serial_text, "%08X", static_cast<unsigned>(serial));
    const std::filesystem::path dir =
        std::filesystem::path(options.backup_directory.empty() ? default_backup_directory()
                                                               : options.backup_directory) /
        serial_text;
    std::filesystem::create_directories(dir, ec);
    const std::string stem = timestamp() + "-before-" + release_text(image);
    std::filesystem::path path = dir / (stem + ".json");
    for (int n = 2; std::filesystem::exists(path) && n < 100; ++n) {
        path = dir / (stem + "-" + std::to_string(n) + ".json");
    }
    return path;
}

// Every word of the calibration record that has a field; false at the first unanswered read.
bool read_calibration(CommsManager* comms, settings_file::Calibration* out, uint32_t* failed_index)
{
    for (uint32_t index = 0; index <= 0xFF; ++index) {
        if (!calib_index_has_field(index)) {
            continue;
        }
        uint32_t word = 0;
        if (!read_value(comms, SENSOR_COMMS, static_cast<uint8_t>(index), &word)) {
            *failed_index = index;
            return false;
        }
        (*out)[index] = word;
    }
    return true;
}

// Step bookkeeping: tells the observer when a step starts and how it ended.
class Steps {
public:
    Steps(const UpdateObserver& observer, UpdateResult* result) : observer_(observer), result_(result) {}

    void start(UpdateStep step)
    {
        current_ = step;
        if (observer_.step_started) {
            observer_.step_started(step);
        }
    }
    void done()
    {
        if (observer_.step_ended) {
            observer_.step_ended(current_, true);
        }
    }
    void fail()
    {
        result_->step = current_;
        if (observer_.step_ended) {
            observer_.step_ended(current_, false);
        }
    }

private:
    const UpdateObserver& observer_;
    UpdateResult* result_;
    UpdateStep current_ = UpdateStep::CheckImage;
};

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
        // A release sorts after every candidate of the same version.
        const uint32_t rc = v.rc == 0 ? 0x100u : v.rc;
        return (uint64_t{v.major} << 24) | (uint64_t{v.minor} << 16) | (uint64_t{v.patch} << 9) | rc;
    };
    const uint64_t ka = key(a);
    const uint64_t kb = key(b);
    return ka < kb ? -1 : ka > kb ? 1 : 0;
}

std::string state_directory()
{
    std::filesystem::path base = env("XDG_STATE_HOME");
    if (base.empty()) {
#ifdef _WIN32
        base = env("LOCALAPPDATA");
#else
        base = std::filesystem::path(env("HOME")) / ".local" / "state";
#endif
    }
    return (base / "efis-config").string();
}

std::string default_backup_directory()
{
    return (std::filesystem::path(state_directory()) / "backups").string();
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

UpdateResult update_firmware(CommsManager* comms, UnitLock* lock, const UnitIdentity& unit,
                             const std::string& image_path, const UpdateOptions& options,
                             const UpdateObserver& observer)
{
    UpdateResult r;
    r.before = unit;
    Steps steps(observer, &r);

    // 1. The image, before anything reaches the unit.
    steps.start(UpdateStep::CheckImage);
    r.image = check_update_image(image_path, unit, options.allow_downgrade);
    if (!r.image.ok()) {
        steps.fail();
        return r;
    }
    steps.done();

    // 2. The settings and the calibration into a file; a failure here leaves the flash untouched.
    steps.start(UpdateStep::Backup);
    const RecordRead backup = read_settings(comms);
    if (!backup.ok() || !backup.checksum_ok) {
        r.restore_read = backup;
        r.backup_error = !backup.ok() ? "the unit did not answer the read of " + index_name(backup.failed_index)
                                      : "the unit's settings checksum does not match its record";
        steps.fail();
        return r;
    }
    r.record_version_before = backup.record.version;
    settings_file::Document doc = backup_of(backup, unit);
    doc.calibration.emplace();
    if (!read_calibration(comms, &*doc.calibration, &r.calibration_failed_index)) {
        r.backup_error =
            "the unit did not answer the read of calibration index " + std::to_string(r.calibration_failed_index);
        steps.fail();
        return r;
    }
    std::error_code ec;
    const std::filesystem::path path = backup_path(options, unit.serial, r.image.version, ec);
    std::string error;
    if (ec) {
        r.backup_error = "cannot create " + path.parent_path().string() + ": " + ec.message();
        steps.fail();
        return r;
    }
    if (!settings_file::write_document_file(path.string(), doc, &error)) {
        r.backup_error = error;
        steps.fail();
        return r;
    }
    r.backup_path = path.string();
    if (observer.backup_written) {
        observer.backup_written(r.backup_path);
    }
    steps.done();

    // 3. The image into the bank the unit names.
    steps.start(UpdateStep::Upload);
    r.transfer = send_fw(comms, image_path.c_str(), observer.upload_progress, observer.upload_progress_user);
    if (!r.transfer.ok()) {
        steps.fail();
        return r;
    }
    steps.done();

    // 4. The restart.
    steps.start(UpdateStep::Restart);
    const USBHID* usb = comms->getUSBHID();
    const std::string old_path = usb != nullptr ? usb->path() : std::string();
    if (!reboot_unit(comms)) {
        steps.fail();
        return r;
    }
    steps.done();

    // 5. Away, and back with the same serial. Our lock stays while it is away, so no other
    // program of ours takes the unit in between.
    steps.start(UpdateStep::Wait);
    comms->disconnect();
    const Clock::time_point deadline = Clock::now() + options.restart_timeout;
    const auto keep_waiting = [&] {
        if (observer.keep_waiting && !observer.keep_waiting()) {
            r.stopped = true;
            return false;
        }
        return Clock::now() < deadline;
    };
    while (unit_listed(old_path)) {
        if (!keep_waiting()) {
            steps.fail();
            return r;
        }
        std::this_thread::sleep_for(kLeavePoll);
    }
    r.left_bus = true;
    for (;;) {
        if (!keep_waiting()) {
            steps.fail();
            return r;
        }
        const std::vector<FoundUnit> listed = listed_units();
        const auto back = std::find_if(listed.begin(), listed.end(), [&](const FoundUnit& u) {
            return !u.listed_serial || *u.listed_serial == unit.serial;
        });
        if (back == listed.end()) {
            std::this_thread::sleep_for(kReturnPoll);
            continue;
        }
        Connection c;
        c.path = back->path;
        if (back->path != old_path || lock == nullptr || !lock->held()) {
            // Another device path: its lock is taken at once, and the old one goes.
            LockAttempt attempt = take_unit_lock(back->path, options.program);
            if (attempt.outcome != LockOutcome::Taken) {
                c.step = attempt.outcome == LockOutcome::InUse ? ConnectStep::InUse : ConnectStep::LockFailed;
                c.holder = attempt.holder;
                c.lock_error = attempt.error;
                r.reconnection = std::move(c);
                std::this_thread::sleep_for(kReturnPoll);
                continue;
            }
            if (lock != nullptr) {
                *lock = std::move(attempt.lock);
            }
        }
        // A node that has just appeared may not be open to us yet, and a unit that has just
        // started may not answer yet: both are tried again until the time is up.
        if (!comms->establish_connection(back->path)) {
            const USBHID* u = comms->getUSBHID();
            c.step = u != nullptr && u->lastConnectFailure() == USBHID::ConnectFailure::OpenFailed
                         ? ConnectStep::NotOpenable
                         : ConnectStep::NoIdentity;
            c.open_error = u != nullptr ? u->openError() : std::string();
            r.reconnection = std::move(c);
            std::this_thread::sleep_for(kReturnPoll);
            continue;
        }
        if (comms->unitSerial() != unit.serial) {
            comms->disconnect();
            std::this_thread::sleep_for(kReturnPoll);
            continue;
        }
        c.step = ConnectStep::Connected;
        c.unit = identity_of(*comms);
        r.reconnection = std::move(c);
        break;
    }
    r.after = r.reconnection.unit;
    steps.done();

    // 6. The version it started.
    steps.start(UpdateStep::Confirm);
    if (r.after.version_reported) {
        if (r.after.firmware.version != r.image.version.version) {
            steps.fail();
            return r;
        }
        r.version_confirmed = true;
    } else if (fwversion_ge(r.image.version, 0, 2, 12)) {
        // Only firmware before 0.2.12 answers without its version: the unit runs its old image.
        steps.fail();
        return r;
    }
    steps.done();

    // 7. The settings as they were, unless the new firmware keeps a record of another layout.
    steps.start(UpdateStep::Restore);
    if (options.restore) {
        r.restore_read = read_settings(comms);
        if (!r.restore_read.ok()) {
            steps.fail();
            return r;
        }
        r.record_version_after = r.restore_read.record.version;
        if (r.record_version_after != r.record_version_before) {
            r.restore = RestoreOutcome::RecordVersionChanged;
        } else {
            r.restore_applied = apply_settings(comms, r.restore_read, doc.settings);
            if (!r.restore_applied.ok()) {
                steps.fail();
                return r;
            }
            r.settings_restored = r.restore_applied.plan.changes.size();
            r.restore = r.restore_applied.step == ApplyStep::NothingToDo ? RestoreOutcome::NothingDiffered
                                                                         : RestoreOutcome::Restored;
        }
    }
    steps.done();

    // 8. The calibration, read and compared; never written.
    steps.start(UpdateStep::Calibration);
    settings_file::Calibration now;
    if (!read_calibration(comms, &now, &r.calibration_failed_index)) {
        steps.fail();
        return r;
    }
    for (const auto& [index, word] : *doc.calibration) {
        if (now[index] != word) {
            r.calibration_changes.push_back({index, word, now[index]});
        }
    }
    steps.done();

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
    return "calibration changed at index " + std::to_string(change.index) + " (" +
           settings_file::calibration_block(change.index) +
           "): the unit may need calibrating again; the backup holds the old values";
}

} // namespace operations
