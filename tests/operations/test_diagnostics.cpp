// The connection checks' outcomes against the virtual bus, the udev rule check on folders of the
// test's own, the kept log, and the support report's sections and what it withholds.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "comms/device_log.h"
#include "operations/operations.h"
#include "sim/hid_backend.h"
#include "tests/support/files.h"
#include "tests/support/unit.h"

namespace {

using namespace operations;

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string slurp(const std::filesystem::path& p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Diagnostics : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_STATE_HOME", dir.path().c_str(), 1);
        unit = support::plug_demo_unit();
    }
    void TearDown() override
    {
        sim::refuse_opens(L"");
        stop_program_log();
    }
    // The checks with no udev folders of the system's.
    DoctorResult checks(DoctorOptions o = {})
    {
        o.udev_dirs = {(dir.path() / "no-rules").string()};
        return run_checks(o);
    }
    std::filesystem::path state() const { return dir.path() / "efis-config"; }

    support::TempDir dir;
    std::shared_ptr<sim::VirtualUnit> unit;
};

struct Outcome {
    const char* name;
    void (*setup)(std::shared_ptr<sim::VirtualUnit>&);
    bool ready;
    const char* lines; // what checks_text() holds, in order
};

void PrintTo(const Outcome& o, std::ostream* os)
{
    *os << o.name;
}

const Outcome kOutcomes[] = {
    {"ready", [](auto&) {}, true,
     "ok  1 EFIS unit on USB (vendor 1209, product EF15)\nok  unit 0x00C0FFEE, firmware 0.2.12 (current), answered "
     "in "},
    {"legacy", [](auto& u) { u->set_generation(sim::Generation::Legacy); }, true,
     "ok  unit 0x00C0FFEE, firmware not reported (legacy), answered in "},
    {"no_unit", [](auto&) { sim::unplug_all(); }, false,
     "FAIL  no EFIS unit is on USB (vendor 1209, product EF15)\n      Check the USB cable"},
    {"boot_loader",
     [](auto& u) {
         sim::unplug_all();
         sim::plug(u, 0x0001);
     },
     false,
     "FAIL  no EFIS unit is on USB (vendor 1209, product EF15)\n      Check the USB cable (a charging cable carries "
     "power but no data), plug the unit into a powered port of the computer rather than a passive hub, and switch "
     "the unit on.\nnote  sim:00C0FFEE:0 has the unit's ids on usage page 0x0001, not 0xFF00: a unit in its boot "
     "loader, or another device\n"},
    {"not_openable", [](auto&) { sim::refuse_opens(L"Permission denied"); }, false,
     "FAIL  sim:00C0FFEE:0 cannot be opened: Permission denied\n      Install the udev rule (see the udev rule line)"},
    {"no_answer",
     [](auto& u) {
         u->inject(sim::Fault{sim::FaultKind::Ignore, sim::kAnyId, 0, -1, 0, -1});
     },
     false,
     "FAIL  sim:00C0FFEE:0 does not answer WHOAMI\n      Unplug the unit and plug it in again; a unit in its boot"},
    {"record_unread",
     [](auto& u) {
         u->inject(sim::Fault{sim::FaultKind::NoReply, 0x370, 3, -1, 0, -1});
     },
     false, "FAIL  settings record: no answer to the read of "},
};

class CheckOutcomes : public Diagnostics, public ::testing::WithParamInterface<Outcome> {};

TEST_P(CheckOutcomes, LinesAndVerdict)
{
    GetParam().setup(unit);
    const DoctorResult r = checks();
    const std::string text = checks_text(r.checks);
    EXPECT_EQ(r.ready, GetParam().ready) << text;
    EXPECT_TRUE(contains(text, GetParam().lines)) << text;
    EXPECT_TRUE(text.rfind("note  efis-cli ", 0) == 0) << text;
    EXPECT_TRUE(contains(text, "note  no udev rule for 1209:EF15 is installed\n      Install the package")) << text;
    EXPECT_EQ(sim::open_handle_count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Doctor, CheckOutcomes, ::testing::ValuesIn(kOutcomes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Diagnostics, AUnitHeldElsewhereIsNotOpenedAndOneHeldByTheCallerIsReadOverItsLink)
{
    {
        const LockAttempt held = take_unit_lock("sim:00C0FFEE:0", "efis-config");
        unit->clear_log();
        const std::string text = checks_text(checks().checks);
        EXPECT_TRUE(contains(text, "FAIL  sim:00C0FFEE:0 is in use by efis-config (pid " + std::to_string(getpid()) +
                                       ")\n      Close efis-config"))
            << text;
        EXPECT_TRUE(unit->log().empty());
    }
    CommsManager link;
    Connection c = connect_unit(&link);
    ASSERT_TRUE(c.ok());
    // A legacy unit probed after it must not leave its identifiers to the caller's link.
    auto legacy = sim::make_demo_unit();
    legacy->set_serial(0x0BADF00D);
    legacy->set_generation(sim::Generation::Legacy);
    sim::plug(legacy);
    DoctorOptions o;
    o.program = "efis-config";
    o.own_link = &link;
    o.own_path = c.path;
    const DoctorResult r = checks(o);
    EXPECT_TRUE(r.ready);
    EXPECT_TRUE(contains(checks_text(r.checks), "ok  unit 0x00C0FFEE, firmware 0.2.12 (current), connected to "
                                                "efis-config\nok  settings record version 1, 31 elements, checksum "
                                                "verifies\n"));
    EXPECT_TRUE(contains(checks_text(r.checks), "ok  unit 0x0BADF00D, firmware not reported (legacy), answered"));
    EXPECT_TRUE(read_settings(&link).ok());
}

TEST_F(Diagnostics, UdevRulesInTheFoldersLooked)
{
    const auto folder = [&](const std::string& name, const std::string& rule) {
        std::filesystem::create_directories(dir.path() / name);
        if (!rule.empty()) {
            std::ofstream(dir.path() / name / "70-efis.rules") << "# 1209 ef15\n" << rule << "\n";
        }
        return (dir.path() / name).string();
    };
    const std::string ours = R"(SUBSYSTEM=="hidraw", ATTRS{idVendor}=="1209", ATTRS{idProduct}=="ef15", MODE="0660")";
    const std::string lib = folder("lib", ours);
    const std::string etc = folder("etc", R"(ATTRS{idVendor}=="1209", ATTRS{idProduct}=="EF15", MODE = "0666")");
    const std::string other = folder("other", R"(ATTRS{idVendor}=="1209", ATTRS{idProduct}=="0001")");
    std::ofstream(dir.path() / "file") << "";
    const auto text = [](std::vector<std::string> dirs) {
        DoctorOptions o;
        o.udev_dirs = std::move(dirs);
        return checks_text(run_checks(o).checks);
    };
    EXPECT_TRUE(
        contains(text({lib, (dir.path() / "missing").string()}), "ok  udev rule " + lib + "/70-efis.rules\nok  "));
    EXPECT_TRUE(contains(text({other}), "note  no udev rule for 1209:EF15 is installed\n"));
    const std::string two = text({lib, etc});
    EXPECT_TRUE(contains(two, "note  udev rules for 1209:EF15 in several folders: " + lib + "/70-efis.rules, " + etc +
                                  "/70-efis.rules\n"))
        << two;
    EXPECT_TRUE(contains(two, "note  " + etc + "/70-efis.rules gives the unit's node mode 0666: anyone may open it\n"));
    // A folder that cannot be read fails its own check; the rest still runs.
    const std::string broken = text({(dir.path() / "file").string()});
    EXPECT_TRUE(contains(broken, "FAIL  the check failed: ")) << broken;
    EXPECT_TRUE(contains(broken, "ok  settings record version 1")) << broken;

    const std::string node = (dir.path() / "file").string();
    chmod(node.c_str(), 0640);
    const NodeAccess a = node_access(node);
    EXPECT_TRUE(a.known);
    EXPECT_EQ(a.mode, "-rw-r-----");
    EXPECT_FALSE(a.owner.empty());
    EXPECT_TRUE(a.in_group) << "the file's group is the creator's";
}

TEST_F(Diagnostics, TheLogKeepsWholeTimedLinesRotatesAtStartAndSaysOnceWhenItCannot)
{
    const std::filesystem::path logs = state() / "logs";
    std::filesystem::create_directories(logs);
    const std::string path = program_log_path("efis-cli");
    EXPECT_EQ(path, (logs / "efis-cli.log").string());
    std::ofstream(path) << std::string(1024 * 1024 + 1, 'x');
    std::ofstream(path + ".1") << "one\n";
    std::ofstream(path + ".2") << "two\n";
    std::ofstream(path + ".3") << "three\n";

    std::vector<std::string> complaints;
    start_program_log("efis-cli", [&](const std::string& t) { complaints.push_back(t); });
    program_log("first\nsecond ");
    device_log("from the device layer %d\n", 7);
    program_log("");
    stop_program_log();
    program_log("after the end\n");
    EXPECT_TRUE(complaints.empty());
    EXPECT_EQ(std::filesystem::file_size(path + ".1"), 1024u * 1024 + 1);
    EXPECT_EQ(slurp(path + ".2"), "one\n");
    EXPECT_EQ(slurp(path + ".3"), "two\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".4"));
    const std::string pid = std::to_string(getpid());
    const std::regex lines(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} \[)" + pid + R"(\] first
\S+ \[)" + pid + R"(\] second from the device layer 7
)");
    EXPECT_TRUE(std::regex_match(slurp(path), lines)) << slurp(path);

    // No log can be written where a file stands for its folder: said once, and nothing stops.
    std::filesystem::remove_all(logs);
    std::ofstream(logs.string()) << "";
    start_program_log("efis-cli", [&](const std::string& t) { complaints.push_back(t); });
    program_log("lost\n");
    program_log("lost too\n");
    ASSERT_EQ(complaints.size(), 1u);
    EXPECT_TRUE(contains(complaints[0], "the log " + path + " cannot be written (")) << complaints[0];
}

TEST_F(Diagnostics, TheReportHoldsEverySectionAndWithholdsTheIdentityUnlessAsked)
{
    std::filesystem::create_directories(state() / "backups" / "00C0FFEE");
    std::ofstream(state() / "backups" / "00C0FFEE" / "before.json") << "{}";
    std::filesystem::create_directories(state() / "logs");
    std::ofstream(state() / "logs" / "efis-cli.log")
        << "2026-01-01T00:00:02.000 [2] command line: efis-cli settings set registration=G-ABCD ownship_icao=abcdef\n";
    std::ofstream(state() / "logs" / "efis-config.log")
        << "2026-01-01T00:00:01.000 [1] Debug: Created string: \"N12345\" (x)\n"
        << "2026-01-01T00:00:03.000 [1] status: unit a1b2c3 N12345\n";

    CommsManager link;
    Connection c = connect_unit(&link);
    ASSERT_TRUE(c.ok());
    ReportOptions o;
    o.program = "efis-cli";
    o.doctor.udev_dirs = {(dir.path() / "none").string()};
    o.unit_link = &link;
    const Report withheld = support_report(o);
    EXPECT_EQ(withheld.serial, 0x00C0FFEEu);
    std::string::size_type at = 0;
    for (const char* name : {"program", "system", "checks", "unit", "settings", "calibration", "backups", "log"}) {
        at = withheld.text.find(std::string("\n== ") + name + " ==\n", at);
        EXPECT_NE(at, std::string::npos) << name << " in order:\n" << withheld.text;
    }
    for (const char* part :
         {"ok  unit 0x00C0FFEE, firmware 0.2.12 (current), connected to efis-cli", "\"registration\": \"(withheld)\"",
          "\"ownship_icao\": \"(withheld)\"", "record header\n  calib_version (index 0): 0x",
          "backups/00C0FFEE/before.json  ", "  2 bytes\n",
          "[1] Debug: Created string: (withheld) (x)\n2026-01-01T00:00:02.000 [2] command line: "
          "efis-cli settings set registration=(withheld) ownship_icao=(withheld)\n",
          "status: unit (withheld) (withheld)\n"}) {
        EXPECT_TRUE(contains(withheld.text, part)) << part << " in:\n" << withheld.text;
    }
    for (const char* identity : {"N12345", "A1B2C3", "a1b2c3", "G-ABCD"}) {
        EXPECT_FALSE(contains(withheld.text, identity)) << identity;
    }
    o.include_identity = true;
    const std::string kept = support_report(o).text;
    EXPECT_TRUE(contains(kept, "\"registration\": \"N12345\"") && contains(kept, "status: unit a1b2c3 N12345\n"));

    o.unit_link = nullptr;
    const Report none = support_report(o);
    EXPECT_EQ(none.serial, std::nullopt);
    EXPECT_TRUE(contains(none.text, "\n== unit ==\nno unit connected\n\n== settings ==\nno unit connected\n\n"
                                    "== calibration ==\nno unit connected\n\n== backups ==\n"));
    EXPECT_EQ(default_report_name(std::nullopt, {}).rfind("efis-report-no-unit-", 0), 0u);
    EXPECT_TRUE(std::regex_match(default_report_name(0x00C0FFEE, {}),
                                 std::regex(R"(efis-report-00C0FFEE-\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d\.txt)")));
}

} // namespace
