// What the module knows about the settings beyond their file form: values that cannot all be
// right together, names as people type them, and what the window can show.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"

namespace {

using namespace settings_file;

uint32_t word_of(const std::string& name, const std::string& value)
{
    const Setting* s = nullptr;
    uint32_t words[3] = {};
    std::string error;
    EXPECT_TRUE(parse_assignment(name + "=" + value, &s, words, &error)) << error;
    return words[0];
}

void set(Settings_t& r, const std::string& name, const std::string& value)
{
    uint32_t w = word_of(name, value);
    settings_set_value(&r, find_setting(name)->first, &w);
}

// A light single's numbers: every rule holds.
Settings_t plausible()
{
    Settings_t r{};
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"vs0", "40"},
             {"vs1", "48"},
             {"vfe", "85"},
             {"vn0", "129"},
             {"vne", "163"},
             {"vlo", "100"},
             {"min_volts_alert", "10.5"},
             {"min_volts_warning", "11.5"},
             {"max_volts_warning", "14.5"},
             {"max_volts_alert", "15.5"},
         }) {
        set(r, name, value);
    }
    return r;
}

TEST(Plausibility, EveryRuleBothWaysAndZeroIsNotSet)
{
    EXPECT_TRUE(implausible_values(plausible()).empty());
    struct Case {
        const char* name;
        const char* breaks; // the value that breaks the rule
        const char* holds;  // the nearest value that keeps it
        const char* other;  // the setting on the rule's other side
        const char* line;
    };
    const Case cases[] = {
        {"vs0", "49", "48", "vs1", "vs0 49 is above vs1 48"},
        {"vs1", "129", "128", "vn0", "vs1 129 is not below vn0 129"},
        {"vn0", "164", "163", "vne", "vn0 164 is above vne 163"},
        {"vfe", "164", "163", "vne", "vfe 164 is above vne 163"},
        {"vlo", "164", "163", "vne", "vlo 164 is above vne 163"},
        {"vfe", "40", "41", "vs0", "vs0 40 is not below vfe 40"},
        {"min_volts_alert", "11.6", "11.5", "min_volts_warning",
         "min_volts_alert 11.6 is above min_volts_warning 11.5"},
        {"min_volts_warning", "14.5", "14.4", "max_volts_warning",
         "min_volts_warning 14.5 is not below max_volts_warning 14.5"},
        {"max_volts_warning", "15.6", "15.5", "max_volts_alert",
         "max_volts_warning 15.6 is above max_volts_alert 15.5"},
    };
    for (const Case& c : cases) {
        Settings_t r = plausible();
        set(r, c.name, c.breaks);
        EXPECT_EQ(implausible_values(r), std::vector<std::string>{c.line}) << c.name;
        set(r, c.name, c.holds);
        EXPECT_TRUE(implausible_values(r).empty()) << c.name << " " << c.holds;

        // A rule with a setting of 0 on either side is not checked.
        for (const char* zeroed : {c.name, c.other}) {
            Settings_t z = plausible();
            set(z, c.name, c.breaks);
            set(z, zeroed, "0");
            const auto lines = implausible_values(z);
            EXPECT_EQ(std::count(lines.begin(), lines.end(), c.line), 0) << c.line << " with " << zeroed << " 0";
        }
    }

    // Several at once, one line each, in the rules' order.
    Settings_t r = plausible();
    set(r, "vs1", "50");
    set(r, "vn0", "45");
    set(r, "min_volts_warning", "16");
    set(r, "max_volts_warning", "10");
    EXPECT_EQ(implausible_values(r), (std::vector<std::string>{
                                         "vs1 50 is not below vn0 45",
                                         "min_volts_warning 16.0 is not below max_volts_warning 10.0",
                                     }));
}

TEST(Names, TypedNamesMatchAnyCaseAndMistypedOnesGetTheClosest)
{
    EXPECT_EQ(find_setting("Vne", NameMatch::AnyCase), find_setting("vne"));
    EXPECT_EQ(find_setting("MIN_VOLTS_WARNING", NameMatch::AnyCase), find_setting("min_volts_warning"));
    EXPECT_EQ(find_setting("Vne"), nullptr); // a file's keys are exact

    const Setting* s = nullptr;
    uint32_t words[3] = {};
    std::string error;
    ASSERT_TRUE(parse_assignment("Vne=170", &s, words, &error)) << error;
    EXPECT_STREQ(s->name, "vne");
    EXPECT_EQ(words[0], 170u);

    const std::pair<const char*, const char*> refused[] = {
        {"vnee=170", "no setting 'vnee'; did you mean 'vne'?"},
        {"VNEE=170", "no setting 'VNEE'; did you mean 'vne'?"},
        {"sky_colour_upper=#112233", "no setting 'sky_colour_upper'; did you mean 'sky_color_upper'?"},
        {"emitter_catgeory=A1", "no setting 'emitter_catgeory'; did you mean 'emitter_category'?"},
        {"speed=100", "no setting 'speed'"},
        {"x=1", "no setting 'x'"},
    };
    for (const auto& [text, message] : refused) {
        EXPECT_FALSE(parse_assignment(text, &s, words, &error)) << text;
        EXPECT_EQ(error, message);
    }

    // A file refuses a key in another case, and says which one it means.
    Document doc;
    EXPECT_FALSE(read_document(R"({"format": "efis-config settings", "format_version": 1, "settings": {"Vne": 1}})",
                               &doc, &error));
    EXPECT_EQ(error, "settings: unknown key \"Vne\" (no setting has this name; did you mean \"vne\"?)");
    EXPECT_FALSE(read_document(R"({"format": "efis-config settings", "format_version": 1, "settings": {"speed": 1}})",
                               &doc, &error));
    EXPECT_EQ(error, "settings: unknown key \"speed\" (no setting has this name)");
    // A key as long as a file may be is refused as quickly as any other.
    const std::string huge(kMaxFileBytes - 100, 'v');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(
        read_document(R"({"format": "efis-config settings", "format_version": 1, "settings": {")" + huge + R"(": 1}})",
                      &doc, &error));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(error.find("did you mean"), std::string::npos);
}

TEST(Catalogue, OneEntryPerSettingAndTheIdentity)
{
    ASSERT_EQ(catalogue().size(), all_settings().size());
    std::vector<std::string> identity;
    for (size_t i = 0; i < catalogue().size(); ++i) {
        const CatalogueEntry& e = catalogue()[i];
        EXPECT_EQ(e.setting, &all_settings()[i]);
        EXPECT_EQ(&catalogue_entry(*e.setting), &e);
        if (e.identity) {
            identity.push_back(e.setting->name);
        }
        // Every form a file takes ends with the raw word, which every setting accepts.
        EXPECT_NE(setting_forms(*e.setting).back().find("0x%08X"), std::string::npos) << e.setting->name;
    }
    EXPECT_EQ(identity, (std::vector<std::string>{"registration", "ownship_icao", "icao_address_type"}));
    EXPECT_TRUE(catalogue_entry(*find_setting("use_mag_heading")).window.empty());
}

TEST(Catalogue, NotesForValuesTheWindowCannotShow)
{
    struct Case {
        const char* assignment;
        const char* note; // nullptr: the window shows it
    };
    const Case cases[] = {
        {"vne=240", nullptr},
        {"vne=250", "vne 250 is beyond what the window offers (0..240)"},
        {"min_volts_warning=5", nullptr},
        {"min_volts_warning=4.9", "min_volts_warning 4.9 is beyond what the window offers (5.0..65.0)"},
        {"backlight_brightness=22", "backlight_brightness 22 is beyond what the window offers (0..21)"},
        {"text_bg_alpha=255", "text_bg_alpha 255 is beyond what the window offers (0..254)"},
        {"roll_correction=-90", nullptr},
        {"roll_correction=1.5", nullptr},
        {"roll_correction=90.5", "roll_correction 90.5 is beyond what the window offers (-90.0..90.0)"},
        {"pitch_correction=1.25",
         "pitch_correction 1.25 is finer than the window offers (-90.0..90.0 in steps of 0.1)"},
        {"pitch_correction=0x7FC00000",
         "pitch_correction \"0x7FC00000\" is beyond what the window offers (-90.0..90.0)"},
        {"sky_color_upper=#3c78d8", nullptr},
        {"sky_color_upper=#803c78d8",
         "sky_color_upper \"#803c78d8\" is beyond what the window offers (opaque colours)"},
        {"ownship_icao=0x01000000",
         "ownship_icao \"0x01000000\" is beyond what the window offers (six hexadecimal digits)"},
        {"emitter_category=0x00000016",
         "emitter_category \"0x00000016\" is beyond what the window offers (A0 : Reserved .. C5 : Line obstacle (22 "
         "items))"},
        {"map_orientation=0x00000002",
         "map_orientation \"0x00000002\" is beyond what the window offers (North Up, Track Up)"},
        {"units=0x00000003", "units \"0x00000003\" is beyond what the window offers (MPH, Knots, KPH; Feet, Meters; "
                             "Fahrenheit, Celsius; InHg, Mbar)"},
        {"registration=G-ABCD", nullptr},
        {"registration=null", "registration null is beyond what the window offers (a nationality prefix; the rest, 11 "
                              "characters in all)"},
        {"use_mag_heading=1", "use_mag_heading has no field in the window, which leaves it as the unit holds it"},
    };
    for (const Case& c : cases) {
        const Setting* s = nullptr;
        uint32_t words[3] = {};
        std::string error;
        ASSERT_TRUE(parse_assignment(c.assignment, &s, words, &error)) << c.assignment << ": " << error;
        const auto note = window_note(*s, words);
        if (c.note == nullptr) {
            EXPECT_FALSE(note.has_value()) << c.assignment << ": " << *note;
        } else {
            EXPECT_EQ(note.value_or("(no note)"), c.note) << c.assignment;
        }
    }
}

} // namespace
