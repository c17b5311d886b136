// The sensor calibration record for people: a name and a block for every word that has a field, its
// value as a person reads it, and which blocks were never calibrated. The names are made from the
// record's own enumerators, so that they cannot drift from what the unit's firmware calls them.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "efis_shared/calib_types.h"
#include "settings_file/settings_file.h"

namespace settings_file {

namespace {

using Kind = CalibrationField::Kind;

struct Enumerator {
    sensor_calib_struct_index index;
    std::string_view spelled;
    Kind kind;
};

// Every index with a field, in index order: F a float, C a block checksum, W a word the unit's
// firmware alone interprets (the version, the tag, the two temperature words).
#define F(e)                                                                                                           \
    Enumerator                                                                                                         \
    {                                                                                                                  \
        e, #e, Kind::Float                                                                                             \
    }
#define C(e)                                                                                                           \
    Enumerator                                                                                                         \
    {                                                                                                                  \
        e, #e, Kind::Checksum                                                                                          \
    }
#define W(e)                                                                                                           \
    Enumerator                                                                                                         \
    {                                                                                                                  \
        e, #e, Kind::Word                                                                                              \
    }
constexpr Enumerator kEnumerators[] = {
    W(CALIB_VERSION_INDEX),
    F(LSM_ACC_OFFSET_X_INDEX),
    F(LSM_ACC_OFFSET_Y_INDEX),
    F(LSM_ACC_OFFSET_Z_INDEX),
    C(LSM_ACC_OFFSET_CHKSUM_INDEX),
    F(LSM_ACC_SCALE_X_INDEX),
    F(LSM_ACC_SCALE_Y_INDEX),
    F(LSM_ACC_SCALE_Z_INDEX),
    C(LSM_ACC_SCALE_CHKSUM_INDEX),
    F(LSM_GYRO_BIAS_X_INDEX),
    F(LSM_GYRO_BIAS_Y_INDEX),
    F(LSM_GYRO_BIAS_Z_INDEX),
    C(LSM_GYRO_BIAS_CHKSUM_INDEX),
    F(MMC_INITIAL_B_VECTOR_0_INDEX),
    F(MMC_INITIAL_B_VECTOR_1_INDEX),
    F(MMC_INITIAL_B_VECTOR_2_INDEX),
    C(MMC_INITIAL_B_VECTOR_CHK_INDEX),
    F(MMC_INITIAL_A_MATRIX_0_0_index),
    F(MMC_INITIAL_A_MATRIX_1_0_index),
    F(MMC_INITIAL_A_MATRIX_2_0_index),
    F(MMC_INITIAL_A_MATRIX_0_1_index),
    F(MMC_INITIAL_A_MATRIX_1_1_index),
    F(MMC_INITIAL_A_MATRIX_2_1_index),
    F(MMC_INITIAL_A_MATRIX_0_2_index),
    F(MMC_INITIAL_A_MATRIX_1_2_index),
    F(MMC_INITIAL_A_MATRIX_2_2_index),
    C(MMC_INITIAL_A_MATRIX_CHK_INDEX),
    F(LIS_MAG_OFFSET_X_INDEX),
    F(LIS_MAG_OFFSET_Y_INDEX),
    F(LIS_MAG_OFFSET_Z_INDEX),
    C(LIS_MAG_OFFSET_CHKSUM_INDEX),
    F(LIS_MAG_BIAS_0_0_index),
    F(LIS_MAG_BIAS_1_0_index),
    F(LIS_MAG_BIAS_2_0_index),
    F(LIS_MAG_BIAS_0_1_index),
    F(LIS_MAG_BIAS_1_1_index),
    F(LIS_MAG_BIAS_2_1_index),
    F(LIS_MAG_BIAS_0_2_index),
    F(LIS_MAG_BIAS_1_2_index),
    F(LIS_MAG_BIAS_2_2_index),
    C(LIS_MAG_BIAS_CHKSUM1_INDEX),
    F(AUAV_PITOT_OFFSET_INDEX),
    F(AUAV_STATIC_OFFSET_INDEX),
    C(AUAV_OFFSET_CAL_CRC),
    F(AUAV_PT_LIN_A),
    F(AUAV_PT_LIN_B),
    F(AUAV_PT_LIN_C),
    F(AUAV_PT_LIN_D),
    F(AUAV_PT_Es),
    F(AUAV_PT_TC50H),
    F(AUAV_PT_TC50L),
    C(AUAV_PT_CRC),
    F(AUAV_ST_LIN_A),
    F(AUAV_ST_LIN_B),
    F(AUAV_ST_LIN_C),
    F(AUAV_ST_LIN_D),
    F(AUAV_ST_Es),
    F(AUAV_ST_TC50H),
    F(AUAV_ST_TC50L),
    C(AUAV_ST_CRC),
    W(OAT_0DEG_INDEX),
    W(OAT_100DEG_INDEX),
    C(OAT_CRC_INDEX),
    W(CALIB_MAGIC_NUM),
    C(CALIB_CRC_INDEX),
};
#undef F
#undef C
#undef W
constexpr size_t kCount = std::size(kEnumerators);

// The record structure a word lies in; the header words lie in none.
constexpr CalibrationBlock block_of(uint32_t i)
{
    if (i >= LSM_ACC_OFFSET_X_INDEX && i <= LSM_GYRO_BIAS_CHKSUM_INDEX) {
        return CalibrationBlock::InertialSensor;
    }
    if (i >= MMC_INITIAL_B_VECTOR_0_INDEX && i <= MMC_INITIAL_A_MATRIX_CHK_INDEX) {
        return CalibrationBlock::MagnetometerInitial;
    }
    if (i >= LIS_MAG_OFFSET_X_INDEX && i <= LIS_MAG_BIAS_CHKSUM1_INDEX) {
        return CalibrationBlock::MagnetometerLis;
    }
    if (i >= AUAV_PITOT_OFFSET_INDEX && i <= AUAV_OFFSET_CAL_CRC) {
        return CalibrationBlock::PressureOffsets;
    }
    if (i >= AUAV_PT_LIN_A && i <= AUAV_PT_CRC) {
        return CalibrationBlock::PitotCoefficients;
    }
    if (i >= AUAV_ST_LIN_A && i <= AUAV_ST_CRC) {
        return CalibrationBlock::StaticCoefficients;
    }
    if (i >= OAT_0DEG_INDEX && i <= OAT_CRC_INDEX) {
        return CalibrationBlock::OutsideAirTemperature;
    }
    return CalibrationBlock::RecordHeader;
}

// "MMC_INITIAL_A_MATRIX_1_0_index" -> "mmc_initial_a_matrix_1_0"
struct Name {
    char text[40] = {};
};
constexpr Name name_of(std::string_view e)
{
    if (e.ends_with("_INDEX") || e.ends_with("_index")) {
        e.remove_suffix(6);
    }
    Name n;
    for (size_t i = 0; i < e.size() && i + 1 < sizeof n.text; ++i) {
        n.text[i] = e[i] >= 'A' && e[i] <= 'Z' ? static_cast<char>(e[i] - 'A' + 'a') : e[i];
    }
    return n;
}

constexpr std::array<Name, kCount> kNames = [] {
    std::array<Name, kCount> names{};
    for (size_t i = 0; i < kCount; ++i) {
        names[i] = name_of(kEnumerators[i].spelled);
    }
    return names;
}();

constexpr std::array<CalibrationField, kCount> kFields = [] {
    std::array<CalibrationField, kCount> fields{};
    for (size_t i = 0; i < kCount; ++i) {
        const Enumerator& e = kEnumerators[i];
        fields[i] = {e.index, kNames[i].text, block_of(e.index), e.kind};
    }
    return fields;
}();

constexpr bool in_index_order()
{
    for (size_t i = 1; i < kCount; ++i) {
        if (kEnumerators[i - 1].index >= kEnumerators[i].index) {
            return false;
        }
    }
    return true;
}
static_assert(in_index_order());
static_assert(std::string_view(kNames[0].text) == "calib_version");
static_assert(std::string_view(name_of("MMC_INITIAL_A_MATRIX_1_0_index").text) == "mmc_initial_a_matrix_1_0");
static_assert(std::string_view(name_of("AUAV_OFFSET_CAL_CRC").text) == "auav_offset_cal_crc");
static_assert(std::string_view(name_of("AUAV_PT_Es").text) == "auav_pt_es");

constexpr const char* kBlockNames[] = {
    "record header",    "inertial sensor",    "magnetometer (initial)", "magnetometer (LIS)",
    "pressure offsets", "pitot coefficients", "static coefficients",    "outside air temperature",
};

} // namespace

std::span<const CalibrationField> calibration_fields()
{
    return kFields;
}

const CalibrationField* calibration_field(uint32_t index)
{
    const auto it = std::lower_bound(kFields.begin(), kFields.end(), index,
                                     [](const CalibrationField& f, uint32_t i) { return f.index < i; });
    return it != kFields.end() && it->index == index ? &*it : nullptr;
}

const char* calibration_block_name(CalibrationBlock block)
{
    return kBlockNames[static_cast<size_t>(block)];
}

const char* calibration_block(uint32_t index)
{
    return calibration_block_name(block_of(index));
}

std::string calibration_word_name(uint32_t index)
{
    const CalibrationField* f = calibration_field(index);
    return f != nullptr ? std::string(f->name) + " (index " + std::to_string(index) + ")"
                        : "calibration index " + std::to_string(index);
}

namespace {

// The float a word carries, when it carries a finite one.
bool finite_float(const CalibrationField& field, uint32_t word, float* out)
{
    if (field.kind != Kind::Float) {
        return false;
    }
    std::memcpy(out, &word, sizeof word);
    return std::isfinite(*out);
}

} // namespace

std::string calibration_value_text(const CalibrationField& field, uint32_t word)
{
    float f = 0;
    if (!finite_float(field, word, &f)) {
        return hex32(word);
    }
    // Without a precision, to_chars writes the fewest digits that read back to the same float;
    // plainly (0.0007) unless that takes a long row of zeros.
    const float magnitude = std::fabs(f);
    const bool plain = magnitude == 0 || (magnitude >= 1e-5f && magnitude < 1e7f);
    char buf[64];
    const auto r =
        std::to_chars(buf, buf + sizeof buf, f, plain ? std::chars_format::fixed : std::chars_format::scientific);
    return std::string(buf, r.ptr);
}

nlohmann::ordered_json calibration_value_json(const CalibrationField& field, uint32_t word)
{
    float f = 0;
    if (field.kind != Kind::Float) {
        return hex32(word);
    }
    if (!finite_float(field, word, &f)) {
        return nullptr;
    }
    // Through the shortest text, so that the document's number is the one the table shows rather
    // than the float's exact binary value written out as a double.
    return std::strtod(calibration_value_text(field, word).c_str(), nullptr);
}

std::vector<CalibrationBlockView> calibration_view(const Calibration& words)
{
    std::vector<CalibrationBlockView> blocks;
    for (size_t b = 0; b < std::size(kBlockNames); ++b) {
        CalibrationBlockView view{static_cast<CalibrationBlock>(b), kBlockNames[b], false, {}};
        bool all_zero = true;
        bool all_erased = true;
        bool data_seen = false;
        for (const CalibrationField& f : kFields) {
            const auto it = words.find(f.index);
            if (f.block != view.block || it == words.end()) {
                continue;
            }
            view.fields.push_back(&f);
            if (f.kind != Kind::Checksum) {
                data_seen = true;
                all_zero = all_zero && it->second == 0;
                all_erased = all_erased && it->second == 0xFFFFFFFFu;
            }
        }
        view.blank = data_seen && (all_zero || all_erased);
        if (!view.fields.empty()) {
            blocks.push_back(std::move(view));
        }
    }
    return blocks;
}

} // namespace settings_file
