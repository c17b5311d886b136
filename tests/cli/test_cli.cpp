// efis-cli end to end against the virtual unit, in both firmware generations: every command and
// exit status, restores that leave the unit holding exactly the file's words after one accepted
// save, refusals that send nothing, and JSON output with nothing else on standard output.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "comms/can_msg_ids.h"
#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"
#include "tests/cli/cli_harness.h"
#include "tests/support/files.h"
#include "tests/support/unit.h"

namespace {

using cli_test::cli;
using cli_test::contains;
using cli_test::Result;

using efis_cli::Streams;
using sim::FaultKind;

// Which firmware the unit runs, and the identifiers it then expects.
struct Generation {
    const char* name;
    sim::UnitConfig config;
    uint32_t set_id;
    uint32_t save_id;
    uint32_t reboot_id;
    uint32_t flash_write_id;
    const char* label;
};

void PrintTo(const Generation& g, std::ostream* os)
{
    *os << g.name;
}

const Generation kGenerations[] = {
    {"current", {sim::Generation::Current, {0x00020C00}, 0x00C0FFEE}, 0x390, 0x3A0, 0x3B0, 0x420, "current"},
    {"patch11", {sim::Generation::Current, {0x00020B00}, 0x00C0FFEE}, 0x378, 0x379, 0x399, 0x415, "legacy"},
    {"legacy", {sim::Generation::Legacy, {0}, 0x00C0FFEE}, 0x378, 0x379, 0x399, 0x415, "legacy"},
};

// A record unlike the demo unit's in every setting, awkward words included.
Settings_t other_record(uint32_t seed)
{
    std::mt19937 rng(seed);
    Settings_t r{};
    uint32_t w = kSettingsMagic;
    settings_set_value(&r, SETTINGS_MAGIC_NUM, &w);
    w = 1;
    settings_set_value(&r, SETTINGS_VERSION, &w);
    w = kSettingsCrcMaxWords;
    settings_set_value(&r, SETTINGS_NUM_ELEMENTS, &w);
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        w = i % 7 == 0 ? 0xFFFFFFFFu : rng();
        settings_set_value(&r, static_cast<settings_struct_index>(i), &w);
    }
    return r;
}

class Cli : public ::testing::TestWithParam<Generation> {
protected:
    void SetUp() override { attach(GetParam().config); }
    void TearDown() override
    {
        sim::refuse_opens(L"");
        sim::unplug_all();
    }

    // The demo unit, speaking the given generation, alone on the bus.
    void attach(const sim::UnitConfig& config)
    {
        unit = support::plug_demo_unit();
        unit->set_generation(config.generation);
        unit->set_version(config.version.major, config.version.minor, config.version.patch);
    }

    std::string path(const char* name) const { return (dir.path() / name).string(); }

    void write(const std::string& file, const std::string& text) const { std::ofstream(file) << text; }

    // Frames the tool sent with this identifier.
    size_t sent(uint32_t id) const
    {
        size_t n = 0;
        for (const COMMS_MSG_t& f : unit->requests()) {
            n += f.can_ID == id ? 1 : 0;
        }
        return n;
    }

    std::vector<uint32_t> set_indices() const
    {
        std::vector<uint32_t> out;
        for (const COMMS_MSG_t& f : unit->requests()) {
            if (f.can_ID == GetParam().set_id) {
                out.push_back(f.data[0]);
            }
        }
        return out;
    }

    static uint32_t word(const Settings_t& r, uint32_t i)
    {
        return settings_get_value(&r, static_cast<settings_struct_index>(i));
    }

    support::TempDir dir;
    std::shared_ptr<sim::VirtualUnit> unit;
};

TEST_P(Cli, InfoInTextAndJson)
{
    const Result text = cli({"info"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(contains(text.out, "serial:          0x00C0FFEE")) << text.out;
    EXPECT_TRUE(contains(text.out, std::string("generation:      ") + GetParam().label)) << text.out;
    EXPECT_TRUE(contains(text.out, "(verifies)")) << text.out;
    const bool legacy_reply = GetParam().config.generation == sim::Generation::Legacy;
    EXPECT_EQ(contains(text.out, "firmware:        not reported (legacy identity reply)"), legacy_reply) << text.out;

    const Result json = cli({"info", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const auto j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["serial"], "0x00C0FFEE");
    EXPECT_EQ(j["generation"], GetParam().label);
    EXPECT_EQ(j["record_version"], 1);
    EXPECT_EQ(j["num_elements"], 31);
    EXPECT_EQ(j["checksum_ok"], true);
    // A legacy identity reply states no version: null, never a made-up 0.0.0.
    if (legacy_reply) {
        EXPECT_TRUE(j["firmware"].is_null()) << j;
        EXPECT_TRUE(j["rc"].is_null()) << j;
    } else {
        EXPECT_EQ(j["firmware"], GetParam().config.version.patch == 12 ? "0.2.12" : "0.2.11");
    }
    EXPECT_TRUE(json.err.empty()) << json.err;
}

TEST_P(Cli, JsonOutputsAreJsonAlone)
{
    for (const auto& args : std::vector<std::vector<std::string>>{{"info", "--json"},
                                                                  {"settings", "show", "--json"},
                                                                  {"settings", "backup", "-"},
                                                                  {"-v", "info", "--json"}}) {
        const Result r = cli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(nlohmann::json::accept(r.out)) << r.out;
    }
    // The device layer's lines appear on standard error, and only with --verbose.
    EXPECT_TRUE(cli({"info"}).err.empty());
    EXPECT_TRUE(contains(cli({"-v", "info"}).err, "Successfully connected to USB HID device"));
}

TEST_P(Cli, ShowBackupDiffSetRoundTrip)
{
    const Result show = cli({"settings", "show"});
    ASSERT_EQ(show.status, 0) << show.err;
    EXPECT_TRUE(contains(show.out, "vne")) << show.out;
    EXPECT_TRUE(contains(show.out, "\"N12345\"")) << show.out;
    EXPECT_TRUE(contains(show.out, "11-13")) << show.out;

    const std::string backup = path("backup.json");
    ASSERT_EQ(cli({"settings", "backup", backup}).status, 0);
    EXPECT_EQ(cli({"settings", "diff", backup}).status, 0);

    unit->clear_log();
    const Result set = cli({"settings", "set", "vne=150", "sky_color_upper=#112233", "registration=G-ABCD"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_TRUE(contains(set.out, "vne: 160 -> 150")) << set.out;
    EXPECT_EQ(set_indices(), (std::vector<uint32_t>{6, 11, 12, 13, 14}));
    EXPECT_EQ(sent(GetParam().save_id), 1u);
    ASSERT_EQ(unit->saves().size(), 1u);
    EXPECT_TRUE(unit->saves()[0].committed);
    EXPECT_EQ(unit->stored_settings().vspeeds.Vne, 150);
    EXPECT_EQ(std::string(unit->stored_settings().registration), "G-ABCD");

    const Result diff = cli({"settings", "diff", backup});
    EXPECT_EQ(diff.status, 1);
    EXPECT_EQ(diff.out, "vne: unit 150, file 160\n"
                        "registration: unit \"G-ABCD\", file \"N12345\"\n"
                        "sky_color_upper: unit \"#112233\", file \"#3c78d8\"\n");
}

TEST_P(Cli, RestoreOntoAnotherRecordLeavesExactlyTheFilesWords)
{
    const std::string backup = path("demo.json");
    ASSERT_EQ(cli({"settings", "backup", backup}).status, 0);
    const Settings_t demo = unit->stored_settings();

    unit->load_settings(other_record(3));
    unit->clear_log();
    const Result r = cli({"settings", "restore", backup});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(unit->saves().size(), 1u);
    EXPECT_TRUE(unit->saves()[0].committed);
    const Settings_t stored = unit->stored_settings();
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        EXPECT_EQ(word(stored, i), word(demo, i)) << "index " << i;
    }
    EXPECT_EQ(stored.crc32, unit->saves()[0].crc_received);
    EXPECT_EQ(sent(GetParam().save_id), 1u);

    // Nothing left to do: nothing is sent, nothing committed again.
    unit->clear_log();
    const Result again = cli({"settings", "restore", backup});
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(set_indices().empty());
    EXPECT_EQ(unit->saves().size(), 1u);
}

TEST_P(Cli, PartialFileChangesOnlyItsSettings)
{
    const Settings_t before = unit->stored_settings();
    const std::string file = path("fleet.json");
    write(file, R"({"format": "efis-config settings", "format_version": 1,
                    "settings": {"vne": 155, "vs0": 45, "pitch_correction": -1.5, "termination_resistor": false}})");
    unit->clear_log();
    const Result r = cli({"settings", "restore", file});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(set_indices(), (std::vector<uint32_t>{6, 26, 34})); // vs0 already 45
    const Settings_t after = unit->stored_settings();
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        if (i != 6 && i != 26 && i != 34) {
            EXPECT_EQ(word(after, i), word(before, i)) << "index " << i;
        }
    }
    EXPECT_EQ(after.vspeeds.Vne, 155);
    EXPECT_EQ(after.pitch_correction, -1.5f);
    EXPECT_EQ(after.enable_term_resistor, 0u);
}

TEST_P(Cli, RefusedWriteCommitsNothing)
{
    const Settings_t before = unit->stored_settings();
    unit->inject(sim::Fault{FaultKind::Nack, GetParam().set_id, 1, 1, 0, -1});
    unit->clear_log();
    const Result r = cli({"settings", "set", "vne=150", "vfe=90", "vlo=110"});
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(contains(r.err, "vne (index 6)")) << r.err;
    EXPECT_TRUE(contains(r.err, "nothing was committed")) << r.err;
    EXPECT_EQ(set_indices(), (std::vector<uint32_t>{4, 6}));
    EXPECT_EQ(sent(GetParam().save_id), 0u);
    EXPECT_TRUE(unit->saves().empty());
    const Settings_t after = unit->stored_settings();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_TRUE(r.out.empty()) << r.out;
}

TEST_P(Cli, FailedCommitIsAFailure)
{
    // The save is answered by the erase acknowledgement and then a refusal.
    unit->inject(sim::Fault{FaultKind::Nack, GetParam().save_id, 0, 1, 0, -1});
    const Result r = cli({"settings", "set", "vne=150"});
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(contains(r.err, "not committed")) << r.err;
    EXPECT_TRUE(r.out.empty());
}

TEST_P(Cli, RefusalsSendNothing)
{
    const std::string bad = path("bad.json");
    write(bad, R"({"format": "efis-config settings", "format_version": 1, "settings": {"vne": 300}})");
    const std::string other_version = path("v2.json");
    write(other_version, R"({"format": "efis-config settings", "format_version": 1, "record": {"version": 2},
                             "settings": {"vne": 150}})");
    struct Row {
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const Row rows[] = {
        {{"settings", "restore", bad}, 5, "settings.vne: 300 is outside 0..255"},
        {{"settings", "diff", bad}, 5, "settings.vne"},
        {{"settings", "restore", path("missing.json")}, 5, "cannot open"},
        {{"settings", "set", "vne=300"}, 5, "vne: 300"},
        {{"settings", "set", "speed=100"}, 5, "no setting 'speed'"},
        {{"settings", "set", "vne=100", "vne=110"}, 5, "given twice"},
        {{"settings", "restore", other_version}, 5, "version 2"},
        {{"settings", "restore", "--dry-run", other_version}, 5, "--force"},
    };
    for (const Row& row : rows) {
        unit->clear_log();
        const Result r = cli(row.args);
        EXPECT_EQ(r.status, row.status) << row.args.back() << ": " << r.err;
        EXPECT_TRUE(contains(r.err, row.message)) << r.err;
        EXPECT_TRUE(set_indices().empty()) << row.args.back();
        EXPECT_EQ(sent(GetParam().save_id), 0u);
    }
    const Result forced = cli({"settings", "restore", "--force", other_version});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(unit->stored_settings().vspeeds.Vne, 150);
}

TEST_P(Cli, DryRunSendsNothing)
{
    unit->clear_log();
    const Result r = cli({"settings", "set", "--dry-run", "vne=150", "map_orientation=north_up"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "would send vne: 160 -> 150\nwould send map_orientation: \"track_up\" -> \"north_up\"\n");
    EXPECT_TRUE(set_indices().empty());
    EXPECT_EQ(sent(GetParam().save_id), 0u);
}

TEST_P(Cli, Reboot)
{
    unit->clear_log();
    EXPECT_EQ(cli({"reboot"}).status, 0);
    EXPECT_EQ(unit->last_reboot_byte(), 0x48);
    EXPECT_EQ(sent(GetParam().reboot_id), 1u);
}

INSTANTIATE_TEST_SUITE_P(Generations, Cli, ::testing::ValuesIn(kGenerations),
                         [](const auto& info) { return std::string(info.param.name); });

class CliConnection : public Cli {};

TEST_P(CliConnection, EveryWayOfNotReachingTheUnit)
{
    sim::unplug_all();
    Result r = cli({"info"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "no EFIS unit found")) << r.err;

    attach(GetParam().config);
    sim::refuse_opens(L"Failed to open a device with path 'sim:0': Permission denied");
    r = cli({"settings", "show"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "found but could not be opened")) << r.err;
    EXPECT_TRUE(contains(r.err, "Permission denied")) << r.err;
    EXPECT_TRUE(contains(r.err, "udev")) << r.err;
    sim::refuse_opens(L"");

    unit->inject(sim::Fault{FaultKind::Ignore, sim::kAnyId, 0, -1, 0, -1});
    r = cli({"reboot"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "did not answer the identity request")) << r.err;
    EXPECT_TRUE(r.out.empty());
}

TEST_P(CliConnection, UnitThatStopsAnswering)
{
    unit->inject(sim::Fault{FaultKind::NoReply, sim::kAnyId, 12, -1, 0, -1});
    const Result r = cli({"settings", "show"});
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(contains(r.err, "did not answer the read")) << r.err;
    EXPECT_TRUE(r.out.empty());
}

INSTANTIATE_TEST_SUITE_P(Generations, CliConnection, ::testing::Values(kGenerations[0], kGenerations[2]),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliUsage, StatusesOfTheCommandLineItself)
{
    EXPECT_EQ(cli({}).status, 2);
    EXPECT_EQ(cli({"settings"}).status, 2);
    EXPECT_EQ(cli({"settings", "restore"}).status, 2);
    EXPECT_EQ(cli({"frobnicate"}).status, 2);
    EXPECT_EQ(cli({"info", "--colour"}).status, 2);

    const Result version = cli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(contains(version.out, "efis-cli ")) << version.out;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"settings", "restore", "--help"}, {"firmware", "upload", "--help"}}) {
        const Result help = cli(args);
        EXPECT_EQ(help.status, 0);
        EXPECT_TRUE(contains(help.out, "Usage")) << help.out;
    }
    EXPECT_TRUE(contains(cli({"settings", "restore", "--help"}).out, "--dry-run"));
}

// Firmware images and airport databases, with and without a unit.
class CliTransfers : public Cli {
protected:
    std::string image(const char* name, uint32_t total_size, uint32_t encrypted_size, size_t data)
    {
        return dir.write(name, support::firmware_image(header(total_size, encrypted_size), support::pattern(data)));
    }
    static firmware_header_t header(uint32_t total_size, uint32_t encrypted_size)
    {
        firmware_header_t h{};
        h.magic = 0x0BADF00D;
        h.total_size = total_size;
        h.encrypted_size = encrypted_size;
        return h;
    }
};

TEST_P(CliTransfers, FirmwareCheckNeedsNoUnit)
{
    sim::unplug_all();
    struct Row {
        std::string file;
        int status;
        const char* line;
    };
    const Row rows[] = {
        {image("good.bin", 3000, 3000, 3000), 0, "the upload accepts this image"},
        {image("short.bin", 3000, 3000, 2999), 5, "holds 2999 bytes after the header, but its header announces 3000"},
        {image("large.bin", 64 * 65536 + 1, 100, 100), 5, "needs 65 blocks"},
        {path("missing.bin"), 5, "cannot open"},
    };
    for (const Row& row : rows) {
        const Result r = cli({"firmware", "check", row.file});
        EXPECT_EQ(r.status, row.status) << row.file << r.out << r.err;
        EXPECT_TRUE(contains(r.out + r.err, row.line)) << r.out << r.err;
    }
    std::ofstream(path("tiny.bin")) << "abc";
    const Result tiny = cli({"firmware", "check", path("tiny.bin")});
    EXPECT_EQ(tiny.status, 5);
    EXPECT_TRUE(contains(tiny.out, "fewer than the 64-byte firmware header")) << tiny.out;
}

TEST_P(CliTransfers, FirmwareUpload)
{
    unit->set_logging(false);
    const std::string good = image("fw.bin", 5000, 5000, 5000);
    const Result r = cli({"firmware", "upload", good});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(unit->flash(FW_BANK1_FIRST_BLOCK * MX25_BLOCK_SIZE, 5064),
              support::firmware_image(header(5000, 5000), support::pattern(5000)));
    EXPECT_TRUE(unit->nor_faults().empty());
    // Not a terminal: a line at every tenth of each phase, ending at 100 %.
    EXPECT_TRUE(contains(r.err, "Erasing  1 of 1 blocks  100%")) << r.err;
    EXPECT_TRUE(contains(r.err, "Writing  4.9 KiB of 4.9 KiB  100%")) << r.err;
    EXPECT_TRUE(r.out.empty());

    unit->set_logging(true);
    unit->clear_log();
    const Result short_image = cli({"firmware", "upload", image("short.bin", 5000, 5000, 4000)});
    EXPECT_EQ(short_image.status, 5);
    EXPECT_TRUE(unit->requests().empty()) << "nothing may reach the unit";

    unit->inject(sim::Fault{FaultKind::Nack, GetParam().flash_write_id, 10, 1, 0, -1});
    const Result failed = cli({"firmware", "upload", good});
    EXPECT_EQ(failed.status, 4);
    EXPECT_TRUE(contains(failed.err, "firmware upload failed")) << failed.err;
}

TEST_P(CliTransfers, AirportUpload)
{
    const std::string db = path("airports.db");
    std::ofstream(db, std::ios::binary) << std::string(1000, 'A');
    const Result r = cli({"airports", "upload", db}, true);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "\r\033[KWriting")) << r.err; // a terminal: one line redrawn
    EXPECT_TRUE(unit->airport_db_open());
    const auto flash = unit->flash(0, 1000);
    EXPECT_EQ(std::string(flash.begin(), flash.end()), std::string(1000, 'A'));

    std::ofstream(path("empty.db"));
    unit->clear_log();
    const Result empty = cli({"airports", "upload", path("empty.db")});
    EXPECT_EQ(empty.status, 5);
    EXPECT_TRUE(unit->requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Generations, CliTransfers, ::testing::Values(kGenerations[0], kGenerations[2]),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
