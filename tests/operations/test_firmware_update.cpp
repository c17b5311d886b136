// The guided firmware update against a virtual unit that restarts in a fifth of a second, in both
// identity generations: each way an update ends stops at its step with nothing more sent, settings
// come back word for word, and the backup is where it should be before anything is erased.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "efis_shared/get_set.h"
#include "operations/operations.h"
#include "sim/hid_backend.h"
#include "tests/support/files.h"
#include "tests/support/unit.h"

namespace {

using namespace std::chrono_literals;
using operations::RestoreOutcome;
using operations::UpdateStep;

constexpr uint32_t kNewVersion = 0x00030000;   // 0.3.0
constexpr uint32_t kOlderVersion = 0x00020B00; // 0.2.11
constexpr uint32_t kSetId = 0x390;             // value writes as the unit expects them after the update

// One case of the table below, in one generation.
class FirmwareUpdate : public ::testing::TestWithParam<std::tuple<sim::Generation, size_t>> {
protected:
    void SetUp() override { plug(); }
    void TearDown() override { sim::unplug_all(); }
    void plug()
    {
        lock.release();
        unit = support::plug_demo_unit();
        unit->set_generation(std::get<0>(GetParam()));
        std::filesystem::remove_all(dir.path() / "backups");
        std::filesystem::remove_all(std::filesystem::path(operations::state_directory()) / "history");
        options = {};
        options.backup_directory = (dir.path() / "backups").string();
        options.program = "test";
    }
    // Connects as a front end does: under the unit's lock.
    void connect()
    {
        operations::Connection c = operations::connect_unit(&comms, {0x00C0FFEE, false, "test"});
        ASSERT_TRUE(c.ok());
        identity = c.unit;
        lock = std::move(c.lock);
        unit->clear_log();
    }
    // An image of 40 write frames stating this version.
    operations::UpdateResult update(uint32_t version, const operations::UpdateObserver& observer = {})
    {
        firmware_header_t h{};
        h.version = version;
        h.total_size = h.encrypted_size = 64 * 40;
        const std::string image = dir.write("fw.bin", support::firmware_image(h, support::pattern(64 * 40)));
        return operations::update_firmware(&comms, &lock, identity, image, options, observer);
    }
    support::TempDir dir;
    std::shared_ptr<sim::VirtualUnit> unit;
    CommsManager comms;
    operations::UnitLock lock;
    operations::UnitIdentity identity;
    operations::UpdateOptions options;
};

// What a case changes on the unit or in the options before the update: the new image starts from
// a blank record (of another layout), the unit comes back on its old image, the new image migrates
// the calibration, the unit's checksum does not match its record, the restart outlasts the wait (and
// a person gives up), the settings history cannot be written (and the update is told to do without),
// another unit is listed first and neither states a serial on USB.
constexpr unsigned Plain = 0, ResetsSettings = 1, NewLayout = 2, RejectsImages = 4, MigratesCalibration = 8,
                   StaleChecksum = 16, NoRestore = 32, AllowDowngrade = 64, NeverBack = 128, GivesUp = 256,
                   HistoryUnwritable = 512, NoHistory = 1024, BesideAnother = 2048;

const struct Case {
    unsigned arrange;
    uint32_t image;
    UpdateStep current, legacy; // where it ends, for each generation
    RestoreOutcome restore;     // when it ends done
} cases[] = {
    {Plain, kNewVersion, UpdateStep::Done, UpdateStep::Done, RestoreOutcome::NothingDiffered},
    {Plain, 0x00020C00, UpdateStep::Done, UpdateStep::Done, RestoreOutcome::NothingDiffered}, // the same again
    {ResetsSettings, kNewVersion, UpdateStep::Done, UpdateStep::Done, RestoreOutcome::Restored},
    {ResetsSettings | NoRestore, kNewVersion, UpdateStep::Done, UpdateStep::Done, RestoreOutcome::NotAsked},
    {ResetsSettings | NewLayout, kNewVersion, UpdateStep::Done, UpdateStep::Done, RestoreOutcome::RecordVersionChanged},
    {MigratesCalibration, kNewVersion, UpdateStep::Done, UpdateStep::Done, RestoreOutcome::NothingDiffered},
    // Still answering as before: its old version, or (legacy) no version, which 0.3.0 would report.
    {RejectsImages, kNewVersion, UpdateStep::Confirm, UpdateStep::Confirm, RestoreOutcome::NotAsked},
    {StaleChecksum, kNewVersion, UpdateStep::Backup, UpdateStep::Backup, RestoreOutcome::NotAsked},
    {Plain, 0, UpdateStep::CheckImage, UpdateStep::CheckImage, RestoreOutcome::NotAsked}, // no version stated
    // A legacy unit states no version to compare with; 0.2.11 answers as its generation does.
    {Plain, kOlderVersion, UpdateStep::CheckImage, UpdateStep::Done, RestoreOutcome::NothingDiffered},
    {AllowDowngrade, kOlderVersion, UpdateStep::Done, UpdateStep::Done, RestoreOutcome::NothingDiffered},
    {NeverBack, kNewVersion, UpdateStep::Wait, UpdateStep::Wait, RestoreOutcome::NotAsked},
    {NeverBack | GivesUp, kNewVersion, UpdateStep::Wait, UpdateStep::Wait, RestoreOutcome::NotAsked},
    {ResetsSettings | HistoryUnwritable, kNewVersion, UpdateStep::Backup, UpdateStep::Backup, RestoreOutcome::NotAsked},
    {ResetsSettings | HistoryUnwritable | NoHistory, kNewVersion, UpdateStep::Done, UpdateStep::Done,
     RestoreOutcome::Restored},
    {BesideAnother, kNewVersion, UpdateStep::Done, UpdateStep::Done, RestoreOutcome::NothingDiffered},
};

TEST_P(FirmwareUpdate, EachEndStopsAtItsStep)
{
    const bool legacy = std::get<0>(GetParam()) == sim::Generation::Legacy;
    const Case& c = cases[std::get<1>(GetParam())];
    unit->set_update_resets_settings((c.arrange & ResetsSettings) != 0);
    unit->set_reject_images((c.arrange & RejectsImages) != 0);
    options.restore = (c.arrange & NoRestore) == 0;
    options.allow_downgrade = (c.arrange & AllowDowngrade) != 0;
    unit->set_restart_time(c.arrange & NeverBack ? 60s : 200ms);
    options.restart_timeout = c.arrange & GivesUp ? 60s : c.arrange & NeverBack ? 400ms : 10s;
    unit->set_update_record_version(c.arrange & NewLayout ? std::optional<uint32_t>(2) : std::nullopt);
    if (c.arrange & MigratesCalibration) {
        unit->on_image_start([](sim::ImageStart& start) {
            uint32_t word = 0x3F800001; // just over 1.0
            calib_set_value(&start.calibration, MMC_INITIAL_B_VECTOR_0_INDEX, &word);
        });
    }
    options.history = (c.arrange & NoHistory) == 0;
    if (c.arrange & HistoryUnwritable) {
        std::filesystem::create_directories(operations::state_directory());
        std::ofstream(std::filesystem::path(operations::state_directory()) / "history") << "not a directory";
    }
    if (c.arrange & StaleChecksum) {
        Settings_t stale = unit->stored_settings();
        stale.crc32 ^= 1;
        unit->load_settings(stale);
    }
    if (c.arrange & BesideAnother) {
        sim::unplug_all();
        for (const auto& u : {std::make_shared<sim::VirtualUnit>(sim::UnitConfig{.serial = 0x0BADF00D}), unit}) {
            sim::plug(u, sim::PlugOptions{.hooks = {}, .states_serial = false});
        }
    }
    connect();
    const Settings_t before = unit->stored_settings();
    const SENSOR_CALIB_t calibration = unit->calibration();
    std::vector<std::pair<UpdateStep, bool>> heard;
    std::string backup_told;
    operations::UpdateObserver observer;
    observer.step_started = [&](UpdateStep s) { heard.emplace_back(s, false); };
    observer.step_ended = [&](UpdateStep s, bool ok) { heard.emplace_back(s, ok); };
    observer.backup_written = [&](const std::string& p) { backup_told = p; };
    int looks = 0;
    observer.keep_waiting = [&] { return !(c.arrange & GivesUp) || ++looks < 10; };
    const operations::UpdateResult r = update(c.image, observer);
    // Every step up to the one it ends at started and ended; that one failed.
    const UpdateStep step = legacy ? c.legacy : c.current;
    decltype(heard) expected;
    for (int s = 0; s <= int(step) && s < int(UpdateStep::Done); ++s) {
        expected.insert(expected.end(), {{UpdateStep(s), false}, {UpdateStep(s), s < int(step)}});
    }
    EXPECT_EQ(heard, expected);
    EXPECT_EQ(r.step, step);
    const bool done = step == UpdateStep::Done;
    const bool restored = done && c.restore == RestoreOutcome::Restored;
    EXPECT_EQ(unit->requests().empty(), step == UpdateStep::CheckImage);
    EXPECT_EQ(unit->erase_count() > 0, step > UpdateStep::Backup);
    EXPECT_TRUE(r.left_bus == (step > UpdateStep::Restart) && r.stopped == ((c.arrange & GivesUp) != 0));
    EXPECT_EQ(unit->restart_count(), step > UpdateStep::Wait ? 1 : 0);
    EXPECT_EQ(r.version_confirmed, done && (!legacy || c.image >= 0x00020C00));
    EXPECT_EQ(r.restore, done ? c.restore : RestoreOutcome::NotAsked);
    EXPECT_EQ(r.calibration_changes.size(), done && (c.arrange & MigratesCalibration) ? 1u : 0u);
    if (!r.calibration_changes.empty()) {
        EXPECT_EQ(operations::calibration_change_text(r.calibration_changes[0]),
                  "calibration changed at mmc_initial_b_vector_0 (index 13) in magnetometer (initial), from 12.5 to "
                  "1.0000001: the unit may need calibrating again; the backup holds the old values");
    }
    EXPECT_TRUE(unit->nor_faults().empty() && lock.held());
    // The lock stays the updated unit's, whatever else answered on the way.
    EXPECT_TRUE(lock.file().ends_with(operations::unit_lock_file_name("sim:00C0FFEE:0")) &&
                !operations::unit_lock_holder("sim:0BADF00D:0"));
    EXPECT_EQ(done ? unit->config().version.version : c.image, c.image);
    // Values are sent and committed only to restore; then the record comes back word for word.
    EXPECT_EQ(support::count_requests(*unit, kSetId) > 0, restored);
    EXPECT_EQ(unit->saves().size(), restored ? 1u : 0u);
    EXPECT_EQ(operations::list_history(0x00C0FFEE).size(), restored && options.history ? 1u : 0u);
    const Settings_t after = unit->stored_settings();
    EXPECT_EQ(std::memcmp(&after, &before, sizeof before) == 0, !done || restored || !(c.arrange & ResetsSettings));
    // The calibration is never written. The backup: a settings file with it, where it should
    // be, named as it was written, before anything was erased.
    const SENSOR_CALIB_t calibration_after = unit->calibration();
    EXPECT_EQ(std::memcmp(&calibration_after, &calibration, sizeof calibration) == 0,
              !done || !(c.arrange & MigratesCalibration));
    EXPECT_EQ(backup_told, r.backup_path);
    settings_file::Document doc;
    if (step > UpdateStep::Backup && settings_file::read_document_file(r.backup_path, &doc, nullptr)) {
        EXPECT_EQ(std::filesystem::path(r.backup_path).parent_path(), dir.path() / "backups" / "00C0FFEE");
        EXPECT_TRUE(r.backup_path.ends_with("-before-" + operations::release_text({c.image}) + ".json"));
        EXPECT_TRUE(doc.unit->serial == 0x00C0FFEEu && doc.settings.count() == settings_file::all_settings().size());
        EXPECT_EQ(doc.calibration.value().at(MMC_INITIAL_A_MATRIX_0_0_index),
                  calib_get_value(&calibration, MMC_INITIAL_A_MATRIX_0_0_index));
        settings_file::CalibrationDocument kept; // as calibration diff reads it
        EXPECT_TRUE(settings_file::read_calibration_document_file(r.backup_path, &kept, nullptr));
        EXPECT_EQ(kept.calibration, doc.calibration.value());
    } else {
        EXPECT_TRUE(step <= UpdateStep::Backup && r.backup_path.empty()) << r.backup_path;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FirmwareUpdate,
                         ::testing::Combine(::testing::Values(sim::Generation::Current, sim::Generation::Legacy),
                                            ::testing::Range(size_t{0}, std::size(cases))),
                         [](const auto& info) {
                             const bool legacy = std::get<0>(info.param) == sim::Generation::Legacy;
                             return (legacy ? "legacy_" : "current_") + std::to_string(std::get<1>(info.param));
                         });

// Each older than the next: a candidate precedes its release, and a high patch number stays below
// the next minor version.
TEST(FirmwareVersions, OrderAndText)
{
    EXPECT_EQ(operations::release_text({0x00030002}), "0.3.0-rc2");
    const fwversion_t ascending[] = {{0x00008000}, {0x0000C800}, {0x00010000}, {0x00020C00}, {0x00030001},
                                     {0x00030002}, {0x00030000}, {0x00030101}, {0x00FFFF00}, {0x01000000}};
    for (size_t i = 0; i + 1 < std::size(ascending); ++i) {
        EXPECT_LT(operations::compare_versions(ascending[i], ascending[i + 1]), 0) << std::hex << ascending[i].version;
        EXPECT_GT(operations::compare_versions(ascending[i + 1], ascending[i]), 0) << std::hex << ascending[i].version;
        EXPECT_EQ(operations::compare_versions(ascending[i], ascending[i]), 0) << std::hex << ascending[i].version;
    }
}

} // namespace
