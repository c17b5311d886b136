// The settings history against the demo unit: the entry is on disk before the first value goes
// out and states how the commit ended; no change, no entry; a history that cannot be written
// stops the commit; and the newest 200 entries are kept, the update's backups untouched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "operations/operations.h"
#include "sim/hid_backend.h"
#include "tests/support/files.h"
#include "tests/support/unit.h"

namespace {

namespace fs = std::filesystem;
using namespace operations;

// Nothing the operations keep goes into the home directory: the program's state directory is a
// temporary one, for every test in it.
class StateDirectory : public ::testing::Environment {
public:
    void SetUp() override { setenv("XDG_STATE_HOME", dir_.path().c_str(), 1); }

private:
    support::TempDir dir_;
};
[[maybe_unused]] const ::testing::Environment* const kState = ::testing::AddGlobalTestEnvironment(new StateDirectory);

constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint32_t kSetValue = 0x390;
constexpr uint32_t kSave = 0x3A0;

class History : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::remove_all(state());
        unit = support::plug_demo_unit();
        Connection c = connect_unit(&comms, {std::nullopt, false, "test"});
        ASSERT_TRUE(c.ok());
        id = c.unit;
        lock = std::move(c.lock);
    }
    void TearDown() override { sim::unplug_all(); }
    static fs::path state() { return state_directory(); }
    // vne=150 (the unit holds 160) through the recorded application.
    Application set_vne(uint32_t vne, const ValueObserver& observer = {}, bool record = true)
    {
        const RecordRead before = read_settings(&comms);
        settings_file::Values values;
        values.put(*settings_file::find_setting("vne"), &vne);
        unit->clear_log();
        return apply_settings_recorded(&comms, id, before, values, {record, "test", "settings set vne"}, observer);
    }

    std::shared_ptr<sim::VirtualUnit> unit;
    CommsManager comms;
    UnitLock lock;
    UnitIdentity id;
};

TEST_F(History, WrittenBeforeTheFirstValueAndRewrittenWithTheOutcome)
{
    const struct {
        std::vector<sim::Fault> faults;
        bool stop;
        const char* outcome;
    } cases[] = {
        {{}, false, "committed"},
        {{{sim::FaultKind::Nack, kSetValue, 0, 1, 0, -1}}, false, "failed: send"},
        {{{sim::FaultKind::Nack, kSave, 0, 1, 0, -1}}, false, "failed: commit"},
        {{}, true, "stopped"},
    };
    size_t n = 0;
    for (const auto& c : cases) {
        unit->load_settings(sim::make_demo_unit()->working_settings());
        for (const sim::Fault& f : c.faults) {
            unit->inject(f);
        }
        std::string seen;
        const Application a = set_vne(150, [&](uint32_t, size_t, size_t) {
            const std::vector<HistoryEntry> now = list_history(kSerial);
            if (now.size() == n + 1 && support::count_requests(*unit, kSetValue) == 0) {
                seen = now[0].outcome();
                EXPECT_EQ(now[0].before.settings.word[VNE_INDEX], 160u);
            }
            return !c.stop;
        });
        ++n;
        EXPECT_EQ(seen, "pending") << c.outcome;
        const std::vector<HistoryEntry> entries = list_history(kSerial);
        ASSERT_EQ(entries.size(), n);
        EXPECT_EQ(entries[0].path, a.history_path);
        EXPECT_EQ(entries[0].outcome(), c.outcome);
        EXPECT_EQ(entries[0].change.dump(), R"({"program":"test","command":"settings set vne","outcome":")" +
                                                std::string(c.outcome) +
                                                R"(","changes":[{"setting":"vne","from":160,"to":150}]})");
        // An entry is a backup that a restore takes.
        EXPECT_TRUE(entries[0].before.unit && entries[0].before.unit->serial == kSerial);
        EXPECT_EQ(entries[0].before.settings.count(), settings_file::all_settings().size());
    }
    // Only a committed change is undone.
    ASSERT_NE(undo_target(list_history(kSerial)), nullptr);
    EXPECT_EQ(undo_target(list_history(kSerial))->path, list_history(kSerial).back().path);
}

TEST_F(History, NoEntryForNoChangeAndNoCommitWithoutAHistory)
{
    EXPECT_EQ(set_vne(160).step, ApplyStep::NothingToDo);
    EXPECT_TRUE(list_history(kSerial).empty());
    EXPECT_EQ(undo_target(list_history(kSerial)), nullptr);

    fs::create_directories(state());
    std::ofstream(state() / "history") << "a file where the directory belongs";
    const Application refused = set_vne(150);
    EXPECT_EQ(refused.step, ApplyStep::History);
    EXPECT_NE(refused.history_error.find("cannot create "), std::string::npos) << refused.history_error;
    EXPECT_TRUE(unit->requests().empty()) << "nothing was sent";
    EXPECT_EQ(set_vne(150, {}, false).step, ApplyStep::Done);
    EXPECT_EQ(unit->stored_settings().vspeeds.Vne, 150);
}

TEST_F(History, TheNewest200AreKeptAndTheUpdatesBackupsStay)
{
    const fs::path dir = history_directory(kSerial);
    fs::create_directories(dir);
    for (int i = 0; i < 200; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "2000-01-01T00-00-00.%03d.json", i);
        std::ofstream(dir / name) << "{}";
    }
    const fs::path backup = state() / "backups" / "00C0FFEE" / "2000-01-01T00-00-00-before-0.3.0.json";
    fs::create_directories(backup.parent_path());
    std::ofstream(backup) << "{}";

    EXPECT_EQ(set_vne(150).step, ApplyStep::Done);
    size_t kept = 0;
    for ([[maybe_unused]] const auto& f : fs::directory_iterator(dir)) {
        ++kept;
    }
    EXPECT_EQ(kept, 200u);
    EXPECT_FALSE(fs::exists(dir / "2000-01-01T00-00-00.000.json"));
    EXPECT_TRUE(fs::exists(dir / "2000-01-01T00-00-00.001.json"));
    EXPECT_TRUE(fs::exists(backup));
    // The files that are no entries are not listed.
    EXPECT_EQ(list_history(kSerial).size(), 1u);
}

TEST(HistoryText, FourChangesAndHowManyMore)
{
    nlohmann::ordered_json change = {{"changes", nlohmann::ordered_json::array()}};
    for (int i = 0; i < 6; ++i) {
        change["changes"].push_back(
            {{"setting", "vs" + std::to_string(i)}, {"from", i}, {"to", "#00000" + std::to_string(i)}});
    }
    EXPECT_EQ(history_changes_text(change),
              R"(vs0 0 -> "#000000", vs1 1 -> "#000001", vs2 2 -> "#000002", vs3 3 -> "#000003" and 2 more)");
}

} // namespace
