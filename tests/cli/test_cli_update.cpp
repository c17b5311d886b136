// efis-cli firmware update against a virtual unit that restarts in a fifth of a second: the last
// line on standard output, the exit statuses, a backup that settings restore takes, and Ctrl-C
// while the unit is away.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"
#include "tests/cli/cli_harness.h"
#include "tests/support/files.h"
#include "tests/support/unit.h"

namespace {

using cli_test::cli;
using cli_test::contains;
using cli_test::Result;

using namespace std::chrono_literals;

class CliUpdate : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_STATE_HOME", (dir.path() / "state").c_str(), 1);
        unit = support::plug_demo_unit();
        unit->set_restart_time(200ms);
    }
    void TearDown() override
    {
        unsetenv("XDG_STATE_HOME");
        sim::unplug_all();
    }

    std::string image(uint32_t version)
    {
        firmware_header_t h{};
        h.magic = 0x46575631;
        h.version = version;
        h.total_size = h.plaintext_size = h.encrypted_size = 64 * 50;
        return dir.write("fw-" + std::to_string(version) + ".bin",
                         support::firmware_image(h, support::pattern(h.encrypted_size)));
    }

    // The backup named on the last line of standard output.
    static std::string backup_of(const Result& r)
    {
        const size_t at = r.out.find("backup: ");
        return at == std::string::npos ? std::string() : r.out.substr(at + 8, r.out.size() - at - 9);
    }

    support::TempDir dir;
    std::shared_ptr<sim::VirtualUnit> unit;
};

TEST_F(CliUpdate, RestoresWhatTheNewImageResetAndSaysSoOnOneLine)
{
    unit->set_update_resets_settings(true);
    const Settings_t before = unit->stored_settings();
    const Result r = cli({"firmware", "update", image(0x00030000)});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string backup = backup_of(r);
    EXPECT_EQ(r.out, "Firmware 0.3.0 is running on unit 0x00C0FFEE; 31 setting(s) restored and verified; calibration "
                     "unchanged; backup: " +
                         backup + "\n");
    EXPECT_TRUE(contains(backup, "/state/efis-config/backups/00C0FFEE/")) << backup;
    EXPECT_TRUE(contains(r.err, "[1/8] checking the image\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "[8/8] comparing the calibration\n")) << r.err;
    const Settings_t after = unit->stored_settings();
    EXPECT_EQ(std::memcmp(&after.units, &before.units, sizeof(Settings_t) - offsetof(Settings_t, units)), 0);

    // The backup is a settings file: the unit drifts, and settings restore brings it back.
    uint32_t vne = 150;
    Settings_t drifted = after;
    settings_set_value(&drifted, VNE_INDEX, &vne);
    unit->load_settings(drifted);
    const Result restore = cli({"settings", "restore", backup});
    ASSERT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(unit->stored_settings().vspeeds.Vne, before.vspeeds.Vne);
}

TEST_F(CliUpdate, ExitStatuses)
{
    // 5: refused images, before any unit is reached.
    unit->set_version(0, 3, 0);
    unit->clear_log();
    Result r = cli({"firmware", "update", image(0)});
    EXPECT_EQ(r.status, 5);
    EXPECT_TRUE(contains(r.err, "states no firmware version")) << r.err;
    r = cli({"firmware", "update", image(0x00020C00)});
    EXPECT_EQ(r.status, 5);
    EXPECT_TRUE(contains(r.err, "holds firmware 0.2.12, older than the unit's 0.3.0")) << r.err;
    EXPECT_EQ(unit->restart_count(), 0);

    // 4: the unit starts the old image again; the message names both versions and the backup.
    unit->set_reject_images(true);
    r = cli({"firmware", "update", "--allow-downgrade", image(0x00020C00)});
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(contains(r.err, "the unit restarted with firmware 0.3.0, not 0.2.12 from the image: it did not start "
                                "the new image"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "backup: ")) << r.err;
    EXPECT_EQ(r.out, "");

    // 4: a unit that does not come back in time; finishing by hand is spelled out.
    unit->set_reject_images(false);
    unit->set_restart_time(30s);
    r = cli({"firmware", "update", "--timeout", "0.5", image(0x00030100)});
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(contains(r.err, "did not come back within 0.5 s")) << r.err;
    EXPECT_TRUE(contains(r.err, "efis-cli settings restore ")) << r.err;

    // 3: no unit at the start.
    sim::unplug_all();
    EXPECT_EQ(cli({"firmware", "update", image(0x00030000)}).status, 3);
}

TEST_F(CliUpdate, NoRestoreAndANewRecordLayout)
{
    unit->set_update_resets_settings(true);
    unit->set_update_record_version(2);
    Result r = cli({"firmware", "update", image(0x00030000)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "no setting restored: the new firmware keeps its settings in record version 2 (was 1)"))
        << r.out;
    EXPECT_TRUE(contains(r.err, "warning: the new firmware lays its settings out anew")) << r.err;
    EXPECT_TRUE(unit->saves().empty());

    unit->set_update_record_version(std::nullopt);
    r = cli({"firmware", "update", "--no-restore", image(0x00030100)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Firmware 0.3.1 is running on unit 0x00C0FFEE; settings not restored (--no-restore)"))
        << r.out;
    EXPECT_TRUE(unit->saves().empty());
}

TEST_F(CliUpdate, CtrlCWhileTheUnitIsAwayStopsWithTheWayToFinish)
{
    unit->set_restart_time(30s);
    struct sigaction quiet {};
    struct sigaction previous {};
    quiet.sa_handler = [](int) {};
    sigaction(SIGINT, &quiet, &previous);
    const pthread_t command = pthread_self();
    std::thread presser([&] {
        // Once the unit is away, a person gives up.
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (unit->reboot_count() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(50ms);
        pthread_kill(command, SIGINT);
    });
    const Result r = cli({"firmware", "update", image(0x00030000)});
    presser.join();
    sigaction(SIGINT, &previous, nullptr);
    EXPECT_EQ(r.status, 130);
    EXPECT_TRUE(contains(r.err, "stopped by Ctrl-C while waiting for the unit to come back: it was told to restart "
                                "into the new image; once it is back, finish by hand: efis-cli settings restore "))
        << r.err;
}

} // namespace
