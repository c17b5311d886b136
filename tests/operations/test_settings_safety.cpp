// What a settings file may change: the aircraft's identity only from a file of this very unit, or
// when asked; everything else the file names, always. The front ends' tests cover the questions
// and notes built on this; here the cases they do not reach.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "operations/operations.h"
#include "sim/demo_unit.h"

namespace {

using operations::FileOrigin;
using operations::values_from_file;

settings_file::Document file(const std::string& unit_block, const std::string& settings)
{
    settings_file::Document doc;
    std::string error;
    EXPECT_TRUE(settings_file::read_document(R"({"format": "efis-config settings", "format_version": 1, )" +
                                                 unit_block + R"("settings": )" + settings + "}",
                                             &doc, &error))
        << error;
    return doc;
}

std::vector<std::string> kept(const operations::FileValues& v)
{
    std::vector<std::string> out;
    for (const settings_file::Setting* s : v.identity_kept) {
        out.emplace_back(s->name);
    }
    return out;
}

// The demo unit's record: registration N12345, ownship_icao A1B2C3, icao_address_type icao.
const Settings_t kCurrent = sim::make_demo_unit()->stored_settings();

TEST(ValuesFromFile, IdentityHeldBackNamesOnlyWhatWouldChange)
{
    // The same registration, another address: only the address is named, and neither is taken.
    const auto v = values_from_file(file(R"("unit": {"serial": "0x0BADF00D"}, )",
                                         R"({"registration": "N12345", "ownship_icao": "ABCDEF", "vne": 150})"),
                                    0x00C0FFEE, kCurrent, false);
    EXPECT_EQ(v.origin, FileOrigin::OtherUnit);
    EXPECT_EQ(kept(v), std::vector<std::string>{"ownship_icao"});
    EXPECT_EQ(v.values.count(), 1u);
    EXPECT_TRUE(v.values.names(*settings_file::find_setting("vne")));

    // A unit block without a serial names no unit.
    const auto unnamed = values_from_file(file(R"("unit": {"firmware": "0.2.12"}, )", R"({"ownship_icao": "ABCDEF"})"),
                                          0x00C0FFEE, kCurrent, false);
    EXPECT_EQ(unnamed.origin, FileOrigin::NoUnit);
    EXPECT_EQ(kept(unnamed), std::vector<std::string>{"ownship_icao"});

    // Asked to copy: the file as it is.
    const auto copied = values_from_file(file("", R"({"ownship_icao": "ABCDEF"})"), std::nullopt, kCurrent, true);
    EXPECT_TRUE(copied.identity_kept.empty());
    EXPECT_EQ(copied.values.count(), 1u);
}

} // namespace
