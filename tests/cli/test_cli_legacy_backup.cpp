// efis-cli with a unit that answers only the legacy identity request: a backup says the unit
// reported no firmware version, and that file restores like any other.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "efis_shared/get_set.h"
#include "tests/cli/cli_harness.h"
#include "tests/support/files.h"
#include "tests/support/unit.h"

namespace {

using cli_test::cli;
using cli_test::contains;
using cli_test::Result;

TEST(CliLegacyUnit, BackupWritesFirmwareNullAndRestores)
{
    auto unit = support::plug_demo_unit();
    unit->set_generation(sim::Generation::Legacy);
    const Settings_t demo = unit->stored_settings();

    const Result backup = cli({"settings", "backup", "-"});
    ASSERT_EQ(backup.status, 0) << backup.err;
    const nlohmann::json j = nlohmann::json::parse(backup.out);
    ASSERT_TRUE(j["unit"].contains("firmware")) << j;
    EXPECT_TRUE(j["unit"]["firmware"].is_null()) << j;
    EXPECT_EQ(j["unit"]["serial"], "0x00C0FFEE");
    EXPECT_NE(backup.err.find("firmware not reported"), std::string::npos) << backup.err;

    // The unit moves on; the backup brings back every word, committed once.
    Settings_t moved = demo;
    for (auto [index, value] : {std::pair{VNE_INDEX, 150u}, {REGISTRATION_1_INDEX, 0x47414243u}}) {
        settings_set_value(&moved, index, &value);
    }
    unit->load_settings(moved);
    support::TempDir dir;
    const std::string file = (dir.path() / "legacy.json").string();
    std::ofstream(file) << backup.out;
    const Result restore = cli({"settings", "restore", file});
    ASSERT_EQ(restore.status, 0) << restore.err;
    ASSERT_EQ(unit->saves().size(), 1u);
    EXPECT_TRUE(unit->saves()[0].committed);
    const Settings_t stored = unit->stored_settings();
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const auto index = static_cast<settings_struct_index>(i);
        EXPECT_EQ(settings_get_value(&stored, index), settings_get_value(&demo, index)) << "index " << i;
    }
    sim::unplug_all();
}

} // namespace
