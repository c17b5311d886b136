#include "efis_shared/get_set.h"

#include <cstddef>
#include <cstring>

#include "efis_shared/crc.h"

namespace {

enum class FieldKind { None, Word, Byte, Half, Registration };

struct Field {
    FieldKind kind;
    size_t offset;
};

Field settings_field(uint32_t index)
{
    switch (index) {
    case UNITS_VALUE_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, units)};
    case VMIN_INDEX:
    case VS0_INDEX:
    case VS1_INDEX:
    case VFE_INDEX:
    case VN0_INDEX:
    case VNE_INDEX:
    case APPROACHSPEED_INDEX:
    case VLO_INDEX:
        return {FieldKind::Byte, offsetof(Settings_t, vspeeds) + (index - VMIN_INDEX)};
    case MIN_VOLTS_INDEX:
        return {FieldKind::Half, offsetof(Settings_t, volt_warnings) + offsetof(volt_warnings_t, min_volts)};
    case MAX_VOLTS_INDEX:
        return {FieldKind::Half, offsetof(Settings_t, volt_warnings) + offsetof(volt_warnings_t, max_volts)};
    case MIN_VOLTS_ALERT_INDEX:
        return {FieldKind::Half, offsetof(Settings_t, volt_alerts) + offsetof(volt_warnings_t, min_volts)};
    case MAX_VOLTS_ALERT_INDEX:
        return {FieldKind::Half, offsetof(Settings_t, volt_alerts) + offsetof(volt_warnings_t, max_volts)};
    case REGISTRATION_1_INDEX:
    case REGISTRATION_2_INDEX:
    case REGISTRATION_3_INDEX:
        return {FieldKind::Registration, offsetof(Settings_t, registration) + 4 * (index - REGISTRATION_1_INDEX)};
    case SKY_COLOR_0_INDEX:
    case SKY_COLOR_1_INDEX:
    case GROUND_COLOR_0_INDEX:
    case GROUND_COLOR_1_INDEX:
    case APPROACH_COLOR_INDEX:
    case AIRPLANE_COLOR_INDEX:
    case GREEN_ARC_COLOR_INDEX:
    case YELLOW_ARC_COLOR_INDEX:
    case RED_ARC_COLOR_INDEX:
    case GEAR_INDI_COLOR_INDEX:
        // The ten colour words are contiguous from sky_color[0].
        return {FieldKind::Word, offsetof(Settings_t, sky_color) + 4 * (index - SKY_COLOR_0_INDEX)};
    case BACKLIGHT_BRIGHTNESS_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, backlight_brightness)};
    case ROLL_CORRECTION_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, roll_correction)};
    case PITCH_CORRECTION_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, pitch_correction)};
    case TEXT_BG_ALPHA_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, text_bg_alpha)};
    case USE_MAG_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, use_mag_heading)};
    case OWNSHIP_ICAO_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, ownship_icao)};
    case ICAO_ADDR_TYPE_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, icao_address_type)};
    case EMITTER_CAT_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, emitter_cat)};
    case TERM_RESISTOR_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, enable_term_resistor)};
    case MAP_DIR_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, map_track)};
    case SETTINGS_CHECKSUM_INDEX:
        return {FieldKind::Word, offsetof(Settings_t, crc32)};
    case SETTINGS_MAGIC_NUM:
        return {FieldKind::Word, offsetof(Settings_t, magic)};
    case SETTINGS_VERSION:
        return {FieldKind::Word, offsetof(Settings_t, version)};
    case SETTINGS_NUM_ELEMENTS:
        return {FieldKind::Word, offsetof(Settings_t, num_elements)};
    default:
        return {FieldKind::None, 0};
    }
}

static_assert(offsetof(Settings_t, gear_indi_color) - offsetof(Settings_t, sky_color) ==
              4 * (GEAR_INDI_COLOR_INDEX - SKY_COLOR_0_INDEX));

} // namespace

bool settings_set_value(Settings_t* dest, settings_struct_index index, uint32_t* new_value)
{
    if (dest == nullptr || new_value == nullptr) {
        return false;
    }
    const Field f = settings_field(index);
    if (f.kind == FieldKind::None) {
        return false;
    }

    // Work on a copy so that a failure can never leave the caller's record half written.
    Settings_t temp;
    std::memcpy(&temp, dest, sizeof temp);
    auto* bytes = reinterpret_cast<unsigned char*>(&temp);
    const uint32_t v = *new_value;

    switch (f.kind) {
    case FieldKind::Word:
        std::memcpy(bytes + f.offset, &v, 4);
        break;
    case FieldKind::Byte:
        bytes[f.offset] = static_cast<unsigned char>(v & 0xFFu);
        break;
    case FieldKind::Half: {
        const uint16_t h = static_cast<uint16_t>(v & 0xFFFFu);
        std::memcpy(bytes + f.offset, &h, 2);
        break;
    }
    case FieldKind::Registration:
        bytes[f.offset + 0] = static_cast<unsigned char>(v >> 24);
        bytes[f.offset + 1] = static_cast<unsigned char>(v >> 16);
        bytes[f.offset + 2] = static_cast<unsigned char>(v >> 8);
        bytes[f.offset + 3] = static_cast<unsigned char>(v);
        break;
    case FieldKind::None:
        return false;
    }

    temp.crc32 = settings_CalcCRC(&temp);
    std::memcpy(dest, &temp, sizeof temp);
    return true;
}

uint32_t settings_get_value(const Settings_t* src, settings_struct_index index)
{
    if (src == nullptr) {
        return 0xFFFFFFFFu;
    }
    const Field f = settings_field(index);
    const auto* bytes = reinterpret_cast<const unsigned char*>(src);
    switch (f.kind) {
    case FieldKind::Word: {
        uint32_t v;
        std::memcpy(&v, bytes + f.offset, 4);
        return v;
    }
    case FieldKind::Byte:
        return bytes[f.offset];
    case FieldKind::Half: {
        uint16_t h;
        std::memcpy(&h, bytes + f.offset, 2);
        return h;
    }
    case FieldKind::Registration:
        return (uint32_t{bytes[f.offset]} << 24) | (uint32_t{bytes[f.offset + 1]} << 16) |
               (uint32_t{bytes[f.offset + 2]} << 8) | uint32_t{bytes[f.offset + 3]};
    case FieldKind::None:
        break;
    }
    return 0xFFFFFFFFu;
}

uint32_t settings_CalcCRC(const Settings_t* s)
{
    if (s == nullptr || s->crc32 == 0xFFFFFFFFu) {
        return 0;
    }
    uint32_t words[sizeof(Settings_t) / 4];
    std::memcpy(words, s, sizeof words);
    uint32_t count = s->num_elements;
    if (count > kSettingsCrcMaxWords) {
        count = kSettingsCrcMaxWords; // the unit cannot have covered more than the record holds
    }
    return EFIS_crc(&words[1], count);
}

namespace {

// Byte offset of the field behind a calibration index, or -1.
int calib_offset(uint32_t index)
{
    if (index <= OAT_CRC_INDEX) {
        if (index >= MMC_INSTALL_B_VECTOR_0_INDEX && index <= MMC_INSTALL_A_MATRIX_CHK_INDEX) {
            return -1; // the record has no installation block
        }
    }
    // Matrix indices run down the columns: consecutive indices step through the row first.
    auto matrix_elem = [](size_t base, uint32_t k) {
        const uint32_t r = k % 3;
        const uint32_t c = k / 3;
        return static_cast<int>(base + offsetof(MAG_CAL_t, A_matrix) + 4 * (3 * r + c));
    };
    switch (index) {
    case CALIB_VERSION_INDEX:
        return offsetof(SENSOR_CALIB_t, version);
    case CALIB_MAGIC_NUM:
        return offsetof(SENSOR_CALIB_t, magic);
    case CALIB_CRC_INDEX:
        return offsetof(SENSOR_CALIB_t, crc32);
    default:
        break;
    }
    if (index >= LSM_ACC_OFFSET_X_INDEX && index <= LSM_GYRO_BIAS_CHKSUM_INDEX) {
        // Three floats then a checksum, three times over, contiguous from acc_offset.
        return static_cast<int>(offsetof(SENSOR_CALIB_t, LSM_CAL) + 4 * (index - LSM_ACC_OFFSET_X_INDEX));
    }
    if (index >= MMC_INITIAL_B_VECTOR_0_INDEX && index <= MMC_INITIAL_B_VECTOR_CHK_INDEX) {
        return static_cast<int>(offsetof(SENSOR_CALIB_t, MMC_INITIAL_CAL) + 4 * (index - MMC_INITIAL_B_VECTOR_0_INDEX));
    }
    if (index >= MMC_INITIAL_A_MATRIX_0_0_index && index <= MMC_INITIAL_A_MATRIX_2_2_index) {
        return matrix_elem(offsetof(SENSOR_CALIB_t, MMC_INITIAL_CAL), index - MMC_INITIAL_A_MATRIX_0_0_index);
    }
    if (index == MMC_INITIAL_A_MATRIX_CHK_INDEX) {
        return offsetof(SENSOR_CALIB_t, MMC_INITIAL_CAL) + offsetof(MAG_CAL_t, A_matrix_crc);
    }
    if (index >= LIS_MAG_OFFSET_X_INDEX && index <= LIS_MAG_OFFSET_CHKSUM_INDEX) {
        return static_cast<int>(offsetof(SENSOR_CALIB_t, LIS_CAL) + 4 * (index - LIS_MAG_OFFSET_X_INDEX));
    }
    if (index >= LIS_MAG_BIAS_0_0_index && index <= LIS_MAG_BIAS_2_2_index) {
        return matrix_elem(offsetof(SENSOR_CALIB_t, LIS_CAL), index - LIS_MAG_BIAS_0_0_index);
    }
    if (index == LIS_MAG_BIAS_CHKSUM1_INDEX) {
        return offsetof(SENSOR_CALIB_t, LIS_CAL) + offsetof(MAG_CAL_t, A_matrix_crc);
    }
    if (index >= AUAV_PITOT_OFFSET_INDEX && index <= AUAV_OFFSET_CAL_CRC) {
        return static_cast<int>(offsetof(SENSOR_CALIB_t, AUAV_CAL) + 4 * (index - AUAV_PITOT_OFFSET_INDEX));
    }
    if (index >= AUAV_PT_LIN_A && index <= AUAV_PT_CRC) {
        return static_cast<int>(offsetof(SENSOR_CALIB_t, pitot_coeff) + 4 * (index - AUAV_PT_LIN_A));
    }
    if (index >= AUAV_ST_LIN_A && index <= AUAV_ST_CRC) {
        return static_cast<int>(offsetof(SENSOR_CALIB_t, static_coeff) + 4 * (index - AUAV_ST_LIN_A));
    }
    if (index >= OAT_0DEG_INDEX && index <= OAT_CRC_INDEX) {
        return static_cast<int>(offsetof(SENSOR_CALIB_t, oat_cal_0deg) + 4 * (index - OAT_0DEG_INDEX));
    }
    return -1;
}

} // namespace

bool calib_set_value(SENSOR_CALIB_t* dest, sensor_calib_struct_index index, uint32_t* new_value)
{
    if (dest == nullptr || new_value == nullptr) {
        return false;
    }
    const int off = calib_offset(index);
    if (off < 0) {
        return false;
    }
    SENSOR_CALIB_t temp;
    std::memcpy(&temp, dest, sizeof temp);
    std::memcpy(reinterpret_cast<unsigned char*>(&temp) + off, new_value, 4);
    std::memcpy(dest, &temp, sizeof temp);
    return true;
}

uint32_t calib_get_value(const SENSOR_CALIB_t* src, sensor_calib_struct_index index)
{
    const int off = calib_offset(index);
    if (src == nullptr || off < 0) {
        return 0;
    }
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(src) + off, 4);
    return v;
}

bool calib_index_has_field(uint32_t index)
{
    return index <= 0xFF && calib_offset(index) >= 0;
}
