// The settings themselves: their names and indices, how each is read and written, the window's
// field for each, and which belong to the aircraft's identity. One table, so that the file, the
// command line's listing and the window's cross-check cannot disagree.
#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <vector>

#include "settings_file/setting_forms.h"
#include "settings_file/settings_file.h"

namespace settings_file {

namespace {

using Kind = WindowField::Kind;

constexpr WindowField range(const char* widget, double minimum, double maximum, int decimals = 0)
{
    return {.kind = Kind::Range, .widget = widget, .minimum = minimum, .maximum = maximum, .decimals = decimals};
}

constexpr WindowField items(const char* widget, std::span<const char* const> texts, Kind kind = Kind::Items)
{
    return {.kind = kind, .widget = widget, .items = texts};
}

constexpr WindowField takes(Kind kind, const char* widget, const char* what)
{
    return {.kind = kind, .widget = widget, .takes = what};
}

// The window's fields, as its form defines them (a window test holds the two together).
constexpr const char* kAirspeed[] = {"MPH", "Knots", "KPH"};
constexpr const char* kAltitude[] = {"Feet", "Meters"};
constexpr const char* kTemperature[] = {"Fahrenheit", "Celsius"};
constexpr const char* kPressure[] = {"InHg", "Mbar"};
constexpr const char* kAddressType[] = {"Use ICAO #", "Random ICAO #"};
constexpr const char* kTermination[] = {"Enable", "Disable"};
constexpr const char* kMapView[] = {"North Up", "Track Up"};
constexpr const char* kEmitter[] = {
    "A0 : Reserved",
    "A1 : Light (< 15.5k lbs)",
    "A2 : Small (15.5k to 75k lbs)",
    "A3 : Large (75k to 300k lbs)",
    "A4 : High vortex large",
    "A5 : Heavy (> 300k lbs) ",
    "A6 : High Perf > 5g & 400 kts",
    "A7 : Rotorcraft",
    "B0 : Reserved",
    "B1 : Glider / sailplane",
    "B2 : Lighter-than-air",
    "B3 : Parachutist / skydiver",
    "B4 : Ultralight / hang-glider / paraglider",
    "B5 : Reserved",
    "B6 : Unmanned aerial vehicle",
    "B7 : Space / trans-atmospheric vehicle",
    "C0 : Reserved",
    "C1 : Surface vehicle \u2013 emergency vehicle",
    "C2 : Surface vehicle \u2013 service vehicle",
    "C3 : Point obstacle (includes tethered balloons)",
    "C4 : Cluster obstacle",
    "C5 : Line obstacle",
};

constexpr const char* kOpaque = "opaque colours";

constexpr WindowField kUnitsFields[] = {items("comboBox_airspeed", kAirspeed), items("comboBox_altitude", kAltitude),
                                        items("comboBox_temp", kTemperature), items("comboBox_pressure", kPressure)};
constexpr WindowField kVmin[] = {range("spinBox_vmin", 0, 255)};
constexpr WindowField kVs0[] = {range("spinBox_vs0", 0, 255)};
constexpr WindowField kVs1[] = {range("spinBox_vs1", 0, 255)};
constexpr WindowField kVfe[] = {range("spinBox_vfe", 0, 255)};
constexpr WindowField kVn0[] = {range("spinBox_vn0", 0, 255)};
constexpr WindowField kVne[] = {range("spinBox_vne", 0, 240)};
constexpr WindowField kVref[] = {range("spinBox_vref", 0, 255)};
constexpr WindowField kVlo[] = {range("spinBox_vlo", 0, 255)};
constexpr WindowField kMinVoltsWarning[] = {range("min_volt_warn_value", 5.0, 65.0, 1)};
constexpr WindowField kMaxVoltsWarning[] = {range("max_volt_warn_value", 5.0, 65.0, 1)};
constexpr WindowField kMinVoltsAlert[] = {range("min_volt_alert_value", 5.0, 65.0, 1)};
constexpr WindowField kMaxVoltsAlert[] = {range("max_volt_alert_value", 5.0, 65.0, 1)};
constexpr WindowField kRegistration[] = {takes(Kind::Text, "comboBox_reg_prefix", "a nationality prefix"),
                                         takes(Kind::Text, "text_registration_num", "the rest, 11 characters in all")};
constexpr WindowField kSkyUpper[] = {takes(Kind::ColourPicker, "color_picker_sky0", kOpaque)};
constexpr WindowField kSkyLower[] = {takes(Kind::ColourPicker, "color_picker_sky1", kOpaque)};
constexpr WindowField kGroundUpper[] = {takes(Kind::ColourPicker, "color_picker_ground0", kOpaque)};
constexpr WindowField kGroundLower[] = {takes(Kind::ColourPicker, "color_picker_ground1", kOpaque)};
constexpr WindowField kApproach[] = {takes(Kind::ColourPicker, "color_picker_app_indi", kOpaque)};
constexpr WindowField kAirplane[] = {takes(Kind::ColourPicker, "color_picker_airplane", kOpaque)};
constexpr WindowField kGreenArc[] = {takes(Kind::ColourPicker, "color_picker_green", kOpaque)};
constexpr WindowField kYellowArc[] = {takes(Kind::ColourPicker, "color_picker_yellow", kOpaque)};
constexpr WindowField kRedArc[] = {takes(Kind::ColourPicker, "color_picker_red", kOpaque)};
constexpr WindowField kGear[] = {takes(Kind::ColourPicker, "color_picker_gear", kOpaque)};
constexpr WindowField kBacklight[] = {range("backlight_slider", 0, 21)};
constexpr WindowField kRoll[] = {range("roll_corr_spinbox", -90.0, 90.0, 1)};
constexpr WindowField kPitch[] = {range("pitch_corr_spinbox", -90.0, 90.0, 1)};
constexpr WindowField kTextBgAlpha[] = {range("text_bg_alpha_slider", 0, 254)};
constexpr WindowField kIcao[] = {takes(Kind::Text, "text_icao", "six hexadecimal digits")};
constexpr WindowField kAddressTypeFields[] = {items("buttonGroup", kAddressType, Kind::RadioButtons)};
constexpr WindowField kEmitterFields[] = {items("comboBox_emitter_cat", kEmitter)};
constexpr WindowField kTerminationFields[] = {items("comboBox_term_res", kTermination)};
constexpr WindowField kMapFields[] = {items("comboBox_map_view", kMapView)};

struct Entry {
    Setting setting;
    Form form;
    std::span<const WindowField> window;
    bool identity = false;
};

// clang-format off
constexpr Entry kEntries[] = {
    {{"units", UNITS_VALUE_INDEX, 1}, Form::Units, kUnitsFields},
    {{"vmin", VMIN_INDEX, 1}, Form::Speed, kVmin},
    {{"vs0", VS0_INDEX, 1}, Form::Speed, kVs0},
    {{"vs1", VS1_INDEX, 1}, Form::Speed, kVs1},
    {{"vfe", VFE_INDEX, 1}, Form::Speed, kVfe},
    {{"vn0", VN0_INDEX, 1}, Form::Speed, kVn0},
    {{"vne", VNE_INDEX, 1}, Form::Speed, kVne},
    {{"vref", APPROACHSPEED_INDEX, 1}, Form::Speed, kVref},
    {{"vlo", VLO_INDEX, 1}, Form::Speed, kVlo},
    {{"min_volts_warning", MIN_VOLTS_INDEX, 1}, Form::Volts, kMinVoltsWarning},
    {{"max_volts_warning", MAX_VOLTS_INDEX, 1}, Form::Volts, kMaxVoltsWarning},
    {{"registration", REGISTRATION_1_INDEX, 3}, Form::Registration, kRegistration, true},
    {{"sky_color_upper", SKY_COLOR_0_INDEX, 1}, Form::Colour, kSkyUpper},
    {{"sky_color_lower", SKY_COLOR_1_INDEX, 1}, Form::Colour, kSkyLower},
    {{"ground_color_upper", GROUND_COLOR_0_INDEX, 1}, Form::Colour, kGroundUpper},
    {{"ground_color_lower", GROUND_COLOR_1_INDEX, 1}, Form::Colour, kGroundLower},
    {{"approach_color", APPROACH_COLOR_INDEX, 1}, Form::Colour, kApproach},
    {{"airplane_color", AIRPLANE_COLOR_INDEX, 1}, Form::Colour, kAirplane},
    {{"green_arc_color", GREEN_ARC_COLOR_INDEX, 1}, Form::Colour, kGreenArc},
    {{"yellow_arc_color", YELLOW_ARC_COLOR_INDEX, 1}, Form::Colour, kYellowArc},
    {{"red_arc_color", RED_ARC_COLOR_INDEX, 1}, Form::Colour, kRedArc},
    {{"gear_color", GEAR_INDI_COLOR_INDEX, 1}, Form::Colour, kGear},
    {{"backlight_brightness", BACKLIGHT_BRIGHTNESS_INDEX, 1}, Form::Integer, kBacklight},
    {{"roll_correction", ROLL_CORRECTION_INDEX, 1}, Form::Degrees, kRoll},
    {{"pitch_correction", PITCH_CORRECTION_INDEX, 1}, Form::Degrees, kPitch},
    {{"min_volts_alert", MIN_VOLTS_ALERT_INDEX, 1}, Form::Volts, kMinVoltsAlert},
    {{"max_volts_alert", MAX_VOLTS_ALERT_INDEX, 1}, Form::Volts, kMaxVoltsAlert},
    {{"text_bg_alpha", TEXT_BG_ALPHA_INDEX, 1}, Form::Integer, kTextBgAlpha},
    {{"use_mag_heading", USE_MAG_INDEX, 1}, Form::Integer, {}},
    {{"ownship_icao", OWNSHIP_ICAO_INDEX, 1}, Form::Icao, kIcao, true},
    {{"icao_address_type", ICAO_ADDR_TYPE_INDEX, 1}, Form::AddressType, kAddressTypeFields, true},
    {{"emitter_category", EMITTER_CAT_INDEX, 1}, Form::Emitter, kEmitterFields},
    {{"termination_resistor", TERM_RESISTOR_INDEX, 1}, Form::Termination, kTerminationFields},
    {{"map_orientation", MAP_DIR_INDEX, 1}, Form::MapOrientation, kMapFields},
};
// clang-format on

constexpr size_t kSettingCount = std::size(kEntries);

constexpr bool table_covers_every_index()
{
    uint32_t next = 0;
    for (const Entry& e : kEntries) {
        if (e.setting.first != next) {
            return false;
        }
        next += e.setting.count;
    }
    return next == SETTINGS_LAST_INDEX;
}
static_assert(kSettingCount == 34 && table_covers_every_index());

constexpr std::array<Setting, kSettingCount> kSettings = [] {
    std::array<Setting, kSettingCount> a{};
    for (size_t i = 0; i < kSettingCount; ++i) {
        a[i] = kEntries[i].setting;
    }
    return a;
}();

constexpr Measure measure_of(Form f)
{
    switch (f) {
    case Form::Speed:
        return Measure::AirspeedUnit;
    case Form::Volts:
        return Measure::Volts;
    case Form::Degrees:
        return Measure::Degrees;
    default:
        return Measure::None;
    }
}

constexpr std::array<CatalogueEntry, kSettingCount> kCatalogue = [] {
    std::array<CatalogueEntry, kSettingCount> a{};
    for (size_t i = 0; i < kSettingCount; ++i) {
        a[i] = {&kSettings[i], measure_of(kEntries[i].form), kEntries[i].window, kEntries[i].identity};
    }
    return a;
}();

size_t position_of(const Setting& s)
{
    for (size_t i = 0; i < kSettingCount; ++i) {
        if (kSettings[i].first == s.first) {
            return i;
        }
    }
    return 0; // every Setting comes from kSettings
}

char lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool same_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

// Letters inserted, deleted, replaced or two neighbours swapped, case aside.
size_t edit_distance(std::string_view a, std::string_view b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1])) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

std::string number(double v, int decimals)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string field_offers(const WindowField& f)
{
    switch (f.kind) {
    case Kind::Range:
        return number(f.minimum, f.decimals) + ".." + number(f.maximum, f.decimals);
    case Kind::Items:
    case Kind::RadioButtons: {
        // A long list is named by its ends: the listing's JSON carries every item.
        if (f.items.size() > 4) {
            return std::string(f.items.front()) + " .. " + f.items.back() + " (" + std::to_string(f.items.size()) +
                   " items)";
        }
        std::string text;
        for (const char* item : f.items) {
            text += (text.empty() ? "" : ", ") + std::string(item);
        }
        return text;
    }
    case Kind::Text:
    case Kind::ColourPicker:
        return f.takes;
    }
    return {};
}

// The value as a number, for a setting the window shows in a spin box or slider.
double numeric_value(Form form, uint32_t word)
{
    switch (form) {
    case Form::Volts:
        return word / 10.0;
    case Form::Degrees:
        return static_cast<double>(std::bit_cast<float>(word));
    default:
        return word;
    }
}

} // namespace

Form form_of(const Setting& s)
{
    return kEntries[position_of(s)].form;
}

std::span<const Setting> all_settings()
{
    return kSettings;
}

std::string index_text(const Setting& s)
{
    return s.count == 1 ? std::to_string(s.first)
                        : std::to_string(s.first) + "-" + std::to_string(s.first + s.count - 1);
}

const Setting* find_setting(std::string_view name, NameMatch match)
{
    for (const Setting& s : kSettings) {
        if (match == NameMatch::Exact ? name == s.name : same_ignoring_case(name, s.name)) {
            return &s;
        }
    }
    return nullptr;
}

std::string_view closest_name(std::string_view word, std::span<const std::string_view> candidates)
{
    std::string_view best;
    size_t best_distance = 0;
    for (std::string_view c : candidates) {
        // More letters apart than two slips can make: not worth the table, which for a key of a
        // megabyte from a file would be large.
        if (std::max(word.size(), c.size()) - std::min(word.size(), c.size()) > 2) {
            continue;
        }
        const size_t d = edit_distance(word, c);
        // Close: two slips at most, and fewer than a third of the letters, so that a short word
        // is not "corrected" into an unrelated one.
        if (d <= 2 && 3 * d <= std::max(word.size(), c.size()) && (best.empty() || d < best_distance)) {
            best = c;
            best_distance = d;
        }
    }
    return best;
}

const Setting* closest_setting(std::string_view name)
{
    std::vector<std::string_view> names;
    for (const Setting& s : kSettings) {
        names.emplace_back(s.name);
    }
    const std::string_view best = closest_name(name, names);
    return best.empty() ? nullptr : find_setting(best);
}

const char* measure_name(Measure m)
{
    switch (m) {
    case Measure::AirspeedUnit:
        return "airspeed unit";
    case Measure::Volts:
        return "volts";
    case Measure::Degrees:
        return "degrees";
    case Measure::None:
        break;
    }
    return "none";
}

std::span<const CatalogueEntry> catalogue()
{
    return kCatalogue;
}

const CatalogueEntry& catalogue_entry(const Setting& s)
{
    return kCatalogue[position_of(s)];
}

std::string window_offers(const CatalogueEntry& e)
{
    if (e.window.empty()) {
        return "no field in the window";
    }
    std::string text;
    for (const WindowField& f : e.window) {
        text += (text.empty() ? "" : "; ") + field_offers(f);
    }
    return text;
}

std::optional<std::string> window_note(const Setting& s, const uint32_t* words)
{
    const CatalogueEntry& e = catalogue_entry(s);
    if (e.window.empty()) {
        return std::string(s.name) + " has no field in the window, which leaves it as the unit holds it";
    }
    const Form form = form_of(s);
    const uint32_t w = words[0];
    const nlohmann::ordered_json shown = setting_json(s, words);
    bool beyond = false;
    std::string finer; // the step the window's field takes, when the value is finer than it
    switch (form) {
    case Form::Speed:
    case Form::Integer:
    case Form::Volts:
    case Form::Degrees: {
        const WindowField& f = e.window.front();
        const double v = numeric_value(form, w);
        beyond = !(v >= f.minimum && v <= f.maximum); // NaN too
        // Volts are tenths already; a correction may hold any float, the box shows one decimal.
        const double scale = std::pow(10.0, f.decimals);
        if (!beyond && form == Form::Degrees &&
            std::bit_cast<uint32_t>(static_cast<float>(std::round(v * scale) / scale)) != w) {
            finer = number(1.0 / scale, f.decimals);
        }
        break;
    }
    case Form::Colour:
        beyond = (w >> 24) != 0xFF;
        break;
    case Form::Icao:
        beyond = w > 0xFFFFFFu;
        break;
    case Form::Registration:
        beyond = !shown.is_string();
        break;
    case Form::Units:
    case Form::AddressType:
    case Form::Emitter:
    case Form::Termination:
    case Form::MapOrientation:
        // The window's items are exactly the friendly values; a word only the raw form shows is
        // none of them.
        beyond = shown.is_string() && shown.get_ref<const std::string&>().rfind("0x", 0) == 0;
        break;
    }
    const std::string value = std::string(s.name) + " " + shown.dump();
    if (beyond) {
        return value + " is beyond what the window offers (" + window_offers(e) + ")";
    }
    if (!finer.empty()) {
        return value + " is finer than the window offers (" + window_offers(e) + " in steps of " + finer + ")";
    }
    return std::nullopt;
}

} // namespace settings_file
