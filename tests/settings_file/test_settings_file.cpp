// Settings files: every record survives a backup and restore word for word, each friendly form reads
// and writes both ways, bad files are refused with the key and the reason, and values that cannot
// all be right together are named.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>
#include <sstream>

#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"

namespace {

using namespace settings_file;
using Words = std::vector<uint32_t>;

uint32_t get(const Settings_t& r, uint32_t index)
{
    return settings_get_value(&r, static_cast<settings_struct_index>(index));
}

// A document with the given blocks before its settings object.
std::string doc_with(const std::string& settings, const std::string& blocks = "")
{
    return R"({"format": "efis-config settings", "format_version": 1, )" + blocks + R"("settings": )" + settings + "}";
}

// Why the text is refused; a refused text leaves the caller's document as it was.
std::string refusal(const std::string& text)
{
    Document doc;
    const uint32_t vs1 = 77;
    doc.settings.put(*find_setting("vs1"), &vs1);
    std::string error;
    EXPECT_FALSE(read_document(text, &doc, &error)) << text;
    EXPECT_TRUE(doc.settings.count() == 1 && doc.settings.word[VS1_INDEX] == 77 && !doc.unit) << text;
    return error;
}

// NAME=VALUE as the command line reads it: the setting and its words.
std::pair<const Setting*, Words> assigned(const std::string& text)
{
    const Setting* s = nullptr;
    Words words(3);
    std::string error;
    EXPECT_TRUE(parse_assignment(text, &s, words.data(), &error)) << text << ": " << error;
    return {s, words};
}

// Random words everywhere, with the awkward ones mixed in: opaque white, NaN and infinite
// corrections, negative zero, stray unit bits, erased and non-text registrations.
TEST(SettingsFile, RandomRecordsRoundTripWordForWord)
{
    std::mt19937 rng(7);
    const uint32_t awkward[] = {0xFFFFFFFF, 0x7FC00000, 0x7F800000, 0xFF800000, 0x80000000, 0x00000001, 0x7F7FFFFF,
                                0x3DCCCCCD, 0x000002AA, 0x00FFFFFF, 0x01000000, 0,          2,          22};
    for (int round = 0; round < 400; ++round) {
        Settings_t record{};
        for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
            uint32_t w = rng() % 3 == 0 ? awkward[rng() % std::size(awkward)] : rng();
            settings_set_value(&record, static_cast<settings_struct_index>(i), &w);
        }
        if (round % 2 == 0) {
            std::memcpy(record.registration, "D-EAB\xE9\0\0\0\0\0", 12);
        }
        const std::string text = write_document(backup_document(record, std::nullopt, std::nullopt));
        Document read;
        std::string error;
        ASSERT_TRUE(read_document(text, &read, &error)) << error << "\n" << text;
        Settings_t restored{};
        apply(read.settings, &restored);
        for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
            ASSERT_EQ(get(restored, i), get(record, i)) << "index " << i << "\n" << text;
        }
        EXPECT_TRUE(differences(read.settings, record).empty());
        EXPECT_EQ(write_document(read), text);
    }
}

// What a file writes for a setting's words, and that it reads back to the same words; a row with
// a written form is another spelling a file may use.
TEST(SettingsFile, FriendlyAndRawForms)
{
    struct Row {
        const char* name;
        Words words;
        const char* text;
        const char* written = nullptr; // when it differs from text
    };
    const Row rows[] = {
        {"units", {0xAA}, R"({"airspeed":"knots","altitude":"feet","temperature":"fahrenheit","pressure":"inhg"})"},
        {"units", {0xAB}, R"("0x000000AB")"}, // two airspeed units
        {"vne", {255}, "255"},
        {"vne", {160}, R"("0xa0")", "160"},
        {"max_volts_warning", {65535}, "6553.5"},
        {"min_volts_warning", {120}, "12", "12.0"},
        {"min_volts_warning", {125}, R"("0x0000007D")", "12.5"},
        {"registration", {0x4E313233, 0x34350000, 0}, R"("N12345")"},
        {"registration", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, "null"},
        {"registration", {0x4E313233, 0x34350000, 0x00000001}, R"(["0x4E313233","0x34350000","0x00000001"])"},
        {"registration", {0x4E0A3233, 0, 0}, R"(["0x4E0A3233","0x00000000","0x00000000"])"}, // a control character
        {"registration", {0x41424344, 0x45464748, 0x494A4B4C}, R"(["0x41424344","0x45464748","0x494A4B4C"])"}, // 12
        {"sky_color_upper", {0xFF3C78D8}, R"("#3C78D8")", R"("#3c78d8")"},
        {"gear_color", {0xF03C78D8}, R"("#f03c78d8")"},
        {"roll_correction", {0xC2B40000}, "-90", "-90.0"},
        {"roll_correction", {0x3DCCCCCD}, "0.1"},
        {"roll_correction", {0x7FC00000}, R"("0x7FC00000")"},
        {"emitter_category", {21}, R"("C5")"},
        {"emitter_category", {22}, R"("0x00000016")"},
    };
    for (const Row& row : rows) {
        const Setting& s = *find_setting(row.name);
        ASSERT_EQ(row.words.size(), s.count) << row.name;
        EXPECT_EQ(setting_text(s, row.words.data()), row.written != nullptr ? row.written : row.text) << row.name;
        uint32_t words[3] = {};
        std::string error;
        ASSERT_TRUE(parse_setting(s, nlohmann::json::parse(row.text), words, &error)) << row.text << ": " << error;
        EXPECT_EQ(Words(words, words + s.count), row.words) << row.name << " " << row.text;
    }
}

TEST(SettingsFile, RefusalsNameTheKeyAndTheReason)
{
    const std::pair<std::string, std::string> rows[] = {
        {"{\"format\": ", "malformed JSON: parse error at line 1, column 12"},
        {R"({"format_version": 1, "settings": {}})", "missing \"format\""},
        {R"({"format": "efis-config settings", "format_version": 2, "settings": {}})", "format_version: this program"},
        {doc_with("{}", R"("unit": {"serial": "0x1", "rc": 256}, )"), "unit.rc: expected an integer 0..255, found 256"},
        {doc_with("{}", R"("record": {"version": -3}, )"), "record.version: expected an integer 0..4294967295"},
        {doc_with("{}", R"("calibration": {"1000": "0x1"}, )"), "calibration: \"1000\" is not an index"},
        {doc_with(R"({"units": "0x000000AA", "vne": 256})"), "settings.vne: 256 is outside 0..255"},
        {doc_with(R"({"vne": "0x100"})"), "settings.vne: \"0x100\" is more than the field holds (0x000000FF"},
        {doc_with(R"({"Vne": 1})"), "settings: unknown key \"Vne\" (no setting has this name; did you mean \"vne\"?)"},
        {doc_with(R"({"vne": 100, "vne": 110})"), "settings: the key \"vne\" appears twice"},
        {doc_with(R"({"gear_color": "#12345"})"), "settings.gear_color: \"#12345\" is not a colour"},
        {doc_with(R"({"max_volts_alert": 12.55})"), "settings.max_volts_alert: 12.55 has more than one decimal"},
        {doc_with(R"({"max_volts_alert": 6553.6})"), "settings.max_volts_alert: 6553.6 is outside 0.0..6553.5"},
        {doc_with(R"({"roll_correction": 1e39})"), "settings.roll_correction: 1e+39 is outside the range"},
        {doc_with(R"({"registration": "N€1"})"), "settings.registration: \"N€1\" holds a character the unit"},
        {doc_with(R"({"map_orientation": "up"})"), "settings.map_orientation: \"up\" is not a map orientation"},
        {doc_with(R"({"units": {"airspeed": 1}})"), "settings.units.airspeed: expected a unit of airspeed"},
        {std::string(kMaxFileBytes + 1, ' '), "larger than 1024 KiB: this is not a settings file"},
    };
    for (const auto& [text, start] : rows) {
        const std::string error = refusal(text);
        EXPECT_EQ(error.rfind(start, 0), 0u) << "message: " << error << "\nexpected: " << start;
    }
}

// A unit's firmware version in a file: three numbers of digits only, dots between, nothing else.
TEST(SettingsFile, FirmwareVersionTexts)
{
    const auto unit = [](const std::string& text) {
        return doc_with("{}", R"("unit": {"firmware": ")" + text + "\"}, ");
    };
    Document doc;
    std::string error;
    ASSERT_TRUE(read_document(unit("255.1.012"), &doc, &error)) << error;
    EXPECT_EQ(doc.unit->firmware->version, 0xFF010C00u);
    for (const char* text : {"0. 2.12", "0.+2.12", "0.2.-0", " 0.2.12", "0.2.12 ", "0.2", "0.2.12.1", "0..12",
                             "0.256.0", "0.2.1a", "0.2.0012", ""}) {
        EXPECT_EQ(refusal(unit(text)).rfind("unit.firmware: expected a firmware version", 0), 0u) << text;
    }
}

// Text that nests deep enough to overflow the stack when a value is printed is refused before any
// value is made of it; the document and "settings" are two levels, 14 more are read.
TEST(SettingsFile, DeepTextIsRefused)
{
    const auto nested = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    EXPECT_EQ(refusal(doc_with(R"({"vne": )" + nested(14) + "}")).find("nested"), std::string::npos);
    EXPECT_EQ(refusal(doc_with(R"({"vne": )" + nested(15) + "}")),
              "nested deeper than 16 levels: this is not a settings file");
    EXPECT_EQ(refusal(doc_with(R"({"vne": )" + nested(100000) + "}")).find("nested deeper"), 0u);
}

// A partial file names only some settings: only those are applied and compared, and the record's
// checksum follows.
TEST(SettingsFile, PartialFilesTouchOnlyTheirSettings)
{
    Settings_t record{};
    record.num_elements = kSettingsCrcMaxWords;
    record.vspeeds.Vne = 160;
    record.vspeeds.Vs0 = 45;
    std::memcpy(record.registration, "N12345", 6);
    Document doc;
    std::string error;
    ASSERT_TRUE(read_document(doc_with(R"({"vne": 150, "vs0": 45, "registration": "N12346"})"), &doc, &error));
    const auto diff = differences(doc.settings, record);
    ASSERT_EQ(diff.size(), 2u);
    EXPECT_STREQ(diff[0]->name, "vne");
    EXPECT_STREQ(diff[1]->name, "registration"); // it differs in its second word only
    Settings_t changed = record;
    apply(doc.settings, &changed);
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        EXPECT_EQ(get(changed, i), i == VNE_INDEX ? 150u : i == REGISTRATION_2_INDEX ? 0x34360000u : get(record, i));
    }
    EXPECT_EQ(changed.crc32, settings_CalcCRC(&changed));
}

// A light single's numbers, where every rule holds, with the given assignments on top.
Settings_t plausible_with(std::initializer_list<std::string> changes)
{
    std::istringstream base("vs0=40 vs1=48 vfe=85 vn0=129 vne=163 vlo=100 min_volts_alert=10.5 "
                            "min_volts_warning=11.5 max_volts_warning=14.5 max_volts_alert=15.5");
    std::vector<std::string> all{std::istream_iterator<std::string>(base), {}};
    all.insert(all.end(), changes);
    Settings_t r{};
    for (const std::string& a : all) {
        auto [s, words] = assigned(a);
        settings_set_value(&r, s->first, &words[0]);
    }
    return r;
}

TEST(Plausibility, EveryRuleBothWaysAndZeroIsNotSet)
{
    EXPECT_TRUE(implausible_values(plausible_with({})).empty());
    const struct {
        const char* breaks; // the value that breaks the rule
        const char* holds;  // the nearest value that keeps it
        const char* other;  // the setting on the rule's other side
        const char* line;
    } cases[] = {
        {"vs0=49", "vs0=48", "vs1", "vs0 49 is above vs1 48"},
        {"vs1=129", "vs1=128", "vn0", "vs1 129 is not below vn0 129"},
        {"vn0=164", "vn0=163", "vne", "vn0 164 is above vne 163"},
        {"vfe=164", "vfe=163", "vne", "vfe 164 is above vne 163"},
        {"vlo=164", "vlo=163", "vne", "vlo 164 is above vne 163"},
        {"vfe=40", "vfe=41", "vs0", "vs0 40 is not below vfe 40"},
        {"min_volts_alert=11.6", "min_volts_alert=11.5", "min_volts_warning",
         "min_volts_alert 11.6 is above min_volts_warning 11.5"},
        {"min_volts_warning=14.5", "min_volts_warning=14.4", "max_volts_warning",
         "min_volts_warning 14.5 is not below max_volts_warning 14.5"},
        {"max_volts_warning=15.6", "max_volts_warning=15.5", "max_volts_alert",
         "max_volts_warning 15.6 is above max_volts_alert 15.5"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(implausible_values(plausible_with({c.breaks})), std::vector<std::string>{c.line});
        EXPECT_TRUE(implausible_values(plausible_with({c.holds})).empty()) << c.holds;
        // A rule with a setting of 0 on either side is not checked.
        for (const std::string& zeroed :
             {std::string(c.breaks).substr(0, std::string(c.breaks).find('=')), std::string(c.other)}) {
            const auto lines = implausible_values(plausible_with({c.breaks, zeroed + "=0"}));
            EXPECT_EQ(std::count(lines.begin(), lines.end(), c.line), 0) << c.line << " with " << zeroed << " 0";
        }
    }
    // Several at once, one line each, in the rules' order.
    EXPECT_EQ(implausible_values(plausible_with({"vs1=50", "vn0=45", "vfe=39"})).size(), 2u);
}

// The settings a file of another aircraft must not bring along.
TEST(Catalogue, TheAircraftsIdentity)
{
    std::vector<std::string> identity;
    for (const CatalogueEntry& e : catalogue()) {
        if (e.identity) {
            identity.push_back(e.setting->name);
        }
    }
    EXPECT_EQ(identity, (std::vector<std::string>{"registration", "ownship_icao", "icao_address_type"}));
}

} // namespace
