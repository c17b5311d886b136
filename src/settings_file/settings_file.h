// Settings files: a unit's user settings as a JSON document that people can keep, read, edit and
// bring back. Every setting has a friendly form (knots, 12.5 V, "#3c78d8", "A1") and a raw form
// (the stored word as "0x%08X"); a word that no friendly form can show exactly is written raw, so a
// backup brings back every record word for word, whatever it holds.
//
// Nothing here talks to a unit or throws: results are return values, refusals a message that names
// the key or value and the reason.
#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "efis_shared/firmware.h"
#include "efis_shared/settings_types.h"

namespace settings_file {

inline constexpr const char* kFormat = "efis-config settings";
inline constexpr int kFormatVersion = 1;
// A settings file is a few kilobytes; anything far larger is not one.
inline constexpr size_t kMaxFileBytes = 1024 * 1024;

// One named setting: the record indices it spans (three for the registration, else one).
struct Setting {
    const char* name;
    settings_struct_index first;
    unsigned count;
};

// The 34 settings in index order.
std::span<const Setting> all_settings();
// The record indices of a setting for people: "6", "11-13".
std::string index_text(const Setting& s);
// A file's keys are a contract and match exactly; a name typed on a command line matches whatever
// its case (Vne=170).
enum class NameMatch { Exact, AnyCase };
const Setting* find_setting(std::string_view name, NameMatch match = NameMatch::Exact);
// Of `candidates`, the one a mistyped `word` most likely means (case aside: a letter or two
// missing, extra, wrong or swapped), or an empty view when none is that close. Ties go to the
// first candidate.
std::string_view closest_name(std::string_view word, std::span<const std::string_view> candidates);
// The same over the settings' names: nullptr when no name is close.
const Setting* closest_setting(std::string_view name);

// Words for the ordinary indices 0..35, and which of them a document names.
struct Values {
    std::array<uint32_t, SETTINGS_LAST_INDEX> word{};
    std::array<bool, SETTINGS_LAST_INDEX> present{};

    bool names(const Setting& s) const { return present[s.first]; }
    void put(const Setting& s, const uint32_t* words);
    size_t count() const; // settings named
};

struct UnitInfo {
    std::optional<uint32_t> serial;
    // major.minor.patch; rc apart
    std::optional<fwversion_t> firmware;
    std::optional<uint8_t> rc;
};

struct RecordInfo {
    std::optional<uint32_t> version;
    std::optional<uint32_t> num_elements;
    std::optional<uint32_t> checksum;
};

// Words of the unit's sensor calibration record by index, as a backup taken before a firmware
// update keeps them. Kept to compare with, never written to a unit.
using Calibration = std::map<uint32_t, uint32_t>;

struct Document {
    std::optional<UnitInfo> unit;
    std::optional<RecordInfo> record;
    Values settings;
    std::optional<Calibration> calibration{};
};

// --- the sensor calibration record, for people (never written to a unit) -------------------------

// The record structures, in record order, and the header words that lie in none of them.
enum class CalibrationBlock {
    RecordHeader,
    InertialSensor,        // LSM_CAL
    MagnetometerInitial,   // MMC_INITIAL_CAL
    MagnetometerLis,       // LIS_CAL
    PressureOffsets,       // AUAV_CAL
    PitotCoefficients,     // pitot_coeff
    StaticCoefficients,    // static_coeff
    OutsideAirTemperature, // oat_cal_0deg, oat_cal_100deg, oat_crc
};

// A word of the record that has a field.
struct CalibrationField {
    // Float: shown as a number; Checksum: the unit's own, left out of the blank test; Word: what
    // only the unit's firmware interprets (the version, the tag, the temperature words).
    enum class Kind { Float, Checksum, Word };
    uint32_t index;
    const char* name; // its enumerator in lower case without "_INDEX": "lsm_acc_offset_x"
    CalibrationBlock block;
    Kind kind;
};

// Every index that has a field, in index order; nullptr for one without.
std::span<const CalibrationField> calibration_fields();
const CalibrationField* calibration_field(uint32_t index);
// "record header", "inertial sensor", "magnetometer (initial)", ... "outside air temperature".
const char* calibration_block_name(CalibrationBlock block);
// The block an index belongs to, by name, for messages.
const char* calibration_block(uint32_t index);
// "lsm_gyro_bias_x (index 9)", or "calibration index 30" for one without a field.
std::string calibration_word_name(uint32_t index);
// A float as the shortest decimal that reads back to the same single-precision value ("0.0125"),
// any other word, and a float that is not a finite number (an erased word is a NaN), as "0x%08X".
std::string calibration_value_text(const CalibrationField& field, uint32_t word);
// The same for a JSON document: a number for a float, null for one that is not finite, else the
// "0x%08X" text.
nlohmann::ordered_json calibration_value_json(const CalibrationField& field, uint32_t word);

// The words of a block that `words` holds, and whether its data words (checksums aside) are all
// 0x00000000 or all 0xFFFFFFFF: a block never calibrated, or erased.
struct CalibrationBlockView {
    CalibrationBlock block;
    const char* name;
    bool blank;
    std::vector<const CalibrationField*> fields; // in index order
};
// The blocks `words` holds words of, header first, then in record order.
std::vector<CalibrationBlockView> calibration_view(const Calibration& words);

// A calibration file: the unit it was read from and every word, as a firmware update's backup
// keeps its calibration block.
inline constexpr const char* kCalibrationFormat = "efis-config calibration";
struct CalibrationDocument {
    std::optional<UnitInfo> unit;
    Calibration calibration;
};
std::string write_calibration_document(const CalibrationDocument& doc);
bool write_calibration_document_file(const std::string& path, const CalibrationDocument& doc, std::string* error);
// Reads a calibration file, or the calibration block of a settings file (a firmware update's
// backup), with the refusals read_document() makes; a settings file without a calibration block is
// refused as holding none.
bool read_calibration_document(std::string_view text, CalibrationDocument* out, std::string* error);
bool read_calibration_document_file(const std::string& path, CalibrationDocument* out, std::string* error);

// Every ordinary index of a record.
Values values_of(const Settings_t& record);
// The backup of a whole record; `record_info` as the unit reported its header.
Document backup_document(const Settings_t& record, std::optional<UnitInfo> unit, std::optional<RecordInfo> record_info);

// JSON text: two-space indent, keys in record order, a final newline.
std::string write_document(const Document& doc);
// Refuses malformed JSON, a wrong format or version, unknown or repeated keys, values of the wrong
// type or outside what their field holds. On refusal *out is untouched and *error says why.
bool read_document(std::string_view text, Document* out, std::string* error);
bool read_document_file(const std::string& path, Document* out, std::string* error);
// A file's text as read_document_file() takes it: no more than one byte past kMaxFileBytes.
bool read_settings_text(const std::string& path, std::string* text, std::string* error);
// Writes the document with write_file_safely().
bool write_document_file(const std::string& path, const Document& doc, std::string* error);

// Every file the tools write goes through here, so that a failure, a crash or a power cut leaves
// either the old file or the new one, never a mixture and never nothing:
// - a symbolic link is written through: its final target is replaced and the link kept;
// - a target that exists and is not a regular file (a device, a FIFO, a directory) is refused with
//   "<path> is not a regular file" (standard output, "-", is the caller's to handle);
// - the bytes go to a new, uniquely named file in the target's directory, are synced, and that
//   file is renamed over the target, and the directory synced; a replaced file's permission bits
//   are kept, a new file gets 0666 less the umask;
// - on failure the old file is as it was, no temporary file is left, and *error says whether the
//   file or its directory was the problem.
bool write_file_safely(const std::string& path, std::string_view bytes, std::string* error);

// The form a file writes for one setting (friendly when one fits the words exactly, else raw).
nlohmann::ordered_json setting_json(const Setting& s, const uint32_t* words);
// The same on one line, for tables and difference lists: 160, "#3c78d8", {"airspeed":"knots",...}.
std::string setting_text(const Setting& s, const uint32_t* words);
// Reads one setting's value in any form the file accepts; `words` receives s.count words.
bool parse_setting(const Setting& s, const nlohmann::json& value, uint32_t* words, std::string* error);
// NAME=VALUE with the file's value syntax; a bare word or #rrggbb needs no JSON quotes.
bool parse_assignment(std::string_view text, const Setting** setting, uint32_t* words, std::string* error);

// Stores every named value into the record (through the record's own accessors, so its checksum
// follows).
void apply(const Values& values, Settings_t* record);
// The named settings whose words differ from the record's, in index order.
std::vector<const Setting*> differences(const Values& values, const Settings_t& record);

std::string hex32(uint32_t word); // "0x%08X"

// --- value conversions, shared with the window's form -----------------------------------------

// The registration's 12 bytes and its three words, first byte most significant.
void registration_bytes(const uint32_t* words, uint8_t* bytes);
void registration_words(const uint8_t* bytes, uint32_t* words);

// Unit choices in the order the window lists them (airspeed mph, knots, kph; altitude feet,
// meters; temperature fahrenheit, celsius; pressure inhg, mbar): the group bits of `word` set to
// one bit per group, every other bit kept.
uint32_t units_with(uint32_t word, unsigned airspeed, unsigned altitude, unsigned temperature, unsigned pressure);

// Volts as the form keeps them: tenths of a volt, truncated toward zero.
uint32_t tenths_of_volts(double volts);
double volts_of_tenths(uint32_t tenths);

// Degrees as the record keeps them: the value narrowed to float, as its bit pattern.
uint32_t degrees_bits(double degrees);
float degrees_of(uint32_t bits);

// "#rrggbb" in lower case, the alpha left out; and an opaque colour word from 0xRRGGBB.
std::string colour_rgb_text(uint32_t word);
uint32_t opaque_colour(uint32_t rgb);

// Six upper-case hexadecimal digits of the address's low 24 bits.
std::string icao_text(uint32_t word);

// Values that the record's fields hold but that cannot all be right together: one line per broken
// rule, naming both settings and their values as a file writes them ("vs1 50 is not below vn0 45").
// The rules: vs0 <= vs1, vs1 < vn0, vn0 <= vne, vfe <= vne, vlo <= vne, vs0 < vfe for the V-speeds,
// where 0 is a speed not set and a rule with one on either side is skipped; and
// min_volts_alert <= min_volts_warning < max_volts_warning <= max_volts_alert for the voltage
// thresholds, where 0.0 V likewise counts as not set (the window offers 5.0 V at least, and no
// electrical system runs at 0 V).
std::vector<std::string> implausible_values(const Settings_t& record);

// The catalogue of the settings: for each, its unit of measure, the window's field for it and
// what that field offers, the forms a file accepts, and whether it belongs to the aircraft's
// identity (which a file for a fleet should leave out).

// Knots, miles or kilometres per hour, as the units setting says.
enum class Measure { None, AirspeedUnit, Volts, Degrees };
const char* measure_name(Measure m); // "none", "airspeed unit", "volts", "degrees"

// One field of the window's form that shows a setting; `widget` is its object name.
struct WindowField {
    enum class Kind {
        Range,        // a spin box or slider: minimum..maximum with `decimals` decimals
        Items,        // a combo box: `items` in index order
        RadioButtons, // a button group (`widget`): its buttons' texts in order
        Text,         // a text field or a list filled at run time; `takes` says what it takes
        ColourPicker, // a button that opens a colour dialog; `takes` says what it offers
    };
    Kind kind;
    const char* widget;
    double minimum = 0;
    double maximum = 0;
    int decimals = 0;
    std::span<const char* const> items = {};
    const char* takes = nullptr;
};

struct CatalogueEntry {
    const Setting* setting;
    Measure measure;
    std::span<const WindowField> window; // empty: the window has no field for the setting
    bool identity;                       // registration, ownship_icao, icao_address_type
};

// Every setting, in index order, as all_settings().
std::span<const CatalogueEntry> catalogue();
const CatalogueEntry& catalogue_entry(const Setting& s);
// What the window offers for a setting, on one line: "0..240", "5.0..65.0", "North Up, Track Up",
// or "no field in the window".
std::string window_offers(const CatalogueEntry& e);
// The forms a file accepts for a setting, friendly ones first, the raw word last.
std::vector<std::string> setting_forms(const Setting& s);
// A note when the window cannot show a value that the record's field holds, so that the window
// would show something else, or nothing: "vne 250 is beyond what the window offers (0..240)".
// nullopt when the window shows the value as it is.
std::optional<std::string> window_note(const Setting& s, const uint32_t* words);

} // namespace settings_file
