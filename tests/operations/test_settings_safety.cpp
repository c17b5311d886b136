// What a settings file may change: the aircraft's identity only from a file of this very unit, or
// when the user asks; everything else the file names, always.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "operations/operations.h"
#include "sim/demo_unit.h"

namespace {

using operations::FileOrigin;
using operations::values_from_file;
using settings_file::Document;

constexpr uint32_t kThisUnit = 0x00C0FFEE;

Document file(const std::string& unit_block, const std::string& settings)
{
    const std::string text =
        R"({"format": "efis-config settings", "format_version": 1, )" + unit_block + R"("settings": )" + settings + "}";
    Document doc;
    std::string error;
    EXPECT_TRUE(settings_file::read_document(text, &doc, &error)) << error;
    return doc;
}

std::vector<std::string> names(const operations::FileValues& v)
{
    std::vector<std::string> out;
    for (const settings_file::Setting* s : v.identity_kept) {
        out.emplace_back(s->name);
    }
    return out;
}

bool takes(const operations::FileValues& v, const char* name)
{
    return v.values.names(*settings_file::find_setting(name));
}

// The demo unit's record: registration N12345, ownship_icao A1B2C3, icao_address_type icao.
const Settings_t kCurrent = sim::make_demo_unit()->stored_settings();
const std::string kIdentity = R"({"vne": 150, "registration": "G-ABCD", "ownship_icao": "ABCDEF",
                                  "icao_address_type": "random"})";
const std::vector<std::string> kAllThree = {"registration", "ownship_icao", "icao_address_type"};

TEST(ValuesFromFile, IdentityOnlyFromThisUnitOrWhenAsked)
{
    struct Case {
        const char* name;
        std::string unit_block;
        std::optional<uint32_t> unit_serial;
        FileOrigin origin;
        bool kept;
    };
    const Case cases[] = {
        {"this unit", R"("unit": {"serial": "0x00C0FFEE"}, )", kThisUnit, FileOrigin::ThisUnit, false},
        {"another unit", R"("unit": {"serial": "0x0BADF00D"}, )", kThisUnit, FileOrigin::OtherUnit, true},
        {"no unit block", "", kThisUnit, FileOrigin::NoUnit, true},
        {"a unit block without serial", R"("unit": {"firmware": "0.2.12"}, )", kThisUnit, FileOrigin::NoUnit, true},
        // No unit to compare with: the file cannot be shown to be its.
        {"no unit known", R"("unit": {"serial": "0x00C0FFEE"}, )", std::nullopt, FileOrigin::OtherUnit, true},
    };
    for (const Case& c : cases) {
        const Document doc = file(c.unit_block, kIdentity);
        const auto v = values_from_file(doc, c.unit_serial, kCurrent, false);
        EXPECT_EQ(v.origin, c.origin) << c.name;
        EXPECT_EQ(names(v), c.kept ? kAllThree : std::vector<std::string>{}) << c.name;
        EXPECT_TRUE(takes(v, "vne")) << c.name;
        for (const std::string& n : kAllThree) {
            EXPECT_EQ(takes(v, n.c_str()), !c.kept) << c.name << " " << n;
        }
        if (c.origin == FileOrigin::OtherUnit && c.unit_serial) {
            EXPECT_EQ(v.file_serial, 0x0BADF00Du);
        }

        const auto copied = values_from_file(doc, c.unit_serial, kCurrent, true);
        EXPECT_TRUE(copied.identity_kept.empty()) << c.name;
        EXPECT_EQ(copied.values.word, doc.settings.word) << c.name;
        EXPECT_EQ(copied.values.present, doc.settings.present) << c.name;
    }
}

TEST(ValuesFromFile, KeptNamesOnlyWhatWouldChange)
{
    // The same registration, another address: only the address is held back, and neither is sent.
    const Document doc =
        file(R"("unit": {"serial": "0x0BADF00D"}, )", R"({"registration": "N12345", "ownship_icao": "ABCDEF"})");
    const auto v = values_from_file(doc, kThisUnit, kCurrent, false);
    EXPECT_EQ(names(v), std::vector<std::string>{"ownship_icao"});
    EXPECT_EQ(v.values.count(), 0u);

    // A file for a fleet names no identity: nothing is held back.
    EXPECT_TRUE(values_from_file(file("", R"({"vne": 150})"), kThisUnit, kCurrent, false).identity_kept.empty());
}

} // namespace
