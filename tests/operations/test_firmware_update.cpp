// The guided firmware update against a virtual unit that restarts (in a fifth of a second), in
// both identity generations: settings reset by the new image come back word for word, nothing is
// sent when nothing differs, a new record layout is left alone, a unit that rejects the image or
// never comes back is reported with the backup named, downgrades and version-less images are
// refused before any frame, and a calibration the new image changed is a warning.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "comms/can_msg_ids.h"
#include "efis_shared/get_set.h"
#include "operations/operations.h"
#include "sim/hid_backend.h"
#include "tests/support/files.h"
#include "tests/support/unit.h"

namespace {

using namespace std::chrono_literals;
using operations::ImageVerdict;
using operations::RestoreOutcome;
using operations::UpdateStep;

struct Generation {
    const char* name;
    sim::Generation generation;
    uint32_t set_id; // value writes as the unit expects them after the update (current map)
};

void PrintTo(const Generation& g, std::ostream* os)
{
    *os << g.name;
}

const Generation kGenerations[] = {
    {"current", sim::Generation::Current, 0x390},
    {"legacy", sim::Generation::Legacy, 0x390},
};

constexpr uint32_t kNewVersion = 0x00030000; // 0.3.0

class FirmwareUpdate : public ::testing::TestWithParam<Generation> {
protected:
    void SetUp() override
    {
        unit = support::plug_demo_unit();
        unit->set_generation(GetParam().generation);
        unit->set_restart_time(200ms);
        options.backup_directory = (dir.path() / "backups").string();
        options.restart_timeout = 10s;
        options.program = "test";
    }
    void TearDown() override { sim::unplug_all(); }

    // Connects as a front end does: under the unit's lock.
    void connect()
    {
        operations::Connection c = operations::connect_unit(&comms, {std::nullopt, false, "test"});
        ASSERT_TRUE(c.ok());
        identity = c.unit;
        lock = std::move(c.lock);
    }

    std::string image(uint32_t version, uint32_t bytes = 64 * 40)
    {
        firmware_header_t h{};
        h.magic = 0x46575631;
        h.version = version;
        h.total_size = bytes;
        h.plaintext_size = bytes;
        h.encrypted_size = bytes;
        return dir.write("fw-" + std::to_string(version) + ".bin", support::firmware_image(h, support::pattern(bytes)));
    }

    operations::UpdateResult update(const std::string& path)
    {
        operations::UpdateObserver observer;
        observer.step_started = [this](UpdateStep s) { started.push_back(s); };
        observer.backup_written = [this](const std::string& p) { backup_told = p; };
        return operations::update_firmware(&comms, &lock, identity, path, options, observer);
    }

    size_t sent(uint32_t id, size_t from = 0) const
    {
        const auto frames = unit->requests();
        size_t n = 0;
        for (size_t i = from; i < frames.size(); ++i) {
            n += frames[i].can_ID == id ? 1 : 0;
        }
        return n;
    }

    support::TempDir dir;
    std::shared_ptr<sim::VirtualUnit> unit;
    CommsManager comms;
    operations::UnitLock lock;
    operations::UnitIdentity identity;
    operations::UpdateOptions options;
    std::vector<UpdateStep> started;
    std::string backup_told;
};

TEST_P(FirmwareUpdate, SettingsResetByTheNewImageComeBackWordForWord)
{
    unit->set_update_resets_settings(true);
    connect();
    const Settings_t before = unit->stored_settings();
    const SENSOR_CALIB_t calibration = unit->calibration();

    const operations::UpdateResult r = update(image(kNewVersion));
    ASSERT_TRUE(r.ok()) << static_cast<int>(r.step) << " " << r.backup_error;
    EXPECT_EQ(started, (std::vector<UpdateStep>{UpdateStep::CheckImage, UpdateStep::Backup, UpdateStep::Upload,
                                                UpdateStep::Restart, UpdateStep::Wait, UpdateStep::Confirm,
                                                UpdateStep::Restore, UpdateStep::Calibration}));
    EXPECT_EQ(unit->config().version.version, kNewVersion);
    EXPECT_TRUE(r.version_confirmed);
    EXPECT_EQ(r.after.serial, 0x00C0FFEEu);
    EXPECT_EQ(r.restore, RestoreOutcome::Restored);
    EXPECT_EQ(r.settings_restored, r.restore_applied.plan.changes.size());
    EXPECT_GT(r.settings_restored, 20u);
    EXPECT_TRUE(r.calibration_changes.empty());
    EXPECT_TRUE(unit->nor_faults().empty());

    // Every word as it was, committed and read back.
    const Settings_t after = unit->stored_settings();
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const auto index = static_cast<settings_struct_index>(i);
        EXPECT_EQ(settings_get_value(&after, index), settings_get_value(&before, index)) << "index " << i;
    }
    EXPECT_EQ(r.restore_applied.step, operations::ApplyStep::Done);
    const SENSOR_CALIB_t calibration_after = unit->calibration();
    EXPECT_EQ(std::memcmp(&calibration_after, &calibration, sizeof calibration), 0); // never written

    // The backup: a settings file with the calibration, where it should be, named as it was written.
    EXPECT_EQ(backup_told, r.backup_path);
    const std::filesystem::path backup(r.backup_path);
    EXPECT_EQ(backup.parent_path(), dir.path() / "backups" / "00C0FFEE");
    EXPECT_NE(backup.filename().string().find("-before-0.3.0.json"), std::string::npos) << backup;
    settings_file::Document doc;
    std::string error;
    ASSERT_TRUE(settings_file::read_document_file(r.backup_path, &doc, &error)) << error;
    EXPECT_EQ(doc.settings.count(), settings_file::all_settings().size());
    ASSERT_TRUE(doc.calibration.has_value());
    EXPECT_EQ(doc.calibration->at(MMC_INITIAL_A_MATRIX_0_0_index),
              calib_get_value(&calibration, MMC_INITIAL_A_MATRIX_0_0_index));
    EXPECT_EQ(doc.unit->serial, 0x00C0FFEEu);
    EXPECT_TRUE(lock.held());
}

TEST_P(FirmwareUpdate, NothingDiffersNothingIsSent)
{
    connect();
    const operations::UpdateResult r = update(image(kNewVersion));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.restore, RestoreOutcome::NothingDiffered);
    EXPECT_EQ(r.settings_restored, 0u);
    EXPECT_EQ(sent(GetParam().set_id), 0u);
    EXPECT_TRUE(unit->saves().empty());
}

TEST_P(FirmwareUpdate, ANewRecordLayoutIsNotRestored)
{
    unit->set_update_resets_settings(true);
    unit->set_update_record_version(2);
    connect();
    const operations::UpdateResult r = update(image(kNewVersion));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.restore, RestoreOutcome::RecordVersionChanged);
    EXPECT_EQ(r.record_version_before, 1u);
    EXPECT_EQ(r.record_version_after, 2u);
    EXPECT_EQ(sent(GetParam().set_id), 0u);
    EXPECT_TRUE(unit->saves().empty());
    EXPECT_FALSE(r.backup_path.empty());
}

TEST_P(FirmwareUpdate, AUnitThatKeepsItsOldImageIsAFailureNamingBoth)
{
    unit->set_reject_images(true);
    connect();
    const Settings_t before = unit->stored_settings();
    const operations::UpdateResult r = update(image(kNewVersion));
    EXPECT_EQ(unit->restart_count(), 1);
    EXPECT_FALSE(r.backup_path.empty());
    EXPECT_TRUE(std::filesystem::exists(r.backup_path));
    if (GetParam().generation == sim::Generation::Current) {
        EXPECT_EQ(r.step, UpdateStep::Confirm);
        EXPECT_EQ(operations::release_text(r.after.firmware), "0.2.12");
        EXPECT_EQ(operations::release_text(r.image.version), "0.3.0");
    } else {
        // Still answering as only firmware before 0.2.12 does: not the 0.3.0 of the image.
        EXPECT_EQ(r.step, UpdateStep::Confirm);
        EXPECT_FALSE(r.after.version_reported);
    }
    EXPECT_EQ(sent(GetParam().set_id), 0u);
    const Settings_t after = unit->stored_settings();
    EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0);
}

TEST_P(FirmwareUpdate, AUnitThatDoesNotComeBackTimesOutWithTheBackupNamed)
{
    unit->set_restart_time(60s);
    options.restart_timeout = 400ms;
    connect();
    const auto start = std::chrono::steady_clock::now();
    const operations::UpdateResult r = update(image(kNewVersion));
    EXPECT_EQ(r.step, UpdateStep::Wait);
    EXPECT_TRUE(r.left_bus);
    EXPECT_FALSE(r.stopped);
    EXPECT_TRUE(std::filesystem::exists(r.backup_path));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    // A person giving up ends the wait at once.
    lock.release();
    sim::unplug_all();
    unit = support::plug_demo_unit();
    unit->set_restart_time(60s);
    options.restart_timeout = 60s;
    connect();
    operations::UpdateObserver observer;
    int looks = 0;
    observer.keep_waiting = [&looks] { return ++looks < 10; };
    const operations::UpdateResult stopped =
        operations::update_firmware(&comms, &lock, identity, image(kNewVersion), options, observer);
    EXPECT_EQ(stopped.step, UpdateStep::Wait);
    EXPECT_TRUE(stopped.stopped);
}

TEST_P(FirmwareUpdate, ImagesRefusedBeforeAnyFrame)
{
    unit->set_version(0, 3, 0);
    connect();
    unit->clear_log();

    // No version stated, and (for a unit that reports its version) an older image.
    operations::UpdateResult r = update(image(0));
    EXPECT_EQ(r.step, UpdateStep::CheckImage);
    EXPECT_EQ(r.image.verdict, ImageVerdict::NoVersion);
    r = update(image(0x00020C00));
    if (GetParam().generation == sim::Generation::Current) {
        EXPECT_EQ(r.step, UpdateStep::CheckImage);
        EXPECT_EQ(r.image.verdict, ImageVerdict::Downgrade);
    }
    EXPECT_TRUE(r.backup_path.empty() || GetParam().generation == sim::Generation::Legacy);
    if (GetParam().generation == sim::Generation::Current) {
        EXPECT_TRUE(unit->requests().empty());

        // Allowed, the downgrade goes through.
        options.allow_downgrade = true;
        r = update(image(0x00020C00));
        ASSERT_TRUE(r.ok()) << static_cast<int>(r.step);
        EXPECT_TRUE(r.image.downgrade);
        EXPECT_EQ(unit->config().version.version, 0x00020C00u);
    }

    // The same version is no refusal.
    const operations::UpdateImage same = operations::check_update_image(image(0x00030000), identity, false);
    EXPECT_EQ(same.verdict, ImageVerdict::Accepted);
    EXPECT_EQ(same.same_version, GetParam().generation == sim::Generation::Current);
}

TEST_P(FirmwareUpdate, ACalibrationChangedByTheNewImageIsAWarning)
{
    unit->on_image_start([](sim::ImageStart& start) {
        uint32_t word = 0x3F800001; // just over 1.0
        calib_set_value(&start.calibration, MMC_INITIAL_B_VECTOR_0_INDEX, &word);
    });
    connect();
    const operations::UpdateResult r = update(image(kNewVersion));
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.calibration_changes.size(), 1u);
    EXPECT_EQ(r.calibration_changes[0].index, uint32_t{MMC_INITIAL_B_VECTOR_0_INDEX});
    EXPECT_EQ(r.calibration_changes[0].after, 0x3F800001u);
    EXPECT_STREQ(settings_file::calibration_block(r.calibration_changes[0].index), "magnetometer");
}

TEST_P(FirmwareUpdate, OlderFirmwareOnALegacyUnitCannotBeConfirmedAndThatIsNoFailure)
{
    if (GetParam().generation != sim::Generation::Legacy) {
        GTEST_SKIP() << "only a legacy unit states no version";
    }
    connect();
    const operations::UpdateResult r = update(image(0x00020B00)); // 0.2.11 answers as its generation does
    ASSERT_TRUE(r.ok()) << static_cast<int>(r.step);
    EXPECT_FALSE(r.version_confirmed);
    EXPECT_EQ(unit->config().version.version, 0x00020B00u);
}

INSTANTIATE_TEST_SUITE_P(Generations, FirmwareUpdate, ::testing::ValuesIn(kGenerations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FirmwareVersions, OrderAndText)
{
    const auto v = [](uint32_t word) { return fwversion_t{word}; };
    EXPECT_EQ(operations::release_text(v(0x00030000)), "0.3.0");
    EXPECT_EQ(operations::release_text(v(0x00030002)), "0.3.0-rc2");
    EXPECT_LT(operations::compare_versions(v(0x00030002), v(0x00030000)), 0); // a candidate precedes its release
    EXPECT_LT(operations::compare_versions(v(0x00030000), v(0x00030101)), 0);
    EXPECT_LT(operations::compare_versions(v(0x00020C00), v(0x00030001)), 0);
    EXPECT_EQ(operations::compare_versions(v(0x01000000), v(0x01000000)), 0);
    EXPECT_GT(operations::compare_versions(v(0x01000000), v(0x00FFFF00)), 0);
    // A high patch number stays below the next minor version: 0.0.128 and 0.0.200 before 0.1.0.
    EXPECT_LT(operations::compare_versions(v(0x00008000), v(0x00010000)), 0);
    EXPECT_LT(operations::compare_versions(v(0x0000C800), v(0x00010000)), 0);
}

} // namespace
