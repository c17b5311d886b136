// The command line as people type it: mistyped commands answered with the likely one, each
// command's help naming its exit statuses and the full table standing once, "Usage:" with the
// program's own name, setting names in any case, and the catalogue of the settings with no unit.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "tests/support/unit.h"

namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result cli(std::vector<std::string> args, const std::string& program = "efis-cli")
{
    std::ostringstream out;
    std::ostringstream err;
    const efis_cli::Streams io{out, err, false};
    args.insert(args.begin(), program);
    const int status = efis_cli::run(args, io);
    return {status, out.str(), err.str()};
}

size_t count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

TEST(CliHelp, UnknownCommandsGetTheLikelyOne)
{
    sim::unplug_all();
    const std::pair<std::vector<std::string>, const char*> rows[] = {
        {{"setting"}, "efis-cli: unknown command 'setting' (did you mean 'settings'?)\n"},
        {{"-q", "setting", "show"}, "efis-cli: unknown command 'setting' (did you mean 'settings'?)\n"},
        {{"settings", "shwo"}, "efis-cli: unknown command 'settings shwo' (did you mean 'settings show'?)\n"},
        {{"firmware", "uplaod", "fw.bin"},
         "efis-cli: unknown command 'firmware uplaod' (did you mean 'firmware upload'?)\n"},
        {{"frobnicate"}, "efis-cli: unknown command 'frobnicate' (see efis-cli --help)\n"},
    };
    for (const auto& [args, message] : rows) {
        const Result r = cli(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.err, message);
        EXPECT_TRUE(r.out.empty());
    }
    // A command's own arguments are not commands.
    const Result extra = cli({"firmware", "check", "missing.bin", "setting"});
    EXPECT_EQ(extra.status, 2);
    EXPECT_EQ(count(extra.err, "unknown command"), 0u) << extra.err;
}

TEST(CliHelp, ExitStatusesOnceInTheTableAndPerCommand)
{
    const Result top = cli({"--help"}, "/usr/local/bin/efis-cli");
    ASSERT_EQ(top.status, 0);
    EXPECT_EQ(count(top.out, "Usage: efis-cli [OPTIONS]"), 1u) << top.out;
    EXPECT_EQ(count(top.out, "Exit status:\n"), 1u);
    EXPECT_EQ(count(top.out, "  130  stopped by Ctrl-C"), 1u) << top.out;
    EXPECT_EQ(count(top.out, "  3    no unit found"), 1u) << top.out;

    const std::pair<std::vector<std::string>, const char*> rows[] = {
        {{"info", "--help"}, "Exit status: 0, 3, 4 (see efis-cli --help)"},
        {{"settings", "list", "--help"}, "Exit status: 0 (see efis-cli --help)"},
        {{"settings", "diff", "--help"}, "Exit status: 0, 1, 3, 4, 5 (see efis-cli --help)"},
        {{"settings", "set", "--help"}, "Exit status: 0, 3, 4, 5, 130 (see efis-cli --help)"},
        {{"firmware", "check", "--help"}, "Exit status: 0, 5 (see efis-cli --help)"},
        {{"airports", "upload", "--help"}, "Exit status: 0, 3, 4, 5, 130 (see efis-cli --help)"},
    };
    for (const auto& [args, line] : rows) {
        const Result r = cli(args, "/opt/efis/bin/efis-cli");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(count(r.out, line), 1u) << r.out;
        EXPECT_EQ(count(r.out, "130  stopped"), 0u) << "the table stands once, in the top-level help";
        EXPECT_EQ(count(r.out, "/opt/efis"), 0u) << r.out;
    }
    EXPECT_EQ(count(cli({"settings", "restore", "--help"}, "./build/efis-cli-sim").out,
                    "Usage: efis-cli-sim settings restore"),
              1u);
}

TEST(CliHelp, SettingsListNeedsNoUnit)
{
    sim::unplug_all();
    const Result text = cli({"settings", "list"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(text.err.empty()) << text.err;
    EXPECT_EQ(count(text.out, "\n"), 35u) << "a header and 34 settings";
    EXPECT_EQ(text.out.rfind("SETTING", 0), 0u);
    EXPECT_EQ(count(text.out, "no field in the window"), 1u);

    const Result json = cli({"settings", "list", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const auto list = nlohmann::json::parse(json.out);
    ASSERT_EQ(list.size(), 34u);
    const auto& vne = list[6];
    EXPECT_EQ(vne["name"], "vne");
    EXPECT_EQ(vne["indices"], nlohmann::json::array({6}));
    EXPECT_EQ(vne["unit"], "airspeed unit");
    EXPECT_EQ(vne["identity"], false);
    EXPECT_EQ(vne["window"][0]["widget"], "spinBox_vne");
    EXPECT_EQ(vne["window"][0]["maximum"], 240);
    EXPECT_EQ(list[11]["name"], "registration");
    EXPECT_EQ(list[11]["indices"], nlohmann::json::array({11, 12, 13}));
    EXPECT_EQ(list[11]["identity"], true);
    EXPECT_EQ(list[31]["name"], "emitter_category");
    EXPECT_EQ(list[31]["window"][0]["items"].size(), 22u);
}

TEST(CliHelp, SettingNamesInAnyCase)
{
    auto unit = support::plug_demo_unit();
    const Result set = cli({"settings", "set", "Vne=170", "SKY_COLOR_UPPER=#112233"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(unit->stored_settings().vspeeds.Vne, 170);

    unit->clear_log();
    const Result typo = cli({"settings", "set", "vnee=170"});
    EXPECT_EQ(typo.status, 5);
    EXPECT_EQ(typo.err, "efis-cli: no setting 'vnee'; did you mean 'vne'?\n");
    EXPECT_TRUE(unit->requests().empty()) << "a refused name reaches no unit";
    sim::unplug_all();
}

} // namespace
