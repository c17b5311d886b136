// efis-cli's settings that cannot hurt, against the virtual unit: the aircraft's identity kept from
// a file of another unit, records that would be implausible refused unless forced, values the
// window cannot show noted, and Ctrl-C during a restore (the signal sent by the test).
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
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

constexpr uint32_t kSetValue = 0x390; // 0.2.12's identifiers
constexpr uint32_t kSave = 0x3A0;

bool same(const Settings_t& a, const Settings_t& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class CliSafety : public ::testing::Test {
protected:
    void SetUp() override { unit = support::plug_demo_unit(); }
    void TearDown() override { sim::unplug_all(); }

    std::string file(const char* name, const std::string& unit_block, const std::string& settings) const
    {
        const std::string path = (dir.path() / name).string();
        std::ofstream(path) << R"({"format": "efis-config settings", "format_version": 1, )" << unit_block
                            << R"("settings": )" << settings << "}";
        return path;
    }

    size_t frames(uint32_t id) const { return support::count_requests(*unit, id); }
    std::vector<uint32_t> set_indices() const { return support::request_indices(*unit, kSetValue); }

    std::string registration() const { return unit->stored_settings().registration; }

    support::TempDir dir;
    std::shared_ptr<sim::VirtualUnit> unit;
};

const char* kIdentity = R"({"vne": 150, "registration": "G-ABCD", "ownship_icao": "ABCDEF",
                            "icao_address_type": "random"})";

TEST_F(CliSafety, IdentityIsKeptFromAFileOfAnotherUnitOrOfNone)
{
    struct Case {
        const char* name;
        std::string unit_block;
        const char* why;
    };
    const Case cases[] = {
        {"other.json", R"("unit": {"serial": "0x0BADF00D"}, )", "the file is from unit 0x0BADF00D"},
        {"fleet.json", "", "the file names no unit"},
    };
    for (const Case& c : cases) {
        unit = support::plug_demo_unit();
        const std::string path = file(c.name, c.unit_block, kIdentity);
        const std::string note = std::string("kept registration, ownship_icao, icao_address_type: ") + c.why +
                                 " (use --include-identity to copy them)";

        const Result dry = cli({"settings", "restore", "--dry-run", path});
        EXPECT_EQ(dry.status, 0) << dry.err;
        EXPECT_TRUE(contains(dry.err, note)) << dry.err;
        EXPECT_EQ(dry.out, "would send vne: 160 -> 150\n");

        const Result kept = cli({"settings", "restore", path});
        EXPECT_EQ(kept.status, 0) << kept.err;
        EXPECT_TRUE(contains(kept.err, note)) << kept.err;
        EXPECT_EQ(set_indices(), std::vector<uint32_t>{VNE_INDEX});
        EXPECT_EQ(unit->stored_settings().vspeeds.Vne, 150);
        EXPECT_EQ(registration(), "N12345");
        EXPECT_EQ(unit->stored_settings().ownship_icao, 0xA1B2C3u);

        unit->clear_log();
        const Result copied = cli({"settings", "restore", "--include-identity", path});
        EXPECT_EQ(copied.status, 0) << copied.err;
        EXPECT_FALSE(contains(copied.err, "kept")) << copied.err;
        EXPECT_EQ(registration(), "G-ABCD");
        EXPECT_EQ(unit->stored_settings().ownship_icao, 0xABCDEFu);
        EXPECT_EQ(unit->stored_settings().icao_address_type, 1u);
    }

    // A backup of this very unit brings its identity back without being asked.
    const std::string backup = (dir.path() / "own.json").string();
    ASSERT_EQ(cli({"settings", "backup", backup}).status, 0);
    ASSERT_EQ(cli({"settings", "set", "registration=N999"}).status, 0);
    const Result own = cli({"settings", "restore", backup});
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_FALSE(contains(own.err, "kept")) << own.err;
    EXPECT_EQ(registration(), "G-ABCD");
}

TEST_F(CliSafety, ImplausibleRecordsAreRefusedUnlessForced)
{
    const Settings_t demo = unit->stored_settings(); // vs0 45, vs1 50, vfe 85, vn0 130, vne 160, vlo 100
    const std::string slow = file("slow.json", "", R"({"vs0": 90})");
    struct Row {
        std::vector<std::string> args;
        std::vector<std::string> lines;
    };
    const Row refused[] = {
        {{"settings", "set", "vs1=140"}, {"vs1 140 is not below vn0 130"}},
        {{"settings", "set", "--dry-run", "vs1=140"}, {"vs1 140 is not below vn0 130"}},
        {{"settings", "restore", slow}, {"vs0 90 is above vs1 50", "vs0 90 is not below vfe 85"}},
    };
    for (const Row& row : refused) {
        unit->clear_log();
        const Result r = cli(row.args);
        EXPECT_EQ(r.status, 5) << r.err;
        EXPECT_TRUE(contains(r.err, "nothing was sent")) << r.err;
        for (const std::string& line : row.lines) {
            EXPECT_TRUE(contains(r.err, "  " + line + "\n")) << r.err;
        }
        EXPECT_TRUE(set_indices().empty());
        EXPECT_EQ(frames(kSave), 0u);
    }
    EXPECT_TRUE(same(demo, unit->stored_settings()));

    // The record as it would be afterwards counts: vn0 raised with vs1 is plausible.
    EXPECT_EQ(cli({"settings", "set", "vs1=140", "vn0=150"}).status, 0);

    const Result forced = cli({"settings", "restore", "--force", slow});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_TRUE(contains(forced.err, "--force")) << forced.err;
    EXPECT_TRUE(contains(forced.err, "  vs0 90 is not below vfe 85\n")) << forced.err;
    EXPECT_EQ(unit->stored_settings().vspeeds.Vs0, 90);

    // A unit already implausible: a change that leaves it so is refused, one that mends it is not,
    // and a speed of 0 is one not set.
    EXPECT_EQ(cli({"settings", "set", "vne=170"}).status, 5);
    EXPECT_EQ(cli({"settings", "set", "vs0=0"}).status, 0);
    EXPECT_EQ(cli({"settings", "set", "--force", "vs1=200"}).status, 0);
    EXPECT_EQ(unit->stored_settings().vspeeds.Vs1, 200);
}

TEST_F(CliSafety, ValuesBeyondTheWindowAreTakenWithANote)
{
    const Result r = cli({"settings", "set", "vne=250"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "note: vne 250 is beyond what the window offers (0..240)\n")) << r.err;
    EXPECT_EQ(unit->stored_settings().vspeeds.Vne, 250);
}

// SIGINT sent by the test to the thread running the command, and a handler of the test's own for
// one that comes after the command has ended, so that it never ends the test program.
class CtrlC : public CliSafety {
protected:
    void SetUp() override
    {
        CliSafety::SetUp();
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigaction(SIGINT, &sa, &previous_);
        command_thread_ = pthread_self();
    }
    void TearDown() override
    {
        if (presser_.joinable()) {
            presser_.join();
        }
        sigaction(SIGINT, &previous_, nullptr);
        CliSafety::TearDown();
    }

    // Waits until the unit has received `n` frames with identifier `id`; false after 30 s.
    bool wait_for(uint32_t id, size_t n) const
    {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (frames(id) < n) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    void press() const { pthread_kill(command_thread_, SIGINT); }

    std::thread presser_;

private:
    struct sigaction previous_ {};
    pthread_t command_thread_{};
};

TEST_F(CtrlC, FirstWarnsAndSecondStopsBeforeTheNextValue)
{
    const std::string backup = (dir.path() / "demo.json").string();
    ASSERT_EQ(cli({"settings", "backup", backup}).status, 0);
    // Every value differs, so the restore sends all 36, each answered 10 ms after it went.
    Settings_t other = unit->stored_settings();
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        uint32_t w = settings_get_value(&other, static_cast<settings_struct_index>(i)) ^ 1u;
        settings_set_value(&other, static_cast<settings_struct_index>(i), &w);
    }
    unit->load_settings(other);
    unit->set_latency(10ms);
    unit->clear_log();

    // The second press only once a value has gone after the first: by then it was seen.
    std::atomic<bool> pressed_twice{false};
    presser_ = std::thread([&] {
        if (!wait_for(kSetValue, 1)) {
            return;
        }
        press();
        if (wait_for(kSetValue, frames(kSetValue) + 2)) {
            press();
            pressed_twice = true;
        }
    });
    const Result r = cli({"settings", "restore", backup});
    presser_.join();
    ASSERT_TRUE(pressed_twice);

    EXPECT_EQ(r.status, 130) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m,
                                  std::regex("stopping now leaves ([0-9]+) value\\(s\\) sent but not committed; the "
                                             "restore goes on; press Ctrl-C again to stop anyway\n")))
        << r.err;
    EXPECT_GE(std::stoi(m[1]), 1);

    // Stopped before a value, with the ones sent named; nothing committed.
    const std::vector<uint32_t> sent = set_indices();
    ASSERT_GE(sent.size(), 3u);
    ASSERT_LT(sent.size(), size_t{SETTINGS_LAST_INDEX});
    std::string names;
    for (const settings_file::Setting& s : settings_file::all_settings()) {
        if (s.first <= sent.back()) {
            names += (names.empty() ? "" : ", ") + std::string(s.name);
        }
        if (s.first <= sent.back() && sent.back() < s.first + s.count - 1) {
            names += " (" + std::to_string(sent.back() - s.first + 1) + " of its 3 words)";
        }
    }
    EXPECT_TRUE(contains(r.err, "efis-cli: stopped by Ctrl-C before ")) << r.err;
    EXPECT_TRUE(contains(r.err, "the unit holds " + names +
                                    " sent but not committed: restarting the unit "
                                    "discards them"))
        << r.err;
    EXPECT_EQ(frames(kSave), 0u);
    EXPECT_TRUE(unit->saves().empty());
    EXPECT_TRUE(same(other, unit->stored_settings()));
    EXPECT_TRUE(r.out.empty()) << r.out;
}

TEST_F(CtrlC, AfterTheLastValueTheCommitFinishes)
{
    unit->inject(sim::Fault{sim::FaultKind::Delay, kSave, 0, 1, 300, -1});
    presser_ = std::thread([&] {
        if (wait_for(kSave, 1)) {
            press();
            press();
        }
    });
    const Result r = cli({"settings", "set", "vne=150"});
    presser_.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "Ctrl-C came after every value was sent; the commit was let finish")) << r.err;
    ASSERT_EQ(unit->saves().size(), 1u);
    EXPECT_TRUE(unit->saves()[0].committed);
    EXPECT_EQ(unit->stored_settings().vspeeds.Vne, 150);
}

} // namespace
