// efis-cli in the test's own process against the demo unit: each outcome kind's exit status, line,
// stream and what of the unit it may touch; then what only efis-cli words: help, JSON forms, a unit
// without a version, choosing a unit, the identity a restore keeps, Ctrl-C and upload progress.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "operations/operations.h"
#include "tests/support/files.h"
#include "tests/support/unit.h"

namespace {

using enum sim::FaultKind;

// The demo unit's identifiers (firmware 0.2.12).
constexpr uint32_t kRequestValue = 0x370;
constexpr uint32_t kSetValue = 0x390;
constexpr uint32_t kSave = 0x3A0;
constexpr uint32_t kFlashWrite = 0x420;
constexpr uint32_t kRequestCalibration = 0x330;

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result cli(std::vector<std::string> args, bool terminal = false, const char* program = "efis-cli")
{
    std::ostringstream out;
    std::ostringstream err;
    args.insert(args.begin(), program);
    const int status = efis_cli::run(args, {out, err, terminal});
    return {status, out.str(), err.str()};
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

sim::Fault fault(sim::FaultKind kind, uint32_t id, int skip = 0, uint32_t param = 0)
{
    return sim::Fault{kind, id, skip, -1, param, -1};
}

// The demo unit alone on the bus, and a directory for the command's files and the backups.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_STATE_HOME", path("state").c_str(), 1);
        unit = support::plug_demo_unit();
    }
    void TearDown() override { sim::refuse_opens(L""); }

    std::string path(const std::string& name) const { return (dir.path() / name).string(); }
    std::string settings_file(const std::string& name, const std::string& settings, const std::string& more = "") const
    {
        std::ofstream(path(name)) << R"({"format": "efis-config settings", "format_version": 1, )" << more
                                  << R"("settings": )" << settings << "}";
        return path(name);
    }
    // A firmware image whose header announces `size` bytes; `data` follow it.
    std::string image(const std::string& name, uint32_t version, uint32_t size = 3200, uint32_t data = 3200) const
    {
        firmware_header_t h{};
        h.magic = 0x46575631;
        h.version = version;
        h.total_size = h.plaintext_size = h.encrypted_size = size;
        return dir.write(name, support::firmware_image(h, support::pattern(data)));
    }
    size_t sent(uint32_t id) const { return support::count_requests(*unit, id); }

    support::TempDir dir;
    std::shared_ptr<sim::VirtualUnit> unit;
};

enum class Reach { Nothing, Reads, Writes }; // what of the unit a command may touch
using enum Reach;
constexpr bool kOut = true; // the line is on standard output
constexpr bool kErr = false;

struct Outcome {
    const char* name;
    const char* args; // "@x" is the file x of the test's directory
    int status;
    bool on_out;
    Reach reach;
    const char* line;
    void (*setup)(sim::VirtualUnit&) = nullptr;
};

void PrintTo(const Outcome& o, std::ostream* os)
{
    *os << o.name;
}

// A legacy unit beside the demo unit.
std::shared_ptr<sim::VirtualUnit> plug_second()
{
    auto second = sim::make_demo_unit();
    second->set_serial(0x0BADF00D);
    second->set_generation(sim::Generation::Legacy);
    sim::plug(second);
    return second;
}

template <sim::FaultKind K, uint32_t Id, int Skip = 0> void inject(sim::VirtualUnit& u)
{
    u.inject(fault(K, Id, Skip));
}

void acks_but_keeps(sim::VirtualUnit& u)
{
    inject<AckNoStore, kSetValue>(u);
    inject<SaveUnchecked, kSave>(u);
}

// Restarts in 200 ms; a new image finds a blank record, of version 2 with the new layout.
template <bool NewLayout = false> void restarts(sim::VirtualUnit& u)
{
    u.set_restart_time(std::chrono::milliseconds(200));
    u.set_update_resets_settings(true);
    u.set_update_record_version(NewLayout ? std::optional<uint32_t>(2) : std::nullopt);
}

// Runs 0.3.0, and starts no other image unless Starts.
template <bool Starts = true> void at_0_3_0(sim::VirtualUnit& u)
{
    u.set_version(0, 3, 0);
    restarts(u);
    u.set_reject_images(!Starts);
}

// The settings history cannot be written: a file stands where its directory belongs.
void history_unwritable(sim::VirtualUnit&)
{
    std::filesystem::create_directories(operations::state_directory());
    std::ofstream(std::filesystem::path(operations::state_directory()) / "history") << "not a directory";
}

const Outcome kOutcomes[] = {
    {"info", "info", 0, kOut, Reads, "serial:          0x00C0FFEE\n"},
    {"diff_same", "settings diff @vne160.json", 0, kErr, Reads, "vne160.json (1 compared)\n"},
    {"diff_differs", "settings diff @vne150.json", 1, kOut, Reads, "vne: unit 160, file 150\n"},
    {"set", "settings set vne=150", 0, kOut, Writes, "vne: 160 -> 150\n"},
    {"set_dry_run", "settings set --dry-run vne=150", 0, kOut, Reads, "would send vne: 160 -> 150\n"},
    {"restore_dry_run", "settings restore --dry-run @vne150.json", 0, kOut, Reads, "would send vne: 160 -> 150\n"},
    {"nothing_to_do", "settings set vne=160", 0, kErr, Reads, "every setting given; nothing was sent.\n"},
    {"beyond_window", "settings set vne=250", 0, kErr, Writes, "note: vne 250 is beyond what the window offers"},
    {"forced", "settings set --force vs1=140", 0, kErr, Writes, "--force asks:\n  vs1 140 is not below vn0 130\n"},
    {"plausible_after", "settings set vs1=140 vn0=150", 0, kOut, Writes, "vn0: 130 -> 150\n"},
    {"update", "firmware update @good.bin", 0, kOut, Writes,
     "Firmware 0.3.1 is running on unit 0x00C0FFEE; 31 setting(s) restored and verified; calibration", restarts<false>},
    {"no_restore", "firmware update --no-restore @good.bin", 0, kOut, Writes,
     "; settings not restored (--no-restore); ", restarts},
    {"new_layout", "firmware update @good.bin", 0, kErr, Writes,
     "warning: the new firmware lays its settings out anew (record version 1 -> 2)", restarts<true>},
    {"restore_forced", "settings restore --force @v2.json", 0, kErr, Writes, "restoring it as --force asks\n"},
    {"no_history", "settings set --no-history vne=150", 0, kOut, Writes, "vne: 160 -> 150\n", history_unwritable},
    {"history_without_unit", "--serial C0FFEE settings history", 0, kErr, Nothing,
     "No settings history for unit 0x00C0FFEE in ", [](sim::VirtualUnit&) { sim::unplug_all(); }},
    {"diff_files", "settings diff @vne150.json @slow.json", 1, kOut, Nothing, "vs0: " /* the paths between */},
    {"diff_files_same", "settings diff @vne150.json @vne150.json", 0, kErr, Nothing,
     "The two files hold the same settings (1 compared)\n"},
    {"edit", "settings edit @vne150.json vne=170 vs0=40", 0, kOut, Nothing, "vs0: not named -> 40\nvne: 150 -> 170\n"},
    {"calibration_show", "calibration show", 0, kOut, Reads,
     "inertial sensor\n  lsm_acc_offset_x              1  0.0213          0x3CAE7D56\n"},
    {"calibration_blank", "calibration show", 0, kOut, Reads,
     "magnetometer (LIS): blank\n  lis_mag_offset_x             41  0xFFFFFFFF      0xFFFFFFFF\n"},
    {"calibration_backup", "calibration backup @cal-new.json", 0, kErr, Reads,
     "Backed up the calibration of unit 0x00C0FFEE (firmware 0.2.12) to "},
    {"calibration_same", "calibration diff @cal-same.json", 0, kErr, Reads, "cal-same.json (2 compared)\n"},
    {"calibration_differs", "calibration diff @cal-9.json", 1, kOut, Reads,
     "lsm_gyro_bias_x (index 9): file 0.013, unit 0.0125\n"},
    {"calibration_update_backup", "calibration diff @backup.json", 1, kOut, Reads,
     "auav_pitot_offset (index 55): file 0, unit 0.42\n"},
    {"reboot", "reboot", 0, kErr, Reads, "Reboot command sent to unit 0x00C0FFEE; it restarts into its boot loader\n"},
    {"version", "--version", 0, kOut, Nothing, "efis-cli "},
    {"check", "firmware check @good.bin", 0, kOut, Nothing, "verdict:         the upload accepts this image\n"},
    {"doctor", "doctor", 0, kOut, Reads, "ok  settings record version 1, 31 elements, checksum verifies\n"},
    {"report", "report @r.txt", 0, kErr, Reads, "Support report written to "},
    {"report_no_unit", "report -", 0, kOut, Nothing, "\n== unit ==\nno unit connected\n",
     [](sim::VirtualUnit&) { sim::unplug_all(); }},

    {"unknown_option", "info --colour", 2, kErr, Nothing, "--colour"},
    {"bad_serial", "--serial C0FFEE! info", 2, kErr, Nothing, "'C0FFEE!' is not a serial number"},
    {"typo", "-q setting show", 2, kErr, Nothing, "efis-cli: unknown command 'setting' (did you mean 'settings'?)\n"},
    {"typo_below", "--serial 1 firmware uplaod x", 2, kErr, Nothing, "(did you mean 'firmware upload'?)\n"},
    {"unknown", "frobnicate", 2, kErr, Nothing, "efis-cli: unknown command 'frobnicate' (see efis-cli --help)\n"},

    {"no_unit", "info", 3, kErr, Nothing, "efis-cli: no EFIS unit found (USB 1209:EF15, usage page 0xFF00)",
     [](sim::VirtualUnit&) { sim::unplug_all(); }},
    {"not_openable", "settings show", 3, kErr, Nothing, "opened: Permission denied\nWithout the udev rule only root",
     [](sim::VirtualUnit&) { sim::refuse_opens(L"Permission denied"); }},
    {"no_identity", "reboot", 3, kErr, Reads, "the identity request (WHOAMI)", inject<Ignore, sim::kAnyId>},
    {"several", "info", 3, kErr, Nothing, "2 EFIS units found; choose one with --serial: 0x00C0FFEE, 0x0BADF00D\n",
     [](sim::VirtualUnit&) { plug_second(); }},
    {"no_match", "--serial 0x1 info", 3, kErr, Nothing, "no EFIS unit with serial 0x00000001 found\n"},
    {"doctor_no_unit", "doctor", 3, kOut, Nothing, "FAIL  no EFIS unit is on USB (vendor 1209, product EF15)\n",
     [](sim::VirtualUnit&) { sim::unplug_all(); }},
    {"doctor_not_openable", "doctor", 3, kOut, Nothing, "FAIL  sim:00C0FFEE:0 cannot be opened: Permission denied\n",
     [](sim::VirtualUnit&) { sim::refuse_opens(L"Permission denied"); }},
    {"doctor_other_serial", "--serial 0x1 doctor", 3, kOut, Nothing,
     "FAIL  no EFIS unit with serial 0x00000001 is on USB\n"},

    {"write_refused", "settings set vne=150", 4, kErr, Writes, "did not accept vne (index 6); nothing was committed",
     inject<Nack, kSetValue>},
    {"commit_refused", "settings set vne=150", 4, kErr, Writes, "sent but not committed: ", inject<Nack, kSave>},
    {"read_back_differs", "settings set vne=150", 4, kErr, Writes,
     "committed, but vne (index 6) reads back as 0x000000A0 instead of 0x00000096\n", acks_but_keeps},
    {"read_unanswered", "settings show", 4, kErr, Reads, "the unit did not answer the read of vne (index 6)\n",
     inject<NoReply, kRequestValue, 10>},
    {"calibration_unanswered", "calibration diff @cal-9.json", 4, kErr, Reads,
     "the unit did not answer the read of lsm_gyro_bias_x (index 9)\n", inject<NoReply, kRequestCalibration, 9>},
    {"upload_nack", "firmware upload @good.bin", 4, kErr, Writes,
     "firmware upload failed: ", inject<Nack, kFlashWrite, 10>},
    {"not_started", "firmware update --allow-downgrade @fw-0.2.12.bin", 4, kErr, Writes,
     "restarted with firmware 0.3.0, not 0.2.12 from the image: it did not start the new image", at_0_3_0<false>},
    {"timeout", "firmware update --timeout 0.5 @good.bin", 4, kErr, Writes,
     "within 0.5 s of its restart; it was told to restart into the new image; once it is back, finish by hand",
     [](sim::VirtualUnit& u) { u.set_restart_time(std::chrono::seconds(30)); }},

    {"nothing_to_undo", "settings undo", 1, kErr, Reads, "efis-cli: nothing to undo\n"},
    {"history_unwritable", "settings set vne=150", 5, kErr, Reads,
     "the settings history cannot be written: cannot create ", history_unwritable},
    {"update_history_unwritable", "firmware update @good.bin", 5, kErr, Reads,
     "history cannot be written: cannot create ",
     [](sim::VirtualUnit& u) {
         restarts(u);
         history_unwritable(u);
     }},
    {"edit_implausible", "settings edit @slow.json vs1=50", 5, kErr, Nothing, "  vs0 90 is above vs1 50\n"},
    {"file_out_of_range", "settings restore @bad.json", 5, kErr, Nothing, "bad.json: settings.vne: 300 is outside 0"},
    {"file_missing", "settings diff @missing.json", 5, kErr, Nothing, "missing.json: cannot open"},
    {"calibration_none", "calibration diff @vne150.json", 5, kErr, Nothing,
     "vne150.json: a settings file without a "
     "calibration block: it holds no calibration"},
    {"unknown_setting", "settings set vnee=170", 5, kErr, Nothing, "no setting 'vnee'; did you mean 'vne'?\n"},
    {"given_twice", "settings set vne=100 vne=110", 5, kErr, Nothing, "efis-cli: vne: given twice\n"},
    {"implausible", "settings set vs1=140", 5, kErr, Reads,
     "nothing was sent (--force sends them all the same):\n  vs1 140 is not below vn0 130\n"},
    {"implausible_dry_run", "settings set --dry-run vs1=140", 5, kErr, Reads, "  vs1 140 is not below vn0 130\n"},
    {"implausible_file", "settings restore @slow.json", 5, kErr, Reads, "  vs0 90 is above vs1 50\n  vs0 90 is not"},
    {"record_version", "settings restore @v2.json", 5, kErr, Reads,
     "holds a record of version 2, the unit keeps version 1; nothing was sent (--force restores it all"},
    {"check_short", "firmware check @short.bin", 5, kOut, Nothing, "length:          short by 1 bytes\n"},
    {"check_large", "firmware check @large.bin", 5, kOut, Nothing, "blocks needed:   65 of 64 in a bank (does not"},
    {"downgrade", "firmware update @fw-0.2.12.bin", 5, kErr, Reads,
     "holds firmware 0.2.12, older than the unit's 0.3.0; nothing was sent (--allow-downgrade", at_0_3_0<>},
    {"upload_short", "firmware upload @short.bin", 5, kErr, Nothing, "; nothing was sent\n"},
    {"upload_empty", "airports upload @empty.db", 5, kErr, Nothing, "empty.db: the file is empty; nothing was sent\n"},
    {"unversioned", "firmware update @fw-0.bin", 5, kErr, Nothing, "the image states no firmware version"},
};

class Outcomes : public CliTest, public ::testing::WithParamInterface<Outcome> {};

TEST_P(Outcomes, StatusLineAndStream)
{
    settings_file("vne150.json", R"({"vne": 150})");
    settings_file("vne160.json", R"({"vne": 160})");
    settings_file("bad.json", R"({"vne": 300})");
    settings_file("slow.json", R"({"vs0": 90})");
    settings_file("v2.json", R"({"vne": 150})", R"("record": {"version": 2}, )");
    image("good.bin", 0x00030100);
    image("short.bin", 0x00030100, 3200, 3199);
    image("large.bin", 0x00030100, 64 * 65536 + 1, 100);
    image("fw-0.bin", 0);
    image("fw-0.2.12.bin", 0x00020C00);
    dir.write("empty.db", {});
    const auto calibration = [&](const char* name, const std::string& words) {
        std::ofstream(path(name)) << R"({"format": "efis-config calibration", "format_version": 1, "calibration": )"
                                  << words << "}";
    };
    calibration("cal-same.json", R"({"9": "0x3C4CCCCD", "45": "0xFFFFFFFF"})");
    calibration("cal-9.json", R"({"9": "0x3C54FDF4", "10": "0xBB4B295F"})");
    settings_file("backup.json", R"({"vne": 160})", R"("calibration": {"13": "0x41480000", "55": "0x00000000"}, )");
    const Outcome& o = GetParam();
    if (o.setup != nullptr) {
        o.setup(*unit);
    }
    unit->clear_log();
    std::vector<std::string> args;
    std::istringstream words(o.args);
    for (std::string a; words >> a;) {
        args.push_back(a[0] == '@' ? path(a.substr(1)) : a);
    }
    const Result r = cli(args);
    EXPECT_EQ(r.status, o.status) << r.out << r.err;
    EXPECT_TRUE(contains(o.on_out ? r.out : r.err, o.line)) << "out:\n" << r.out << "err:\n" << r.err;
    if (!o.on_out && o.status >= 2) {
        EXPECT_EQ(r.out, "") << "a failure prints no result";
    }
    if (o.reach == Nothing) {
        EXPECT_TRUE(unit->requests().empty());
    } else if (o.reach == Reads) {
        EXPECT_EQ(sent(kSetValue) + sent(kSave) + sent(kFlashWrite), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cli, Outcomes, ::testing::ValuesIn(kOutcomes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, HelpHasTheExitStatusesOnceAndEachCommandsOwnUnderItsName)
{
    const Result top = cli({"--help"}, false, "/usr/local/bin/efis-cli");
    EXPECT_TRUE(contains(top.out, "Usage: efis-cli [OPTIONS]") && contains(top.out, "  130  stopped by Ctrl-C"));
    for (const char* command : {"diff", "set"}) {
        const Result r = cli({"settings", command, "--help"}, false, "./build/efis-cli-sim");
        EXPECT_TRUE(contains(r.out, std::string("Usage: efis-cli-sim settings ") + command)) << r.out;
        EXPECT_TRUE(contains(r.out, command[0] == 'd' ? "Exit status: 0, 1, 3, 4, 5 (see efis-cli-sim --help)"
                                                      : "Exit status: 0, 3, 4, 5, 130 (see efis-cli-sim --help)"));
        EXPECT_FALSE(contains(r.out, "130  stopped")) << r.out;
    }
    // A command's own arguments are not commands.
    EXPECT_FALSE(contains(cli({"firmware", "check", "missing.bin", "setting"}).err, "unknown command"));
}

TEST_F(CliTest, JsonFormsAreJsonAloneOnStandardOutput)
{
    const Result info = cli({"-v", "info", "--json"});
    EXPECT_EQ(nlohmann::json::parse(info.out),
              nlohmann::json::parse(R"({"serial": "0x00C0FFEE", "firmware": "0.2.12", "rc": 0, "generation": "current",
                                       "record_version": 1, "num_elements": 31, "checksum_ok": true})"));
    // The device layer's lines go to standard error, and only with --verbose.
    EXPECT_TRUE(contains(info.err, "Successfully connected to USB HID device")) << info.err;
    EXPECT_EQ(cli({"info"}).err, "");
    EXPECT_EQ(nlohmann::json::parse(cli({"settings", "show", "--json"}).out)["settings"]["vne"], 160);
    const auto checks = nlohmann::json::parse(cli({"doctor", "--json"}).out);
    EXPECT_EQ(checks[0]["check"], "program");
    const auto& answered = checks[checks.size() - 2];
    EXPECT_EQ(answered["status"], "ok");
    EXPECT_TRUE(answered["fix"].is_null());
    EXPECT_EQ(answered["serial"], "0x00C0FFEE");
    EXPECT_EQ(answered["firmware"], "0.2.12");
    EXPECT_EQ(answered["generation"], "current");
    EXPECT_TRUE(answered["elapsed_ms"].is_number()) << answered;

    sim::unplug_all();
    const auto all = nlohmann::json::parse(cli({"settings", "list", "--json"}).out); // no unit needed
    ASSERT_EQ(all.size(), 34u);
    EXPECT_EQ(all[11]["indices"], nlohmann::json::array({11, 12, 13}));
    EXPECT_EQ(all[11]["identity"], true);
    EXPECT_EQ(all[6]["window"][0]["maximum"], 240);
    EXPECT_EQ(std::ranges::count(cli({"settings", "list"}).out, '\n'), 35) << "a header and 34 settings";
}

TEST_F(CliTest, CalibrationJsonFormsAndTheRecordIsNeverWritten)
{
    const auto shown = nlohmann::json::parse(cli({"calibration", "show", "--json"}).out);
    ASSERT_EQ(shown.size(), 65u);
    EXPECT_EQ(shown[9], nlohmann::json::parse(R"({"index": 9, "name": "lsm_gyro_bias_x", "block": "inertial sensor",
                                                 "raw": "0x3C4CCCCD", "value": 0.0125})"));
    // In index order: 27 and on (no installation block) have no field.
    EXPECT_TRUE(shown[31]["index"] == 45 && shown[31]["value"].is_null()) << shown[31];
    EXPECT_TRUE(shown[60]["name"] == "oat_0deg" && shown[60]["value"] == "0x00000C35") << shown[60];

    const Result out = cli({"calibration", "backup", "-"});
    const auto backup = nlohmann::json::parse(out.out);
    EXPECT_EQ(backup["unit"]["serial"], "0x00C0FFEE");
    EXPECT_EQ(backup["calibration"].size(), 65u);
    EXPECT_EQ(backup["calibration"]["9"], "0x3C4CCCCD");
    EXPECT_EQ(support::count_requests(*unit, 0x350) + support::count_requests(*unit, 0x360), 0u) << "never written";
}

TEST_F(CliTest, TheLogKeepsTheCommandLineAndStandardErrorAsItLastStood)
{
    sim::unplug_all();
    EXPECT_EQ(cli({"info"}).status, 3);
    std::ifstream in(operations::program_log_path("efis-cli"));
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string pid = " [" + std::to_string(getpid()) + "] ";
    EXPECT_TRUE(contains(log, pid + "command line: efis-cli info\n")) << log;
    EXPECT_TRUE(contains(log, pid + "efis-cli: no EFIS unit found (USB 1209:EF15")) << log;
    EXPECT_TRUE(contains(log, pid + "Attempting to connect to USB HID device")) << "the device layer's lines";

    EXPECT_EQ(cli({"-v", "info"}).status, 3);
    std::ifstream again(operations::program_log_path("efis-cli"));
    const std::string both((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    size_t lines = 0;
    for (size_t at = 0; (at = both.find("Attempting to connect to USB HID", at)) != std::string::npos; ++at) {
        ++lines;
    }
    EXPECT_EQ(lines, 2u) << "once per run, though --verbose shows it too:\n" << both;
}

TEST_F(CliTest, AUnitThatReportsNoVersionIsSaidToBeOne)
{
    unit->set_generation(sim::Generation::Legacy);
    const Result info = cli({"info"});
    EXPECT_TRUE(contains(info.out, "firmware:        not reported (legacy identity reply)\ngeneration:      legacy\n"))
        << info.out;
    const auto j = nlohmann::json::parse(cli({"info", "--json"}).out);
    EXPECT_TRUE(j["firmware"].is_null() && j["rc"].is_null()) << j;
}

TEST_F(CliTest, ListsNoneOneAndTwoAndOneInUseUnopened)
{
    sim::unplug_all();
    Result r = cli({"list", "--json"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "[]\n");
    EXPECT_TRUE(contains(r.err, "no EFIS unit found")) << r.err;

    unit = support::plug_demo_unit();
    EXPECT_EQ(cli({"list"}).out, "0x00C0FFEE  0.2.12        current  sim:00C0FFEE:0\n");
    const auto second = plug_second();
    EXPECT_EQ(nlohmann::json::parse(cli({"list", "--json"}).out)[1],
              nlohmann::json::parse(R"({"serial": "0x0BADF00D", "firmware": null, "generation": "legacy",
                                       "path": "sim:0BADF00D:0", "in_use_by": null})"));

    const operations::LockAttempt held = operations::take_unit_lock("sim:0BADF00D:0", "efis-config");
    const std::string holder = "efis-config (pid " + std::to_string(getpid()) + ")";
    second->clear_log();
    EXPECT_TRUE(contains(cli({"list"}).out, "0x0BADF00D  -             -        sim:0BADF00D:0  in use by " + holder));
    r = cli({"--serial", "0x0BADF00D", "info"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "the EFIS unit sim:0BADF00D:0 is in use by " + holder + "\n")) << r.err;
    EXPECT_TRUE(second->log().empty());
}

TEST_F(CliTest, SerialPicksOneOfTwoAndLeavesTheOtherAlone)
{
    const auto second = plug_second();
    EXPECT_TRUE(contains(cli({"--serial", "c0ffee", "info"}).out, "serial:          0x00C0FFEE\n"));
    EXPECT_TRUE(second->log().empty());
    setenv("EFIS_SERIAL", "0x0BADF00D", 1);
    unit->clear_log();
    EXPECT_EQ(cli({"settings", "set", "vne=150"}).status, 0);
    unsetenv("EFIS_SERIAL");
    EXPECT_EQ(second->stored_settings().vspeeds.Vne, 150);
    EXPECT_TRUE(unit->log().empty());
}

TEST_F(CliTest, WaitsForAUnitThatComesLaterAndGivesUp)
{
    sim::unplug_all();
    EXPECT_EQ(cli({"--wait", "0.6", "info"}).status, 3);
    sim::PresenceSchedule later;
    later.present_after = std::chrono::milliseconds(1000);
    unit->schedule_presence(later);
    sim::plug(unit);
    EXPECT_EQ(cli({"info"}).status, 3) << "no waiting without --wait";
    EXPECT_EQ(cli({"--wait", "30", "info"}).status, 0);
}

TEST_F(CliTest, HistoryListsEachCommitAndUndoGoesBackAndForth)
{
    ASSERT_EQ(cli({"settings", "set", "vne=150"}).status, 0);
    ASSERT_EQ(cli({"settings", "set", "vs1=55", "vne=151", "registration=G-ABCD", "ownship_icao=ABCDEF",
                   "sky_color_upper=#000001"})
                  .status,
              0);
    Result r = cli({"settings", "history"});
    ASSERT_EQ(std::ranges::count(r.out, '\n'), 2) << r.out;
    EXPECT_EQ(r.out.substr(19, 61), "  efis-cli  settings set vs1=55 vne=151 registration=G-ABCD o");
    EXPECT_TRUE(contains(r.out, R"(  committed  vs1 50 -> 55, vne 150 -> 151, registration "N12345" -> "G-ABCD", )"
                                R"(sky_color_upper "#3c78d8" -> "#000001" and 1 more)"
                                "\n"))
        << r.out;

    // Back to the record before the newest change, identity included; a second undo redoes it.
    EXPECT_EQ(cli({"settings", "undo"}).status, 0);
    EXPECT_EQ(unit->stored_settings().vspeeds.Vne, 150);
    EXPECT_EQ(std::string(unit->stored_settings().registration), "N12345");
    EXPECT_EQ(cli({"settings", "undo"}).status, 0);
    EXPECT_EQ(unit->stored_settings().vspeeds.Vne, 151);
    EXPECT_EQ(std::string(unit->stored_settings().registration), "G-ABCD");

    sim::unplug_all();
    EXPECT_EQ(cli({"settings", "history"}).status, 3) << "no unit and no serial: whose history?";
    const auto j = nlohmann::json::parse(cli({"--serial", "0x00C0FFEE", "settings", "history", "--json"}).out);
    ASSERT_EQ(j.size(), 4u);
    EXPECT_EQ(j[0]["command"], "settings undo");
    EXPECT_EQ(j[0]["outcome"], "committed");
    EXPECT_EQ(j[3]["changes"], nlohmann::json::parse(R"([{"setting": "vne", "from": 160, "to": 150}])"));
    EXPECT_TRUE(std::filesystem::exists(j[0]["path"].get<std::string>()));
    EXPECT_EQ(j[0]["time"].get<std::string>().size(), 19u);
    EXPECT_EQ(
        nlohmann::json::parse(cli({"--serial", "0x00C0FFEE", "settings", "history", "--json", "--limit", "1"}).out)
            .size(),
        1u);

    // An entry is a settings file: edit keeps its other blocks.
    const std::string entry = j[0]["path"];
    EXPECT_EQ(cli({"settings", "edit", entry, "vne=140"}).status, 0);
    std::ifstream edited(entry);
    const auto e = nlohmann::json::parse(edited);
    EXPECT_EQ(e["change"]["changes"], j[0]["changes"]);
    EXPECT_EQ(e["settings"]["vne"], 140);
    EXPECT_EQ(e["unit"]["serial"], "0x00C0FFEE");
}

TEST_F(CliTest, IdentityIsKeptFromAFileOfAnotherUnitOrOfNone)
{
    const char* identity = R"({"vne": 150, "registration": "G-ABCD", "ownship_icao": "ABCDEF"})";
    for (const auto& [unit_block, why] : {std::pair{R"("unit": {"serial": "0x0BADF00D"}, )", "is from unit 0x0BADF00D"},
                                          std::pair{"", "names no unit"}}) {
        unit = support::plug_demo_unit();
        const std::string file = settings_file("other.json", identity, unit_block);
        EXPECT_TRUE(contains(cli({"settings", "restore", file}).err,
                             std::string("note: kept registration, ownship_icao: the file ") + why +
                                 " (use --include-identity to copy them)\n"));
        EXPECT_FALSE(contains(cli({"settings", "restore", "--include-identity", file}).err, "kept"));
        EXPECT_EQ(std::string(unit->stored_settings().registration), "G-ABCD");
    }
}

// Presses Ctrl-C on the calling thread from another one, once per condition as soon as it holds
// (each given 30 s); join it when the command is over. A press after that meets the test's handler.
std::thread press_ctrl_c(std::vector<std::function<bool()>> conditions)
{
    signal(SIGINT, [](int) {});
    return std::thread([conditions, target = pthread_self()] {
        for (const auto& holds : conditions) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!holds() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            pthread_kill(target, SIGINT);
        }
    });
}

TEST_F(CliTest, FirstCtrlCWarnsAndTheSecondStopsBeforeTheNextValue)
{
    // Each value's acknowledgement comes 300 ms late: a press lands while the value is out.
    unit->inject(fault(Delay, kSetValue, 0, 300));
    std::thread presser = press_ctrl_c({[&] { return sent(kSetValue) >= 1; }, [&] { return sent(kSetValue) >= 2; }});
    const Result r = cli({"settings", "set", "vne=150", "registration=G-ABCD"});
    presser.join();
    EXPECT_EQ(r.status, 130);
    EXPECT_EQ(r.err, "stopping now leaves 1 value(s) sent but not committed; the change goes on; press Ctrl-C again "
                     "to stop anyway\nefis-cli: stopped by Ctrl-C before registration (index 12); the unit holds vne, "
                     "registration (1 of its 3 words) sent but not committed: restarting the unit discards them, a "
                     "commit would keep them\n");
    EXPECT_EQ(sent(kSave), 0u);
}

TEST_F(CliTest, CtrlCAfterTheLastValueLetsTheCommitFinish)
{
    unit->inject(fault(Delay, kSave, 0, 300));
    const auto saving = [&] { return sent(kSave) >= 1; };
    std::thread presser = press_ctrl_c({saving, saving});
    const Result r = cli({"settings", "set", "vne=150"});
    presser.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "Ctrl-C came after every value was sent; the commit was let finish\n")) << r.err;
}

TEST_F(CliTest, CtrlCWhileTheUpdatedUnitIsAwayStopsWithTheWayToFinish)
{
    unit->set_restart_time(std::chrono::seconds(30));
    // Away, and no longer held open: the update waits for it.
    std::thread presser = press_ctrl_c({[&] { return unit->reboot_count() > 0 && sim::open_handle_count() == 0; }});
    const Result r = cli({"firmware", "update", image("fw.bin", 0x00030000)});
    presser.join();
    EXPECT_EQ(r.status, 130);
    EXPECT_TRUE(contains(r.err, "stopped by Ctrl-C while waiting for the unit to come back: it was told to restart "
                                "into the new image; once it is back, finish by hand: efis-cli settings restore /"))
        << r.err;
}

TEST_F(CliTest, ProgressRedrawnOnATerminalByTenthsInALogAndNoneWhenQuiet)
{
    const std::string fw = image("fw.bin", 0x00030100, 5000, 5000);
    Result r = cli({"firmware", "upload", fw});
    EXPECT_TRUE(contains(r.err, "Erasing  1 of 1 blocks  100%\nWriting  512 bytes of 4.9 KiB   10%")) << r.err;
    EXPECT_TRUE(contains(r.err, "Writing  4.9 KiB of 4.9 KiB  100%")) << r.err;
    EXPECT_EQ(std::ranges::count(r.err, '\n'), 12) << r.err; // erased, a line per tenth written, the note
    EXPECT_TRUE(contains(r.err, "\nFirmware image written to unit 0x00C0FFEE (5000 bytes); reboot the unit to start"));

    r = cli({"airports", "upload", fw}, true);
    EXPECT_TRUE(contains(r.err, "\r\033[KWriting")) << r.err;
    EXPECT_EQ(std::ranges::count(r.err, '\n'), 3) << r.err; // erasing, writing, the note
    EXPECT_EQ(cli({"-q", "firmware", "upload", fw}, true).err, "");
}

} // namespace
