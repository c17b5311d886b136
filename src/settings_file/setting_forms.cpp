// The value forms of the 34 settings: what a file writes for a setting's words, and what it
// accepts back.
#include <algorithm>
#include <bit>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "efis_shared/get_set.h"
#include "settings_file/setting_forms.h"
#include "settings_file/settings_file.h"

namespace settings_file {

using nlohmann::json;
using nlohmann::ordered_json;

namespace {

// The largest word the field behind a setting holds.
uint32_t field_max(Form f)
{
    switch (f) {
    case Form::Speed:
        return 0xFFu;
    case Form::Volts:
        return 0xFFFFu;
    default:
        return 0xFFFFFFFFu;
    }
}

// Airspeed, altitude, temperature and pressure: the unit bits of each group, in bit order.
struct UnitGroup {
    const char* key;
    unsigned first_bit;
    const char* choices[3];
    unsigned count;
};
constexpr UnitGroup kUnitGroups[] = {
    {"airspeed", 0, {"mph", "knots", "kph"}, 3},
    {"altitude", 3, {"feet", "meters"}, 2},
    {"temperature", 5, {"fahrenheit", "celsius"}, 2},
    {"pressure", 7, {"inhg", "mbar"}, 2},
};
constexpr uint32_t kUnitBits = 0x1FFu;

constexpr const char* kAddressTypes[] = {"icao", "random"};
constexpr const char* kMapOrientations[] = {"north_up", "track_up"};

const char* kEmitterLetters = "ABC";
constexpr unsigned kEmitterCount = 22; // A0-A7, B0-B7, C0-C5

std::string emitter_label(uint32_t position)
{
    return std::string(1, kEmitterLetters[position / 8]) + std::to_string(position % 8);
}

// Printable Latin-1: what a registration may hold and still be written as text.
bool printable_latin1(uint32_t c)
{
    return (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF);
}

// The registration as text when it is one: printable characters, then zeros to the end, with at
// least the last byte zero (the form stores at most 11 characters).
std::optional<std::string> registration_text(const uint8_t* bytes)
{
    size_t length = 0;
    while (length < kRegistrationBytes && bytes[length] != 0) {
        if (!printable_latin1(bytes[length])) {
            return std::nullopt;
        }
        ++length;
    }
    if (length == kRegistrationBytes) {
        return std::nullopt;
    }
    for (size_t i = length; i < kRegistrationBytes; ++i) {
        if (bytes[i] != 0) {
            return std::nullopt;
        }
    }
    std::string utf8;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = bytes[i];
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

// Code points of a UTF-8 text; nullopt for a malformed one.
std::optional<std::vector<uint32_t>> code_points(std::string_view s)
{
    std::vector<uint32_t> out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        unsigned extra = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + extra >= s.size() && extra != 0) {
            return std::nullopt;
        }
        for (unsigned k = 1; k <= extra; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return std::nullopt;
            }
            cp = cp << 6 | (cc & 0x3F);
        }
        static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return std::nullopt;
        }
        out.push_back(cp);
        i += extra + 1;
    }
    return out;
}

std::string hex_digits(uint32_t v, int width)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", width, v);
    return buf;
}

// Colours are written as the window names them: lower-case digits.
std::string lower(std::string s)
{
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

bool all_hex(std::string_view s)
{
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return !s.empty();
}

uint32_t from_hex(std::string_view s)
{
    uint32_t v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v, 16);
    return v;
}

// The shortest decimal that reads back to the same single-precision bit pattern, as a JSON number.
ordered_json degrees_json(float f)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, f);
    double d = std::strtod(std::string(buf, r.ptr).c_str(), nullptr);
    // A decimal on the edge of the float's interval could round differently through a double; the
    // float's exact value always reads back.
    if (std::bit_cast<uint32_t>(static_cast<float>(d)) != std::bit_cast<uint32_t>(f)) {
        d = static_cast<double>(f);
    }
    return ordered_json(d);
}

// A refusal: "<path>: <reason>".
bool refuse(std::string* error, std::string_view path, const std::string& reason)
{
    if (error != nullptr) {
        *error = std::string(path) + ": " + reason;
    }
    return false;
}

std::string shown(const json& v)
{
    try {
        return v.dump();
    } catch (const json::exception&) {
        return "(a text that is not UTF-8)";
    }
}

std::string expected(const char* what, const json& found)
{
    return std::string("expected ") + what + ", found " + shown(found);
}

// A raw word "0x" + 1..8 hexadecimal digits that the field can hold.
bool parse_raw(const json& v, uint32_t max, uint32_t* word, std::string_view path, std::string* error)
{
    const std::string& s = v.get_ref<const std::string&>();
    if (s.size() < 3 || s.size() > 10 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X') ||
        !all_hex(std::string_view(s).substr(2))) {
        return refuse(error, path, shown(v) + " is not a raw word (0x and one to eight hexadecimal digits)");
    }
    const uint32_t w = from_hex(std::string_view(s).substr(2));
    if (w > max) {
        return refuse(error, path, shown(v) + " is more than the field holds (" + hex32(max) + " at most)");
    }
    *word = w;
    return true;
}

bool is_raw_text(const json& v)
{
    if (!v.is_string()) {
        return false;
    }
    const std::string& s = v.get_ref<const std::string&>();
    return s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
}

// An integer within [0, max].
bool parse_integer(const json& v, uint64_t max, uint64_t* out, const char* what, std::string_view path,
                   std::string* error)
{
    if (v.is_number_unsigned()) {
        const uint64_t n = v.get<uint64_t>();
        if (n > max) {
            return refuse(error, path, shown(v) + " is outside 0.." + std::to_string(max));
        }
        *out = n;
        return true;
    }
    if (v.is_number_integer()) {
        return refuse(error, path, shown(v) + " is outside 0.." + std::to_string(max));
    }
    return refuse(error, path, expected(what, v));
}

// A string that must be one of `choices`; its position.
bool parse_choice(const json& v, const char* const* choices, unsigned count, uint32_t* out, const char* what,
                  std::string_view path, std::string* error)
{
    if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        for (unsigned i = 0; i < count; ++i) {
            if (s == choices[i]) {
                *out = i;
                return true;
            }
        }
    }
    std::string list;
    for (unsigned i = 0; i < count; ++i) {
        list += (i == 0 ? "" : ", ") + std::string("\"") + choices[i] + "\"";
    }
    if (v.is_string()) {
        return refuse(error, path, shown(v) + " is not " + what + " (" + list + ")");
    }
    return refuse(error, path, expected((std::string(what) + ": " + list).c_str(), v));
}

bool parse_units(const json& v, uint32_t* word, std::string_view path, std::string* error)
{
    if (!v.is_object()) {
        return refuse(error, path,
                      expected("an object with airspeed, altitude, temperature and pressure, or a raw word", v));
    }
    for (const auto& [key, value] : v.items()) {
        bool known = false;
        for (const UnitGroup& g : kUnitGroups) {
            known = known || key == g.key;
        }
        if (!known) {
            return refuse(error, path, "unknown key \"" + key + "\" (airspeed, altitude, temperature, pressure)");
        }
    }
    uint32_t choices[4] = {};
    unsigned group = 0;
    for (const UnitGroup& g : kUnitGroups) {
        const auto it = v.find(g.key);
        if (it == v.end()) {
            return refuse(error, path, std::string("missing \"") + g.key + "\"");
        }
        uint32_t choice = 0;
        const std::string what = std::string("a unit of ") + g.key;
        if (!parse_choice(*it, g.choices, g.count, &choice, what.c_str(), std::string(path) + "." + g.key, error)) {
            return false;
        }
        choices[group++] = choice;
    }
    *word = units_with(0, choices[0], choices[1], choices[2], choices[3]);
    return true;
}

bool parse_registration(const json& v, uint32_t* words, std::string_view path, std::string* error)
{
    uint8_t bytes[kRegistrationBytes] = {};
    if (v.is_null()) {
        std::fill(std::begin(bytes), std::end(bytes), 0xFF);
        registration_words(bytes, words);
        return true;
    }
    if (v.is_array()) {
        if (v.size() != 3) {
            return refuse(error, path, "a raw registration is an array of three words, found " + shown(v));
        }
        for (unsigned k = 0; k < 3; ++k) {
            const std::string item_path = std::string(path) + "[" + std::to_string(k) + "]";
            if (!v[k].is_string()) {
                return refuse(error, item_path, expected("a raw word such as \"0x4E313233\"", v[k]));
            }
            if (!parse_raw(v[k], 0xFFFFFFFFu, &words[k], item_path, error)) {
                return false;
            }
        }
        return true;
    }
    if (!v.is_string()) {
        return refuse(error, path, expected("the registration text, null, or an array of three raw words", v));
    }
    const auto cps = code_points(v.get_ref<const std::string&>());
    if (!cps) {
        return refuse(error, path, "the registration is not valid UTF-8 text");
    }
    if (cps->size() > kRegistrationBytes - 1) {
        return refuse(error, path,
                      shown(v) + " is longer than the " + std::to_string(kRegistrationBytes - 1) +
                          " characters a registration holds");
    }
    for (size_t i = 0; i < cps->size(); ++i) {
        const uint32_t c = (*cps)[i];
        if (!printable_latin1(c)) {
            return refuse(error, path,
                          shown(v) + " holds a character the unit cannot store (U+" + hex_digits(c, 4) + ")");
        }
        bytes[i] = static_cast<uint8_t>(c);
    }
    registration_words(bytes, words);
    return true;
}

bool parse_colour(const json& v, uint32_t* word, std::string_view path, std::string* error)
{
    if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        const std::string_view digits = std::string_view(s).substr(s.empty() ? 0 : 1);
        if (!s.empty() && s[0] == '#' && (digits.size() == 6 || digits.size() == 8) && all_hex(digits)) {
            const uint32_t w = from_hex(digits);
            *word = digits.size() == 6 ? (0xFF000000u | w) : w;
            return true;
        }
        return refuse(error, path, shown(v) + " is not a colour (#rrggbb, or #aarrggbb with alpha)");
    }
    return refuse(error, path, expected("a colour \"#rrggbb\" or \"#aarrggbb\"", v));
}

bool parse_volts(const json& v, uint32_t* word, std::string_view path, std::string* error)
{
    if (!v.is_number()) {
        return refuse(error, path, expected("volts with at most one decimal, such as 12.5", v));
    }
    const double volts = v.get<double>();
    const double tenths = std::round(volts * 10.0);
    if (!(volts >= 0.0 && tenths <= 65535.0)) {
        return refuse(error, path, shown(v) + " is outside 0.0..6553.5 volts");
    }
    if (std::fabs(volts * 10.0 - tenths) > 1e-6) {
        return refuse(error, path, shown(v) + " has more than one decimal (the unit keeps tenths of a volt)");
    }
    *word = static_cast<uint32_t>(tenths);
    return true;
}

bool parse_degrees(const json& v, uint32_t* word, std::string_view path, std::string* error)
{
    if (!v.is_number()) {
        return refuse(error, path, expected("degrees, such as -1.5", v));
    }
    const double d = v.get<double>();
    // Checked before the conversion, since narrowing a value beyond the float range is undefined:
    // below FLT_MAX plus half its last place a value still rounds to a finite float.
    constexpr double kRoundsToFinite = 0x1.ffffffp+127;
    if (!(std::fabs(d) < kRoundsToFinite)) {
        return refuse(error, path, shown(v) + " is outside the range of a single-precision number");
    }
    *word = degrees_bits(d);
    return true;
}

bool parse_icao(const json& v, uint32_t* word, std::string_view path, std::string* error)
{
    if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        if (s.size() == 6 && all_hex(s)) {
            *word = from_hex(s);
            return true;
        }
        return refuse(error, path, shown(v) + " is not an ICAO address (six hexadecimal digits)");
    }
    return refuse(error, path, expected("six hexadecimal digits, such as \"A1B2C3\"", v));
}

bool parse_emitter(const json& v, uint32_t* word, std::string_view path, std::string* error)
{
    if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        for (uint32_t p = 0; p < kEmitterCount; ++p) {
            if (s == emitter_label(p)) {
                *word = p;
                return true;
            }
        }
        return refuse(error, path, shown(v) + " is not an emitter category (A0..A7, B0..B7, C0..C5)");
    }
    return refuse(error, path, expected("an emitter category \"A0\"..\"C5\"", v));
}

} // namespace

std::string hex32(uint32_t word)
{
    return "0x" + hex_digits(word, 8);
}

ordered_json setting_json(const Setting& s, const uint32_t* words)
{
    const uint32_t w = words[0];
    switch (form_of(s)) {
    case Form::Units: {
        bool exact = (w & ~kUnitBits) == 0;
        ordered_json o = ordered_json::object();
        for (const UnitGroup& g : kUnitGroups) {
            const uint32_t bits = (w >> g.first_bit) & ((1u << g.count) - 1);
            exact = exact && std::popcount(bits) == 1;
            if (exact) {
                o[g.key] = g.choices[std::countr_zero(bits)];
            }
        }
        return exact ? o : ordered_json(hex32(w));
    }
    case Form::Speed:
    case Form::Integer:
        return w <= field_max(form_of(s)) ? ordered_json(w) : ordered_json(hex32(w));
    case Form::Volts:
        return w <= 0xFFFFu ? ordered_json(w / 10.0) : ordered_json(hex32(w));
    case Form::Registration: {
        uint8_t bytes[kRegistrationBytes];
        registration_bytes(words, bytes);
        if (std::all_of(std::begin(bytes), std::end(bytes), [](uint8_t b) { return b == 0xFF; })) {
            return nullptr;
        }
        if (const auto text = registration_text(bytes)) {
            return *text;
        }
        return ordered_json::array({hex32(words[0]), hex32(words[1]), hex32(words[2])});
    }
    case Form::Colour:
        return (w >> 24) == 0xFF ? colour_rgb_text(w) : "#" + lower(hex_digits(w, 8));
    case Form::Degrees: {
        const float f = std::bit_cast<float>(w);
        return std::isfinite(f) ? degrees_json(f) : ordered_json(hex32(w));
    }
    case Form::Icao:
        return w <= 0xFFFFFFu ? ordered_json(icao_text(w)) : ordered_json(hex32(w));
    case Form::AddressType:
        return w <= 1 ? ordered_json(w == 0 ? "icao" : "random") : ordered_json(hex32(w));
    case Form::Emitter:
        return w < kEmitterCount ? ordered_json(emitter_label(w)) : ordered_json(hex32(w));
    case Form::Termination:
        return w <= 1 ? ordered_json(w == 1) : ordered_json(hex32(w));
    case Form::MapOrientation:
        return w <= 1 ? ordered_json(w == 0 ? "north_up" : "track_up") : ordered_json(hex32(w));
    }
    return hex32(w);
}

std::vector<std::string> setting_forms(const Setting& s)
{
    const auto quoted = [](const char* const* choices, size_t n) {
        std::vector<std::string> out;
        for (size_t i = 0; i < n; ++i) {
            out.push_back('"' + std::string(choices[i]) + '"');
        }
        return out;
    };
    std::vector<std::string> forms;
    switch (form_of(s)) {
    case Form::Units: {
        std::string o;
        for (const UnitGroup& g : kUnitGroups) {
            o += (o.empty() ? "{" : ", ") + std::string("\"") + g.key + "\": ";
            for (unsigned i = 0; i < g.count; ++i) {
                o += (i == 0 ? "" : "|") + std::string("\"") + g.choices[i] + "\"";
            }
        }
        forms.push_back(o + "}");
        break;
    }
    case Form::Speed:
        forms.push_back("integer 0..255");
        break;
    case Form::Volts:
        forms.push_back("volts with one decimal, 0.0..6553.5");
        break;
    case Form::Registration:
        forms = {"text of at most " + std::to_string(kRegistrationBytes - 1) + " Latin-1 characters",
                 "\"\" (no registration)", "null (erased)"};
        forms.push_back("[\"0x%08X\", \"0x%08X\", \"0x%08X\"] (the raw words)");
        return forms;
    case Form::Colour:
        forms = {"\"#rrggbb\" (opaque)", "\"#aarrggbb\""};
        break;
    case Form::Integer:
        forms.push_back("integer 0..4294967295");
        break;
    case Form::Degrees:
        forms.push_back("degrees, a number such as -1.5");
        break;
    case Form::Icao:
        forms.push_back("six hexadecimal digits, such as \"A1B2C3\"");
        break;
    case Form::AddressType:
        forms = quoted(kAddressTypes, 2);
        break;
    case Form::Emitter:
        forms.push_back("\"A0\"..\"A7\", \"B0\"..\"B7\", \"C0\"..\"C5\"");
        break;
    case Form::Termination:
        forms = {"true", "false"};
        break;
    case Form::MapOrientation:
        forms = quoted(kMapOrientations, 2);
        break;
    }
    forms.push_back("\"0x%08X\" (the raw word)");
    return forms;
}

std::string setting_text(const Setting& s, const uint32_t* words)
{
    return setting_json(s, words).dump();
}

bool parse_setting_at(const Setting& s, const json& v, uint32_t* words, std::string_view path, std::string* error)
{
    const Form form = form_of(s);
    if (s.count == 1 && is_raw_text(v)) {
        return parse_raw(v, field_max(form), words, path, error);
    }
    uint64_t n = 0;
    switch (form) {
    case Form::Units:
        return parse_units(v, words, path, error);
    case Form::Speed:
        if (!parse_integer(v, 0xFF, &n, "a speed 0..255", path, error)) {
            return false;
        }
        words[0] = static_cast<uint32_t>(n);
        return true;
    case Form::Integer:
        if (!parse_integer(v, 0xFFFFFFFFu, &n, "an integer", path, error)) {
            return false;
        }
        words[0] = static_cast<uint32_t>(n);
        return true;
    case Form::Volts:
        return parse_volts(v, words, path, error);
    case Form::Registration:
        return parse_registration(v, words, path, error);
    case Form::Colour:
        return parse_colour(v, words, path, error);
    case Form::Degrees:
        return parse_degrees(v, words, path, error);
    case Form::Icao:
        return parse_icao(v, words, path, error);
    case Form::AddressType:
        return parse_choice(v, kAddressTypes, 2, words, "an address type", path, error);
    case Form::Emitter:
        return parse_emitter(v, words, path, error);
    case Form::Termination:
        if (!v.is_boolean()) {
            return refuse(error, path, expected("true or false", v));
        }
        words[0] = v.get<bool>() ? 1 : 0;
        return true;
    case Form::MapOrientation:
        return parse_choice(v, kMapOrientations, 2, words, "a map orientation", path, error);
    }
    return refuse(error, path, "no form for this setting");
}

bool parse_setting(const Setting& s, const json& value, uint32_t* words, std::string* error)
{
    return parse_setting_at(s, value, words, s.name, error);
}

bool parse_assignment(std::string_view text, const Setting** setting, uint32_t* words, std::string* error)
{
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        return refuse(error, text, "expected NAME=VALUE");
    }
    const std::string_view name = text.substr(0, eq);
    const std::string_view value = text.substr(eq + 1);
    const Setting* s = find_setting(name, NameMatch::AnyCase);
    if (s == nullptr) {
        if (error != nullptr) {
            const Setting* close = closest_setting(name);
            *error = "no setting '" + std::string(name) + "'" +
                     (close != nullptr ? "; did you mean '" + std::string(close->name) + "'?" : std::string());
        }
        return false;
    }
    // The value as JSON first (160, true, null, "quoted", {...}); a bare word or #rrggbb is taken
    // as the text it is, so that it needs no quotes on a command line.
    if (json_shape(value).too_deep) {
        return refuse(error, name, "the value is nested deeper than " + std::to_string(kMaxNesting) + " levels");
    }
    const json parsed = json::parse(value, nullptr, false);
    uint32_t tmp[3] = {};
    if (!parsed.is_discarded()) {
        std::string json_error;
        if (parse_setting(*s, parsed, tmp, &json_error)) {
            std::copy(tmp, tmp + s->count, words);
            *setting = s;
            return true;
        }
        const bool quoted = !value.empty() && value.front() == '"';
        if (quoted || parsed.is_object() || parsed.is_array() || parsed.is_null() ||
            !parse_setting(*s, json(std::string(value)), tmp, nullptr)) {
            if (error != nullptr) {
                *error = json_error;
            }
            return false;
        }
    } else if (!parse_setting(*s, json(std::string(value)), tmp, error)) {
        return false;
    }
    std::copy(tmp, tmp + s->count, words);
    *setting = s;
    return true;
}

} // namespace settings_file
