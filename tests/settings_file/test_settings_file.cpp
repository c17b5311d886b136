// Settings files: every record survives a backup and restore word for word, each setting's
// friendly form reads and writes both ways, and every kind of bad file is refused with a message
// that names the key and the reason.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"

namespace {

using namespace settings_file;
using nlohmann::json;

const Setting& setting(const char* name)
{
    const Setting* s = find_setting(name);
    EXPECT_NE(s, nullptr) << name;
    return *s;
}

uint32_t get(const Settings_t& r, uint32_t index)
{
    return settings_get_value(&r, static_cast<settings_struct_index>(index));
}

void set(Settings_t& r, uint32_t index, uint32_t value)
{
    settings_set_value(&r, static_cast<settings_struct_index>(index), &value);
}

// A document around the given settings object text.
std::string doc_with(const std::string& settings)
{
    return R"({"format": "efis-config settings", "format_version": 1, "settings": )" + settings + "}";
}

std::string refusal(const std::string& text)
{
    Document doc;
    std::string error;
    EXPECT_FALSE(read_document(text, &doc, &error)) << text;
    return error;
}

TEST(SettingsFile, NamesCoverEveryIndexInOrder)
{
    const auto all = all_settings();
    ASSERT_EQ(all.size(), 34u);
    EXPECT_STREQ(all.front().name, "units");
    EXPECT_EQ(setting("registration").first, REGISTRATION_1_INDEX);
    EXPECT_EQ(setting("registration").count, 3u);
    EXPECT_EQ(setting("vref").first, APPROACHSPEED_INDEX);
    EXPECT_EQ(setting("gear_color").first, GEAR_INDI_COLOR_INDEX);
    EXPECT_EQ(setting("map_orientation").first, MAP_DIR_INDEX);
    EXPECT_EQ(find_setting("Vne"), nullptr);
}

// Random words everywhere, with the awkward ones mixed in: opaque white, NaN and infinite
// corrections, negative zero, stray unit bits, erased and non-text registrations.
TEST(SettingsFile, RandomRecordsRoundTripWordForWord)
{
    std::mt19937 rng(7);
    const uint32_t awkward[] = {0xFFFFFFFF, 0x7FC00000, 0x7F800000, 0xFF800000, 0x80000000, 0x00000001,
                                0x7F7FFFFF, 0x3DCCCCCD, 0x000002AA, 0x000000AB, 0x00FFFFFF, 0x01000000,
                                0,          1,          2,          21,         22,         0xFF000000};
    for (int round = 0; round < 400; ++round) {
        Settings_t record{};
        set(record, SETTINGS_NUM_ELEMENTS, kSettingsCrcMaxWords);
        for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
            const uint32_t pick = rng() % 3;
            set(record, i, pick == 0 ? awkward[rng() % std::size(awkward)] : rng());
        }
        if (round % 5 == 0) {
            std::memset(record.registration, 0xFF, sizeof record.registration);
        } else if (round % 5 == 1) {
            std::memcpy(record.registration, "D-EAB\xE9\0\0\0\0\0", 12);
        }
        const Document backup = backup_document(record, UnitInfo{0x12345678u, fwversion_t{0x00020C00}, uint8_t{3}},
                                                RecordInfo{1u, 31u, record.crc32});
        const std::string text = write_document(backup);

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
        ASSERT_TRUE(read.unit && read.record);
        EXPECT_EQ(read.unit->serial, 0x12345678u);
        EXPECT_EQ(read.unit->firmware->version, 0x00020C00u);
        EXPECT_EQ(read.unit->rc, 3);
        EXPECT_EQ(read.record->checksum, record.crc32);
    }
}

// What a file writes for a setting's words, and that it reads back to the same words.
TEST(SettingsFile, FriendlyAndRawFormsBothWays)
{
    struct Row {
        const char* name;
        std::vector<uint32_t> words;
        const char* text;
    };
    const Row rows[] = {
        {"units", {0xAA}, R"({"airspeed":"knots","altitude":"feet","temperature":"fahrenheit","pressure":"inhg"})"},
        {"units", {0x152}, R"({"airspeed":"knots","altitude":"meters","temperature":"celsius","pressure":"mbar"})"},
        {"units", {0xA9}, R"({"airspeed":"mph","altitude":"feet","temperature":"fahrenheit","pressure":"inhg"})"},
        {"units", {0xAB}, R"("0x000000AB")"},  // two airspeed units
        {"units", {0x2AA}, R"("0x000002AA")"}, // a stray bit above the unit bits
        {"units", {0}, R"("0x00000000")"},
        {"vne", {160}, "160"},
        {"vmin", {0}, "0"},
        {"min_volts_warning", {125}, "12.5"},
        {"max_volts_alert", {120}, "12.0"},
        {"min_volts_alert", {123}, "12.3"},
        {"max_volts_warning", {65535}, "6553.5"},
        {"registration", {0x4E313233, 0x34350000, 0}, R"("N12345")"},
        {"registration", {0x442D4541, 0x42E90000, 0}, R"("D-EABé")"},
        {"registration", {0, 0, 0}, R"("")"},
        {"registration", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, "null"},
        {"registration", {0x4E313233, 0x34350000, 0x00000001}, R"(["0x4E313233","0x34350000","0x00000001"])"},
        {"registration", {0x4E0A3233, 0, 0}, R"(["0x4E0A3233","0x00000000","0x00000000"])"}, // a control character
        {"registration", {0x41424344, 0x45464748, 0x494A4B4C}, R"(["0x41424344","0x45464748","0x494A4B4C"])"}, // 12
        {"sky_color_upper", {0xFF3C78D8}, R"("#3c78d8")"},
        {"airplane_color", {0xFFFFFFFF}, R"("#ffffff")"},
        {"gear_color", {0x803C78D8}, R"("#803c78d8")"},
        {"red_arc_color", {0x00000000}, R"("#00000000")"},
        {"backlight_brightness", {15}, "15"},
        {"text_bg_alpha", {300}, "300"},
        {"use_mag_heading", {0xFFFFFFFF}, "4294967295"},
        {"roll_correction", {0x3F800000}, "1.0"},
        {"roll_correction", {0x3DCCCCCD}, "0.1"},
        {"pitch_correction", {0xBFC00000}, "-1.5"},
        {"pitch_correction", {0x80000000}, "-0.0"},
        {"pitch_correction", {0x00000001}, "1e-45"},
        {"roll_correction", {0x7FC00000}, R"("0x7FC00000")"},
        {"roll_correction", {0x7F800000}, R"("0x7F800000")"},
        {"ownship_icao", {0xA1B2C3}, R"("A1B2C3")"},
        {"ownship_icao", {0xABC}, R"("000ABC")"},
        {"ownship_icao", {0x01000000}, R"("0x01000000")"},
        {"icao_address_type", {0}, R"("icao")"},
        {"icao_address_type", {1}, R"("random")"},
        {"icao_address_type", {2}, R"("0x00000002")"},
        {"emitter_category", {0}, R"("A0")"},
        {"emitter_category", {9}, R"("B1")"},
        {"emitter_category", {21}, R"("C5")"},
        {"emitter_category", {22}, R"("0x00000016")"},
        {"termination_resistor", {1}, "true"},
        {"termination_resistor", {0}, "false"},
        {"termination_resistor", {2}, R"("0x00000002")"},
        {"map_orientation", {0}, R"("north_up")"},
        {"map_orientation", {1}, R"("track_up")"},
        {"map_orientation", {5}, R"("0x00000005")"},
    };
    for (const Row& row : rows) {
        const Setting& s = setting(row.name);
        ASSERT_EQ(row.words.size(), s.count) << row.name;
        EXPECT_EQ(setting_text(s, row.words.data()), row.text) << row.name;

        uint32_t words[3] = {};
        std::string error;
        ASSERT_TRUE(parse_setting(s, json::parse(row.text), words, &error)) << row.text << ": " << error;
        EXPECT_EQ(std::vector<uint32_t>(words, words + s.count), row.words) << row.name << " " << row.text;
    }
}

TEST(SettingsFile, OtherAcceptedSpellings)
{
    struct Row {
        const char* name;
        const char* value;
        uint32_t word;
    };
    const Row rows[] = {
        {"vne", R"("0x000000A0")", 160},
        {"vne", R"("0xa0")", 160},
        {"airplane_color", R"("#3C78D8")", 0xFF3C78D8},
        {"airplane_color", R"("0xFFFFFFFF")", 0xFFFFFFFF},
        {"min_volts_warning", "12", 120},
        {"min_volts_warning", R"("0x0000007D")", 125},
        {"roll_correction", "2", 0x40000000},
        {"roll_correction", "-90", 0xC2B40000},
        {"ownship_icao", R"("a1b2c3")", 0xA1B2C3},
        {"units", R"("0x000002AA")", 0x2AA},
    };
    for (const Row& row : rows) {
        uint32_t word = 0;
        std::string error;
        ASSERT_TRUE(parse_setting(setting(row.name), json::parse(row.value), &word, &error)) << error;
        EXPECT_EQ(word, row.word) << row.name << " " << row.value;
    }
}

TEST(SettingsFile, RefusalsNameTheKeyAndTheReason)
{
    struct Row {
        std::string text;
        std::vector<std::string> message_parts;
    };
    const Row rows[] = {
        {"{\"format\": ", {"malformed JSON", "line 1"}},
        {"[1, 2]", {"JSON object"}},
        {R"({"format_version": 1, "settings": {}})", {"missing \"format\""}},
        {R"({"format": "other", "format_version": 1, "settings": {}})", {"format:", "\"other\""}},
        {R"({"format": "efis-config settings", "format_version": 2, "settings": {}})", {"format_version", "2"}},
        {R"({"format": "efis-config settings", "format_version": "1", "settings": {}})", {"format_version"}},
        {R"({"format": "efis-config settings", "format_version": 1})", {"missing \"settings\""}},
        {R"({"format": "efis-config settings", "format_version": 1, "settings": {}, "extra": 1})",
         {"unknown key \"extra\""}},
        {R"({"format": "efis-config settings", "format_version": 1, "unit": {"serial": "0x1", "name": "x"},
             "settings": {}})",
         {"unit:", "unknown key \"name\""}},
        {R"({"format": "efis-config settings", "format_version": 1, "unit": {"firmware": "0.2"}, "settings": {}})",
         {"unit.firmware", "\"0.2\""}},
        {R"({"format": "efis-config settings", "format_version": 1, "record": {"version": -3}, "settings": {}})",
         {"record.version", "-3"}},
        {R"({"format": "efis-config settings", "format_version": 1, "record": {"checksum": 5}, "settings": {}})",
         {"record.checksum"}},
        {doc_with(R"({"vne": 300})"), {"settings.vne", "300", "0..255"}},
        {doc_with(R"({"vne": -1})"), {"settings.vne", "-1"}},
        {doc_with(R"({"vne": 16.5})"), {"settings.vne", "16.5"}},
        {doc_with(R"({"vne": "fast"})"), {"settings.vne", "\"fast\""}},
        {doc_with(R"({"vne": "0x00000100"})"), {"settings.vne", "0x000000FF"}},
        {doc_with(R"({"Vne": 100})"), {"settings", "unknown key \"Vne\""}},
        {doc_with(R"({"vne": 100, "vne": 110})"), {"settings", "\"vne\" appears twice"}},
        {doc_with(R"({"sky_color_upper": "#12345"})"), {"settings.sky_color_upper", "#12345", "colour"}},
        {doc_with(R"({"sky_color_upper": 16777215})"), {"settings.sky_color_upper", "16777215"}},
        {doc_with(R"({"emitter_category": "D1"})"), {"settings.emitter_category", "\"D1\""}},
        {doc_with(R"({"min_volts_warning": 12.55})"), {"settings.min_volts_warning", "12.55", "decimal"}},
        {doc_with(R"({"min_volts_warning": 7000})"), {"settings.min_volts_warning", "7000"}},
        {doc_with(R"({"roll_correction": 1e39})"), {"settings.roll_correction"}},
        {doc_with(R"({"roll_correction": -3.4028236e38})"), {"settings.roll_correction", "single-precision"}},
        {doc_with(R"({"roll_correction": "level"})"), {"settings.roll_correction", "\"level\""}},
        {doc_with(R"({"registration": "ABCDEFGHIJKL"})"), {"settings.registration", "11"}},
        {doc_with(R"({"registration": "N€123"})"), {"settings.registration", "U+20AC"}},
        {doc_with(R"({"registration": ["0x1", "0x2"]})"), {"settings.registration", "three"}},
        {doc_with(R"({"registration": ["0x1", "0x2", 3]})"), {"settings.registration[2]"}},
        {doc_with(R"({"ownship_icao": "A1B2C"})"), {"settings.ownship_icao", "\"A1B2C\""}},
        {doc_with(R"({"ownship_icao": 123456})"), {"settings.ownship_icao", "123456"}},
        {doc_with(R"({"termination_resistor": "yes"})"), {"settings.termination_resistor", "true or false"}},
        {doc_with(R"({"map_orientation": "south_up"})"), {"settings.map_orientation", "north_up"}},
        {doc_with(R"({"icao_address_type": 1})"), {"settings.icao_address_type", "random"}},
        {doc_with(R"({"units": {"airspeed": "knots"}})"), {"settings.units", "missing \"altitude\""}},
        {doc_with(R"({"units": {"airspeed": "mps", "altitude": "feet", "temperature": "celsius",
                                "pressure": "inhg"}})"),
         {"settings.units.airspeed", "\"mps\"", "knots"}},
        {doc_with(R"({"units": {"airspeed": "knots", "altitude": "feet", "temperature": "celsius",
                                "pressure": "inhg", "speed": "x"}})"),
         {"settings.units", "unknown key \"speed\""}},
        {doc_with(R"({"units": {"airspeed": "knots", "airspeed": "mph", "altitude": "feet",
                                "temperature": "celsius", "pressure": "inhg"}})"),
         {"settings.units", "\"airspeed\" appears twice"}},
        {std::string(kMaxFileBytes + 1, ' '), {"not a settings file"}},
    };
    for (const Row& row : rows) {
        const std::string error = refusal(row.text);
        for (const std::string& part : row.message_parts) {
            EXPECT_NE(error.find(part), std::string::npos) << "message: " << error << "\nlacks: " << part;
        }
    }
}

// Text that nests deep enough to overflow the stack when a value is printed, or an object of
// many objects (slow to take apart event by event), is refused, and soon, within the size limit.
TEST(SettingsFile, DeepOrWideTextIsRefusedQuickly)
{
    const auto nested = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    // The document and "settings" are two levels; 14 more are read, refused only for their form.
    EXPECT_EQ(refusal(doc_with(R"({"vne": )" + nested(14) + "}")).find("nested"), std::string::npos);
    EXPECT_NE(refusal(doc_with(R"({"vne": )" + nested(15) + "}")).find("nested deeper than 16 levels"),
              std::string::npos);
    EXPECT_NE(refusal(doc_with(R"({"vne": )" + nested(100000) + "}")).find("nested deeper"), std::string::npos);
    std::string objects;
    for (int i = 0; i < 50000; ++i) {
        objects += R"({"a":)";
    }
    EXPECT_NE(refusal(doc_with(objects + "1" + std::string(50000, '}'))).find("nested deeper"), std::string::npos);

    std::string wide = "{";
    for (int i = 0; i < 40000; ++i) {
        wide += (i == 0 ? "\"a" : ",\"a") + std::to_string(i) + "\":{}";
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(refusal(doc_with(wide + "}")).find("unknown key \"a0\""), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    for (const auto& [levels, refused_for_nesting] : {std::pair{16, false}, {17, true}, {100000, true}}) {
        const Setting* s = nullptr;
        uint32_t words[3] = {};
        std::string error;
        EXPECT_FALSE(parse_assignment("vne=" + nested(levels), &s, words, &error));
        EXPECT_EQ(error.find("vne: the value is nested deeper than 16 levels") == 0, refused_for_nesting) << error;
    }
}

// A unit's firmware version in a file: three numbers of digits only, dots between, nothing else.
TEST(SettingsFile, FirmwareVersionTexts)
{
    const std::pair<const char*, uint32_t> accepted[] = {
        {"0.2.12", 0x00020C00}, {"255.255.255", 0xFFFFFF00}, {"0.0.0", 0}, {"1.02.003", 0x01020300}};
    for (const auto& [text, version] : accepted) {
        Document doc;
        std::string error;
        ASSERT_TRUE(read_document(R"({"format": "efis-config settings", "format_version": 1, "unit": {"firmware": ")" +
                                      std::string(text) + R"("}, "settings": {}})",
                                  &doc, &error))
            << text << ": " << error;
        EXPECT_EQ(doc.unit->firmware->version, version) << text;
    }
    for (const char* text : {"0. 2.12", "0.+2.12", "0.2.-0", " 0.2.12", "0.2.12 ", "+0.2.12", "0.2", "0.2.12.1",
                             "0..12", "0.256.0", "0.2.1a", "0.2.0012", "0x1.2.3", ""}) {
        EXPECT_NE(refusal(R"({"format": "efis-config settings", "format_version": 1, "unit": {"firmware": ")" +
                          std::string(text) + R"("}, "settings": {}})")
                      .find("unit.firmware"),
                  std::string::npos)
            << text;
    }
}

TEST(SettingsFile, DocumentLayout)
{
    Values values;
    const uint32_t vne = 160;
    const uint32_t units = 0xAA;
    values.put(setting("vne"), &vne);
    values.put(setting("units"), &units);
    const Document doc{UnitInfo{0x00C0FFEEu, fwversion_t{0x00020C00}, uint8_t{0}}, RecordInfo{1u, 31u, 0x0A1B2C3Du},
                       values};
    EXPECT_EQ(write_document(doc), R"({
  "format": "efis-config settings",
  "format_version": 1,
  "unit": {
    "serial": "0x00C0FFEE",
    "firmware": "0.2.12",
    "rc": 0
  },
  "record": {
    "version": 1,
    "num_elements": 31,
    "checksum": "0x0A1B2C3D"
  },
  "settings": {
    "units": {
      "airspeed": "knots",
      "altitude": "feet",
      "temperature": "fahrenheit",
      "pressure": "inhg"
    },
    "vne": 160
  }
}
)");
}

// A partial file names only some settings: only those are applied and compared.
TEST(SettingsFile, PartialFilesTouchOnlyTheirSettings)
{
    Settings_t record{};
    set(record, SETTINGS_NUM_ELEMENTS, kSettingsCrcMaxWords);
    set(record, VNE_INDEX, 160);
    set(record, VS0_INDEX, 45);
    set(record, REGISTRATION_1_INDEX, 0x4E313233);

    Document doc;
    std::string error;
    ASSERT_TRUE(read_document(doc_with(R"({"vne": 150, "vs0": 45, "registration": "G-ABCD"})"), &doc, &error)) << error;
    EXPECT_EQ(doc.settings.count(), 3u);
    const auto diff = differences(doc.settings, record);
    ASSERT_EQ(diff.size(), 2u);
    EXPECT_STREQ(diff[0]->name, "vne");
    EXPECT_STREQ(diff[1]->name, "registration");

    Settings_t changed = record;
    apply(doc.settings, &changed);
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        if (i != VNE_INDEX && (i < REGISTRATION_1_INDEX || i > REGISTRATION_3_INDEX)) {
            EXPECT_EQ(get(changed, i), get(record, i)) << i;
        }
    }
    EXPECT_EQ(get(changed, VNE_INDEX), 150u);
    EXPECT_EQ(std::string(changed.registration, 6), "G-ABCD");
    EXPECT_EQ(changed.crc32, settings_CalcCRC(&changed));
}

TEST(SettingsFile, CommandLineAssignments)
{
    struct Row {
        const char* text;
        const char* name;
        std::vector<uint32_t> words;
    };
    const Row good[] = {
        {"vne=160", "vne", {160}},
        {"registration=N12345", "registration", {0x4E313233, 0x34350000, 0}},
        {"registration=\"123\"", "registration", {0x31323300, 0, 0}},
        {"registration=123", "registration", {0x31323300, 0, 0}},
        {"registration=null", "registration", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}},
        {"registration=", "registration", {0, 0, 0}},
        {"sky_color_upper=#112233", "sky_color_upper", {0xFF112233}},
        {"ownship_icao=123456", "ownship_icao", {0x123456}},
        {"termination_resistor=true", "termination_resistor", {1}},
        {"map_orientation=track_up", "map_orientation", {1}},
        {"emitter_category=C5", "emitter_category", {21}},
        {"min_volts_alert=11.5", "min_volts_alert", {115}},
        {"vne=0xA0", "vne", {160}},
        {R"(units={"airspeed":"mph","altitude":"feet","temperature":"celsius","pressure":"mbar"})", "units", {0x149}},
    };
    for (const Row& row : good) {
        const Setting* s = nullptr;
        uint32_t words[3] = {};
        std::string error;
        ASSERT_TRUE(parse_assignment(row.text, &s, words, &error)) << row.text << ": " << error;
        EXPECT_STREQ(s->name, row.name);
        EXPECT_EQ(std::vector<uint32_t>(words, words + s->count), row.words) << row.text;
    }
    const std::pair<const char*, const char*> bad[] = {
        {"vne", "NAME=VALUE"},
        {"speed=100", "no setting"},
        {"vne=300", "vne: 300"},
        {"vne=fast", "\"fast\""},
        {"emitter_category=D1", "D1"},
        {"units={\"airspeed\":1}", "units"},
        {"termination_resistor=yes", "true or false"},
    };
    for (const auto& [text, part] : bad) {
        const Setting* s = nullptr;
        uint32_t words[3] = {};
        std::string error;
        EXPECT_FALSE(parse_assignment(text, &s, words, &error)) << text;
        EXPECT_NE(error.find(part), std::string::npos) << text << ": " << error;
    }
}

TEST(SettingsFile, FilesOnDisk)
{
    const auto dir = std::filesystem::temp_directory_path() / ("efis-settings-file-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "backup.json").string();

    Values values;
    const uint32_t vne = 150;
    values.put(setting("vne"), &vne);
    std::string error;
    ASSERT_TRUE(write_document_file(path, Document{std::nullopt, std::nullopt, values}, &error)) << error;
    Document read;
    ASSERT_TRUE(read_document_file(path, &read, &error)) << error;
    EXPECT_EQ(read.settings.word[VNE_INDEX], 150u);
    EXPECT_FALSE(read.unit.has_value());

    // A refused file leaves the caller's document as it was.
    std::ofstream(path) << doc_with(R"({"vne": 999})");
    EXPECT_FALSE(read_document_file(path, &read, &error));
    EXPECT_EQ(read.settings.word[VNE_INDEX], 150u);

    EXPECT_FALSE(read_document_file((dir / "missing.json").string(), &read, &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
    EXPECT_FALSE(write_document_file((dir / "no" / "such" / "dir.json").string(), read, &error));
    EXPECT_NE(error.find("cannot create a temporary file in"), std::string::npos) << error;
    std::filesystem::remove_all(dir);
}

} // namespace
