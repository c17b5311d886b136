// The user settings record as the unit's firmware keeps it, and the indices that address its values.
#pragma once

#include <cstddef>
#include <cstdint>

enum settings_struct_index : uint32_t {
    UNITS_VALUE_INDEX = 0,
    VMIN_INDEX = 1,
    VS0_INDEX = 2,
    VS1_INDEX = 3,
    VFE_INDEX = 4,
    VN0_INDEX = 5,
    VNE_INDEX = 6,
    APPROACHSPEED_INDEX = 7,
    VLO_INDEX = 8,
    MIN_VOLTS_INDEX = 9,
    MAX_VOLTS_INDEX = 10,
    REGISTRATION_1_INDEX = 11,
    REGISTRATION_2_INDEX = 12,
    REGISTRATION_3_INDEX = 13,
    SKY_COLOR_0_INDEX = 14,
    SKY_COLOR_1_INDEX = 15,
    GROUND_COLOR_0_INDEX = 16,
    GROUND_COLOR_1_INDEX = 17,
    APPROACH_COLOR_INDEX = 18,
    AIRPLANE_COLOR_INDEX = 19,
    GREEN_ARC_COLOR_INDEX = 20,
    YELLOW_ARC_COLOR_INDEX = 21,
    RED_ARC_COLOR_INDEX = 22,
    GEAR_INDI_COLOR_INDEX = 23,
    BACKLIGHT_BRIGHTNESS_INDEX = 24,
    ROLL_CORRECTION_INDEX = 25,
    PITCH_CORRECTION_INDEX = 26,
    MIN_VOLTS_ALERT_INDEX = 27,
    MAX_VOLTS_ALERT_INDEX = 28,
    TEXT_BG_ALPHA_INDEX = 29,
    USE_MAG_INDEX = 30,
    OWNSHIP_ICAO_INDEX = 31,
    ICAO_ADDR_TYPE_INDEX = 32,
    EMITTER_CAT_INDEX = 33,
    TERM_RESISTOR_INDEX = 34,
    MAP_DIR_INDEX = 35,
    SETTINGS_LAST_INDEX = 36,

    SETTINGS_CHECKSUM_INDEX = 252,
    SETTINGS_MAGIC_NUM = 253,
    SETTINGS_VERSION = 254,
    SETTINGS_NUM_ELEMENTS = 255,
};

struct unit_bits_t {
    uint32_t is_mph : 1;
    uint32_t is_knots : 1;
    uint32_t is_kph : 1;
    uint32_t is_feet : 1;
    uint32_t is_meters : 1;
    uint32_t is_fahrenheit : 1;
    uint32_t is_celsius : 1;
    uint32_t is_inhg : 1;
    uint32_t is_mbar : 1;
    uint32_t reserved : 23; // no meaning; kept as the unit sent it
};

union units_t {
    uint32_t units_value;
    unit_bits_t unit_bits;
};

struct vspeeds_t {
    uint8_t Vmin;
    uint8_t Vs0;
    uint8_t Vs1;
    uint8_t Vfe;
    uint8_t Vn0;
    uint8_t Vne;
    uint8_t VRef;
    uint8_t Vlo;
};

// Tenths of a volt.
struct volt_warnings_t {
    uint16_t min_volts;
    uint16_t max_volts;
};

enum map_dir_t : uint32_t {
    map_north_up = 0,
    map_track_up = 1,
};

inline constexpr size_t kRegistrationBytes = 12;

struct Settings_t {
    uint32_t crc32;
    uint32_t magic;
    uint32_t version;
    uint32_t num_elements;
    units_t units;
    vspeeds_t vspeeds;
    volt_warnings_t volt_warnings;
    char registration[kRegistrationBytes];
    uint32_t sky_color[2];
    uint32_t ground_color[2];
    uint32_t vref_indi_color;
    uint32_t airplane_color;
    uint32_t green_arc_color;
    uint32_t yellow_arc_color;
    uint32_t red_arc_color;
    uint32_t gear_indi_color;
    uint32_t backlight_brightness;
    float roll_correction;
    float pitch_correction;
    volt_warnings_t volt_alerts;
    uint32_t text_bg_alpha;
    uint32_t use_mag_heading;
    uint32_t ownship_icao;
    uint32_t icao_address_type;
    uint32_t emitter_cat;
    uint32_t enable_term_resistor;
    map_dir_t map_track;
};

// Words after crc32 that a checksum can cover: the whole rest of the record.
inline constexpr uint32_t kSettingsCrcMaxWords = 31;
// "QEV_" in memory order.
inline constexpr uint32_t kSettingsMagic = 0x5F564551;

static_assert(sizeof(units_t) == 4 && sizeof(vspeeds_t) == 8 && sizeof(volt_warnings_t) == 4);
static_assert(sizeof(map_dir_t) == 4 && sizeof(settings_struct_index) == 4 && sizeof(float) == 4);
static_assert(sizeof(Settings_t) == 128);
static_assert((sizeof(Settings_t) - 4) / 4 == kSettingsCrcMaxWords);
static_assert(offsetof(Settings_t, crc32) == 0);
static_assert(offsetof(Settings_t, magic) == 4);
static_assert(offsetof(Settings_t, version) == 8);
static_assert(offsetof(Settings_t, num_elements) == 12);
static_assert(offsetof(Settings_t, units) == 16);
static_assert(offsetof(Settings_t, vspeeds) == 20);
static_assert(offsetof(Settings_t, vspeeds) + offsetof(vspeeds_t, Vlo) == 27);
static_assert(offsetof(Settings_t, volt_warnings) == 28);
static_assert(offsetof(Settings_t, registration) == 32);
static_assert(offsetof(Settings_t, sky_color) == 44);
static_assert(offsetof(Settings_t, ground_color) == 52);
static_assert(offsetof(Settings_t, vref_indi_color) == 60);
static_assert(offsetof(Settings_t, airplane_color) == 64);
static_assert(offsetof(Settings_t, green_arc_color) == 68);
static_assert(offsetof(Settings_t, yellow_arc_color) == 72);
static_assert(offsetof(Settings_t, red_arc_color) == 76);
static_assert(offsetof(Settings_t, gear_indi_color) == 80);
static_assert(offsetof(Settings_t, backlight_brightness) == 84);
static_assert(offsetof(Settings_t, roll_correction) == 88);
static_assert(offsetof(Settings_t, pitch_correction) == 92);
static_assert(offsetof(Settings_t, volt_alerts) == 96);
static_assert(offsetof(Settings_t, text_bg_alpha) == 100);
static_assert(offsetof(Settings_t, use_mag_heading) == 104);
static_assert(offsetof(Settings_t, ownship_icao) == 108);
static_assert(offsetof(Settings_t, icao_address_type) == 112);
static_assert(offsetof(Settings_t, emitter_cat) == 116);
static_assert(offsetof(Settings_t, enable_term_resistor) == 120);
static_assert(offsetof(Settings_t, map_track) == 124);
