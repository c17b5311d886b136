// The settings document as a whole: its header blocks, reading with every refusal named, writing,
// and the files behind it.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <set>

#include "efis_shared/get_set.h"
#include "settings_file/setting_forms.h"
#include "settings_file/settings_file.h"

namespace settings_file {

using nlohmann::json;
using nlohmann::ordered_json;

namespace {

bool refuse(std::string* error, const std::string& text)
{
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

std::string at(std::string_view path, std::string_view key)
{
    return path.empty() ? std::string(key) : std::string(path) + "." + std::string(key);
}

// Keys of an object that are not among `known`: the first one, named with its path.
bool only_known_keys(const json& object, std::initializer_list<const char*> known, std::string_view path,
                     std::string* error)
{
    for (const auto& [key, value] : object.items()) {
        bool found = false;
        for (const char* k : known) {
            found = found || key == k;
        }
        if (!found) {
            std::string list;
            for (const char* k : known) {
                list += (list.empty() ? "" : ", ") + std::string(k);
            }
            return refuse(error, (path.empty() ? std::string() : std::string(path) + ": ") + "unknown key \"" + key +
                                     "\" (known: " + list + ")");
        }
    }
    return true;
}

bool read_word(const json& v, std::string_view path, uint32_t* out, std::string* error)
{
    if (v.is_number_unsigned() && v.get<uint64_t>() <= 0xFFFFFFFFu) {
        *out = static_cast<uint32_t>(v.get<uint64_t>());
        return true;
    }
    return refuse(error, std::string(path) + ": expected an integer 0..4294967295, found " + v.dump());
}

bool read_hex_word(const json& v, std::string_view path, uint32_t* out, std::string* error)
{
    // Same syntax as a raw setting word.
    static const Setting kAnyWord{"", USE_MAG_INDEX, 1};
    if (!v.is_string() || v.get_ref<const std::string&>().rfind("0x", 0) != 0) {
        return refuse(error, std::string(path) + ": expected a word such as \"0x12345678\", found " + v.dump());
    }
    return parse_setting_at(kAnyWord, v, out, path, error);
}

// "major.minor.patch": three numbers of one to three decimal digits, each at most 255, with a dot
// between them and nothing else (no blank, no sign).
bool parse_version(std::string_view s, fwversion_t* out)
{
    uint8_t parts[3] = {};
    size_t at = 0;
    for (int k = 0; k < 3; ++k) {
        if (k > 0) {
            if (at == s.size() || s[at] != '.') {
                return false;
            }
            ++at;
        }
        const size_t digits = s.find_first_not_of("0123456789", at);
        const size_t end = digits == std::string_view::npos ? s.size() : digits;
        unsigned value = 0;
        if (end == at || end - at > 3 || std::from_chars(s.data() + at, s.data() + end, value).ptr != s.data() + end ||
            value > 255) {
            return false;
        }
        parts[k] = static_cast<uint8_t>(value);
        at = end;
    }
    if (at != s.size()) {
        return false;
    }
    fwversion_t fw{};
    fw.major = parts[0];
    fw.minor = parts[1];
    fw.patch = parts[2];
    *out = fw;
    return true;
}

bool read_version(const json& v, std::string_view path, fwversion_t* out, std::string* error)
{
    if (v.is_string() && parse_version(v.get_ref<const std::string&>(), out)) {
        return true;
    }
    return refuse(error, std::string(path) + ": expected a firmware version such as \"0.2.12\", found " + v.dump());
}

bool read_unit(const json& v, UnitInfo* unit, std::string* error)
{
    if (!v.is_object()) {
        return refuse(error, "unit: expected an object, found " + v.dump());
    }
    if (!only_known_keys(v, {"serial", "firmware", "rc"}, "unit", error)) {
        return false;
    }
    if (const auto it = v.find("serial"); it != v.end()) {
        uint32_t serial = 0;
        if (!read_hex_word(*it, "unit.serial", &serial, error)) {
            return false;
        }
        unit->serial = serial;
    }
    // null: the unit reported no version (it answers only the legacy identity request).
    if (const auto it = v.find("firmware"); it != v.end() && !it->is_null()) {
        fwversion_t fw{};
        if (!read_version(*it, "unit.firmware", &fw, error)) {
            return false;
        }
        unit->firmware = fw;
    }
    if (const auto it = v.find("rc"); it != v.end() && !it->is_null()) {
        if (!it->is_number_unsigned() || it->get<uint64_t>() > 255) {
            return refuse(error, "unit.rc: expected an integer 0..255, found " + it->dump());
        }
        unit->rc = static_cast<uint8_t>(it->get<uint64_t>());
    }
    return true;
}

bool read_record(const json& v, RecordInfo* record, std::string* error)
{
    if (!v.is_object()) {
        return refuse(error, "record: expected an object, found " + v.dump());
    }
    if (!only_known_keys(v, {"version", "num_elements", "checksum"}, "record", error)) {
        return false;
    }
    uint32_t word = 0;
    if (const auto it = v.find("version"); it != v.end()) {
        if (!read_word(*it, "record.version", &word, error)) {
            return false;
        }
        record->version = word;
    }
    if (const auto it = v.find("num_elements"); it != v.end()) {
        if (!read_word(*it, "record.num_elements", &word, error)) {
            return false;
        }
        record->num_elements = word;
    }
    if (const auto it = v.find("checksum"); it != v.end()) {
        if (!read_hex_word(*it, "record.checksum", &word, error)) {
            return false;
        }
        record->checksum = word;
    }
    return true;
}

// A backup's calibration words: decimal indices of the record's fields, raw words.
bool read_calibration(const json& v, Calibration* calibration, std::string* error)
{
    if (!v.is_object()) {
        return refuse(error, "calibration: expected an object, found " + v.dump());
    }
    for (const auto& [key, value] : v.items()) {
        uint32_t index = 0;
        const auto r = std::from_chars(key.data(), key.data() + key.size(), index, 10);
        if (key.empty() || r.ec != std::errc() || r.ptr != key.data() + key.size() || !calib_index_has_field(index)) {
            return refuse(error, "calibration: \"" + key + "\" is not an index of the calibration record");
        }
        uint32_t word = 0;
        if (!read_hex_word(value, at("calibration", key), &word, error)) {
            return false;
        }
        (*calibration)[index] = word;
    }
    return true;
}

bool read_settings(const json& v, Values* values, std::string* error)
{
    if (!v.is_object()) {
        return refuse(error, "settings: expected an object, found " + v.dump());
    }
    for (const auto& [key, value] : v.items()) {
        const Setting* s = find_setting(key);
        if (s == nullptr) {
            // Keys match exactly, whatever their case: a file is a contract, and one that a
            // program other than this one may read.
            const Setting* close = closest_setting(key);
            return refuse(error, "settings: unknown key \"" + key + "\" (no setting has this name" +
                                     (close != nullptr ? "; did you mean \"" + std::string(close->name) + "\"?" : "") +
                                     ")");
        }
        uint32_t words[3] = {};
        if (!parse_setting_at(*s, value, words, at("settings", key), error)) {
            return false;
        }
        values->put(*s, words);
    }
    return true;
}

// Events of a first pass over the text; see json_shape().
class ShapeCheck : public json::json_sax_t {
public:
    explicit ShapeCheck(JsonShape* shape) : shape_(shape) {}

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override
    {
        levels_.emplace_back();
        return deeper();
    }
    bool key(string_t& name) override
    {
        Level& level = levels_.back();
        level.last_key = name;
        if (!level.keys.insert(name).second && shape_->repeated.empty()) {
            const std::string path = path_to_top();
            shape_->repeated = (path.empty() ? std::string() : path + ": ") + "the key \"" + name + "\" appears twice";
        }
        return true;
    }
    bool end_object() override
    {
        levels_.pop_back();
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override { return deeper(); }
    bool end_array() override
    {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const json::exception& e) override
    {
        shape_->malformed = e.what();
        return false;
    }

private:
    struct Level {
        std::set<std::string> keys;
        std::string last_key;
    };
    // Past the limit the pass stops at once: the text is refused whatever follows.
    bool deeper()
    {
        shape_->too_deep = ++depth_ > kMaxNesting;
        return !shape_->too_deep;
    }
    // The keys that lead to the innermost object, joined only when a message needs them.
    std::string path_to_top() const
    {
        std::string path;
        for (size_t i = 0; i + 1 < levels_.size(); ++i) {
            path = at(path, levels_[i].last_key);
        }
        return path;
    }

    JsonShape* shape_;
    std::vector<Level> levels_;
    int depth_ = 0;
};

} // namespace

JsonShape json_shape(std::string_view text)
{
    JsonShape shape;
    ShapeCheck check(&shape);
    json::sax_parse(text.begin(), text.end(), &check);
    return shape;
}

void Values::put(const Setting& s, const uint32_t* words)
{
    for (unsigned k = 0; k < s.count; ++k) {
        word[s.first + k] = words[k];
        present[s.first + k] = true;
    }
}

size_t Values::count() const
{
    size_t n = 0;
    for (const Setting& s : all_settings()) {
        n += names(s) ? 1 : 0;
    }
    return n;
}

Values values_of(const Settings_t& record)
{
    Values v;
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        v.word[i] = settings_get_value(&record, static_cast<settings_struct_index>(i));
        v.present[i] = true;
    }
    return v;
}

Document backup_document(const Settings_t& record, std::optional<UnitInfo> unit, std::optional<RecordInfo> record_info)
{
    return Document{std::move(unit), std::move(record_info), values_of(record)};
}

namespace {

ordered_json unit_json(const UnitInfo& unit)
{
    ordered_json u = ordered_json::object();
    if (unit.serial) {
        u["serial"] = hex32(*unit.serial);
    }
    // A unit that reported no version says so, rather than leaving the reader to guess.
    if (unit.firmware) {
        const fwversion_t fw = *unit.firmware;
        u["firmware"] = std::to_string(fw.major) + "." + std::to_string(fw.minor) + "." + std::to_string(fw.patch);
    } else {
        u["firmware"] = nullptr;
    }
    if (unit.rc) {
        u["rc"] = *unit.rc;
    }
    return u;
}

ordered_json calibration_json(const Calibration& calibration)
{
    ordered_json c = ordered_json::object();
    for (const auto& [index, word] : calibration) {
        c[std::to_string(index)] = hex32(word);
    }
    return c;
}

std::string dump(const ordered_json& j)
{
    // Every text in the document was made here as UTF-8, so the dump cannot meet a bad byte; the
    // replacement handler keeps that a promise rather than an exception.
    return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace

std::string write_document(const Document& doc)
{
    ordered_json j;
    j["format"] = kFormat;
    j["format_version"] = kFormatVersion;
    if (doc.unit) {
        j["unit"] = unit_json(*doc.unit);
    }
    if (doc.record) {
        ordered_json r = ordered_json::object();
        if (doc.record->version) {
            r["version"] = *doc.record->version;
        }
        if (doc.record->num_elements) {
            r["num_elements"] = *doc.record->num_elements;
        }
        if (doc.record->checksum) {
            r["checksum"] = hex32(*doc.record->checksum);
        }
        j["record"] = r;
    }
    ordered_json settings = ordered_json::object();
    for (const Setting& s : all_settings()) {
        if (doc.settings.names(s)) {
            settings[s.name] = setting_json(s, &doc.settings.word[s.first]);
        }
    }
    j["settings"] = settings;
    if (doc.calibration) {
        j["calibration"] = calibration_json(*doc.calibration);
    }
    return dump(j);
}

std::string write_calibration_document(const CalibrationDocument& doc)
{
    ordered_json j;
    j["format"] = kCalibrationFormat;
    j["format_version"] = kFormatVersion;
    if (doc.unit) {
        j["unit"] = unit_json(*doc.unit);
    }
    j["calibration"] = calibration_json(doc.calibration);
    return dump(j);
}

namespace {

// What every document passes before its blocks are read: its size, well-formed JSON no deeper than
// kMaxNesting without a repeated key, an object, a "format" among `formats` (*format tells which),
// and the format version this program reads.
bool read_envelope(std::string_view text, std::initializer_list<const char*> formats, const char* what, json* out,
                   const char** format_out, std::string* error)
{
    if (text.size() > kMaxFileBytes) {
        return refuse(error, "larger than " + std::to_string(kMaxFileBytes / 1024) + " KiB: this is not a " + what);
    }
    // A first pass finds what the values cannot show (a repeated key) and what must not be made
    // into values at all (nesting past kMaxNesting). It takes time in proportion to the text,
    // which the parser's own per-event callback does not for an object of many objects.
    const JsonShape shape = json_shape(text);
    if (!shape.malformed.empty()) {
        // The library's messages start with its own exception tag; the rest says where and why.
        std::string why = shape.malformed;
        if (const size_t tag_end = why.find("] ");
            why.rfind("[json.exception", 0) == 0 && tag_end != std::string::npos) {
            why.erase(0, tag_end + 2);
        }
        return refuse(error, "malformed JSON: " + why);
    }
    if (shape.too_deep) {
        return refuse(error, "nested deeper than " + std::to_string(kMaxNesting) + " levels: this is not a " + what);
    }
    if (!shape.repeated.empty()) {
        return refuse(error, shape.repeated);
    }
    json j = json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) {
        return refuse(error, "malformed JSON");
    }
    std::string expected;
    for (const char* f : formats) {
        expected += (expected.empty() ? "\"" : " or \"") + std::string(f) + "\"";
    }
    if (!j.is_object()) {
        return refuse(error, "expected a JSON object with \"format\": " + expected);
    }
    const auto format = j.find("format");
    if (format == j.end()) {
        return refuse(error, std::string("missing \"format\": this is not an efis-config ") + what);
    }
    *format_out = nullptr;
    for (const char* f : formats) {
        if (format->is_string() && format->get_ref<const std::string&>() == f) {
            *format_out = f;
        }
    }
    if (*format_out == nullptr) {
        return refuse(error, "format: expected " + expected + ", found " + format->dump());
    }
    const auto version = j.find("format_version");
    if (version == j.end()) {
        return refuse(error, "missing \"format_version\"");
    }
    if (!version->is_number_integer() || version->get<int64_t>() != kFormatVersion) {
        return refuse(error, "format_version: this program reads version " + std::to_string(kFormatVersion) +
                                 ", found " + version->dump());
    }
    *out = std::move(j);
    return true;
}

// The blocks of a settings document, its envelope read.
bool read_settings_document(const json& j, Document* out, std::string* error)
{
    // "change" is a history entry's account of the commit it was taken before: not a setting.
    if (!only_known_keys(j, {"format", "format_version", "unit", "record", "settings", "calibration", "change"}, "",
                         error)) {
        return false;
    }
    Document doc;
    if (const auto it = j.find("unit"); it != j.end()) {
        doc.unit.emplace();
        if (!read_unit(*it, &*doc.unit, error)) {
            return false;
        }
    }
    if (const auto it = j.find("record"); it != j.end()) {
        doc.record.emplace();
        if (!read_record(*it, &*doc.record, error)) {
            return false;
        }
    }
    const auto settings = j.find("settings");
    if (settings == j.end()) {
        return refuse(error, "missing \"settings\"");
    }
    if (!read_settings(*settings, &doc.settings, error)) {
        return false;
    }
    if (const auto it = j.find("calibration"); it != j.end()) {
        doc.calibration.emplace();
        if (!read_calibration(*it, &*doc.calibration, error)) {
            return false;
        }
    }
    *out = std::move(doc);
    return true;
}

} // namespace

bool read_document(std::string_view text, Document* out, std::string* error)
{
    json j;
    const char* format = nullptr;
    return read_envelope(text, {kFormat}, "settings file", &j, &format, error) && read_settings_document(j, out, error);
}

bool read_calibration_document(std::string_view text, CalibrationDocument* out, std::string* error)
{
    json j;
    const char* format = nullptr;
    if (!read_envelope(text, {kCalibrationFormat, kFormat}, "calibration or settings file", &j, &format, error)) {
        return false;
    }
    CalibrationDocument doc;
    if (std::string_view(format) == kFormat) {
        // A settings file, such as a firmware update's backup, is read whole, as any settings
        // file is: one that is refused there is not taken here either.
        Document settings;
        if (!read_settings_document(j, &settings, error)) {
            return false;
        }
        if (!settings.calibration) {
            return refuse(error, "a settings file without a calibration block: it holds no calibration");
        }
        doc.unit = settings.unit;
        doc.calibration = std::move(*settings.calibration);
    } else {
        if (!only_known_keys(j, {"format", "format_version", "unit", "calibration"}, "", error)) {
            return false;
        }
        if (const auto it = j.find("unit"); it != j.end()) {
            doc.unit.emplace();
            if (!read_unit(*it, &*doc.unit, error)) {
                return false;
            }
        }
        const auto it = j.find("calibration");
        if (it == j.end()) {
            return refuse(error, "missing \"calibration\"");
        }
        if (!read_calibration(*it, &doc.calibration, error)) {
            return false;
        }
    }
    *out = std::move(doc);
    return true;
}

bool read_settings_text(const std::string& path, std::string* out, std::string* error)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return refuse(error, std::string("cannot open: ") + std::strerror(errno));
    }
    std::string text;
    char buf[8192];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() <= kMaxFileBytes) {
        text.append(buf, n);
    }
    const bool failed = std::ferror(f) != 0;
    const int saved_errno = errno;
    std::fclose(f);
    if (failed) {
        return refuse(error, std::string("cannot read: ") + std::strerror(saved_errno));
    }
    *out = std::move(text);
    return true;
}

bool read_document_file(const std::string& path, Document* out, std::string* error)
{
    std::string text;
    return read_settings_text(path, &text, error) && read_document(text, out, error);
}

bool read_calibration_document_file(const std::string& path, CalibrationDocument* out, std::string* error)
{
    std::string text;
    return read_settings_text(path, &text, error) && read_calibration_document(text, out, error);
}

bool write_calibration_document_file(const std::string& path, const CalibrationDocument& doc, std::string* error)
{
    return write_file_safely(path, write_calibration_document(doc), error);
}

bool write_document_file(const std::string& path, const Document& doc, std::string* error)
{
    return write_file_safely(path, write_document(doc), error);
}

void apply(const Values& values, Settings_t* record)
{
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        if (values.present[i]) {
            uint32_t w = values.word[i];
            settings_set_value(record, static_cast<settings_struct_index>(i), &w);
        }
    }
}

std::vector<const Setting*> differences(const Values& values, const Settings_t& record)
{
    std::vector<const Setting*> out;
    for (const Setting& s : all_settings()) {
        if (!values.names(s)) {
            continue;
        }
        for (unsigned k = 0; k < s.count; ++k) {
            const auto index = static_cast<settings_struct_index>(s.first + k);
            if (values.word[index] != settings_get_value(&record, index)) {
                out.push_back(&s);
                break;
            }
        }
    }
    return out;
}

} // namespace settings_file
