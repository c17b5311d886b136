// efis-cli choosing its unit: list with none, one and two units, --serial picking one of two
// without touching the other, several without a choice, --wait for a unit that comes a second
// later, and a unit another program holds left unopened.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cli/cli.h"
#include "operations/operations.h"
#include "tests/cli/cli_harness.h"
#include "tests/support/files.h"
#include "tests/support/unit.h"

#ifndef EFIS_CLI_SIM
#define EFIS_CLI_SIM ""
#endif

namespace {

using cli_test::cli;
using cli_test::contains;
using cli_test::Result;

class CliUnits : public ::testing::Test {
protected:
    void TearDown() override { sim::unplug_all(); }

    // Two demo units side by side; the second a legacy one.
    void plug_two()
    {
        first = support::plug_demo_unit();
        second = sim::make_demo_unit();
        second->set_serial(0x0BADF00D);
        second->set_generation(sim::Generation::Legacy);
        sim::plug(second);
    }

    std::shared_ptr<sim::VirtualUnit> first;
    std::shared_ptr<sim::VirtualUnit> second;
};

TEST_F(CliUnits, ListsNoneOneAndTwoUnits)
{
    sim::unplug_all();
    Result r = cli({"list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, "no EFIS unit found")) << r.err;
    r = cli({"list", "--json"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::array());

    support::plug_demo_unit();
    r = cli({"list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x00C0FFEE  0.2.12        current  sim:00C0FFEE:0\n");

    plug_two();
    r = cli({"list", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 2u) << j;
    EXPECT_EQ(j[0], nlohmann::json::parse(R"({"serial": "0x00C0FFEE", "firmware": "0.2.12", "generation": "current",
                                             "path": "sim:00C0FFEE:0", "in_use_by": null})"));
    EXPECT_EQ(j[1], nlohmann::json::parse(R"({"serial": "0x0BADF00D", "firmware": null, "generation": "legacy",
                                             "path": "sim:0BADF00D:0", "in_use_by": null})"));

    // A unit in use is listed as such, and not opened to find out more.
    operations::LockAttempt held = operations::take_unit_lock("sim:0BADF00D:0", "efis-config");
    ASSERT_EQ(held.outcome, operations::LockOutcome::Taken);
    second->clear_log();
    r = cli({"list"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string in_use = "in use by efis-config (pid " + std::to_string(getpid()) + ")";
    EXPECT_TRUE(contains(r.out, "0x0BADF00D  -             -        sim:0BADF00D:0  " + in_use)) << r.out;
    EXPECT_TRUE(second->log().empty());
    r = cli({"list", "--json"});
    EXPECT_EQ(nlohmann::json::parse(r.out)[1]["in_use_by"], "efis-config (pid " + std::to_string(getpid()) + ")");
}

TEST_F(CliUnits, SerialPicksOneOfTwoAndLeavesTheOtherAlone)
{
    plug_two();
    for (const char* serial : {"0x00C0FFEE", "c0ffee", "0X00c0ffee"}) {
        second->clear_log();
        const Result r = cli({"--serial", serial, "info"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(contains(r.out, "serial:          0x00C0FFEE")) << r.out;
        EXPECT_TRUE(second->log().empty()) << serial;
    }
    first->clear_log();
    const Result legacy = cli({"--serial", "badf00d", "info"});
    ASSERT_EQ(legacy.status, 0) << legacy.err;
    EXPECT_TRUE(contains(legacy.out, "serial:          0x0BADF00D")) << legacy.out;
    EXPECT_TRUE(first->log().empty());

    setenv("EFIS_SERIAL", "0x00C0FFEE", 1);
    second->clear_log();
    Result r = cli({"settings", "set", "vne=150"});
    unsetenv("EFIS_SERIAL");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(first->stored_settings().vspeeds.Vne, 150);
    EXPECT_TRUE(second->log().empty());

    // Several and no choice, a serial that matches none, a serial that is no serial.
    first->clear_log();
    second->clear_log();
    r = cli({"info"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "2 EFIS units found; choose one with --serial: 0x00C0FFEE, 0x0BADF00D")) << r.err;
    r = cli({"--serial", "0x1", "info"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "no EFIS unit with serial 0x00000001 found")) << r.err;
    EXPECT_TRUE(first->log().empty());
    EXPECT_TRUE(second->log().empty());
    r = cli({"--serial", "C0FFEE!", "info"});
    EXPECT_EQ(r.status, 2);
}

TEST_F(CliUnits, WaitsForAUnitThatComesLater)
{
    auto unit = sim::make_demo_unit();
    sim::PresenceSchedule later;
    later.present_after = std::chrono::milliseconds(1000);
    unit->schedule_presence(later);
    sim::unplug_all();
    sim::plug(unit);

    EXPECT_EQ(cli({"info"}).status, 3); // no waiting without --wait
    const auto start = std::chrono::steady_clock::now();
    const Result r = cli({"--wait", "10", "info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

    // A unit that never comes: given up after the time asked for.
    sim::unplug_all();
    const Result none = cli({"--wait", "0.6", "info"});
    EXPECT_EQ(none.status, 3);
    EXPECT_TRUE(contains(none.err, "no EFIS unit found")) << none.err;
}

TEST_F(CliUnits, AUnitAnotherProgramHoldsIsNotOpened)
{
    auto unit = support::plug_demo_unit();
    operations::LockAttempt held = operations::take_unit_lock("sim:00C0FFEE:0", "efis-config");
    ASSERT_EQ(held.outcome, operations::LockOutcome::Taken);
    unit->clear_log();

    const Result r = cli({"settings", "set", "vne=150"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(
        contains(r.err, "the EFIS unit sim:00C0FFEE:0 is in use by efis-config (pid " + std::to_string(getpid()) + ")"))
        << r.err;
    EXPECT_TRUE(unit->log().empty());

    // Another process is refused the same way; once the lock is free, the unit is there.
    if (std::string(EFIS_CLI_SIM).empty()) {
        GTEST_SKIP() << "efis-cli-sim not built";
    }
    support::TempDir state;
    const std::string command =
        "XDG_STATE_HOME='" + state.path().string() + "' " + std::string(EFIS_CLI_SIM) + " info >/dev/null 2>&1";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    held.lock.release();
    EXPECT_EQ(cli({"info"}).status, 0);
}

} // namespace
