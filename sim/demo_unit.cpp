#include "sim/demo_unit.h"

#include <bit>
#include <cstring>
#include <utility>

#include "efis_shared/get_set.h"
#include "sim/hid_backend.h"

namespace sim {

namespace {

Settings_t demo_settings()
{
    Settings_t s{};
    // Going through settings_set_value for every field keeps crc32 right without a separate step.
    const std::pair<settings_struct_index, uint32_t> values[] = {
        {SETTINGS_MAGIC_NUM, kSettingsMagic},
        {SETTINGS_VERSION, 1},
        {SETTINGS_NUM_ELEMENTS, kSettingsCrcMaxWords},
        {UNITS_VALUE_INDEX, 0xAA}, // knots, feet, Fahrenheit, inHg
        {VMIN_INDEX, 30},
        {VS0_INDEX, 45},
        {VS1_INDEX, 50},
        {VFE_INDEX, 85},
        {VN0_INDEX, 130},
        {VNE_INDEX, 160},
        {APPROACHSPEED_INDEX, 65},
        {VLO_INDEX, 100},
        {MIN_VOLTS_INDEX, 115},
        {MAX_VOLTS_INDEX, 150},
        {REGISTRATION_1_INDEX, 0x4E313233}, // "N12345"
        {REGISTRATION_2_INDEX, 0x34350000},
        {REGISTRATION_3_INDEX, 0},
        {SKY_COLOR_0_INDEX, 0xFF3C78D8},
        {SKY_COLOR_1_INDEX, 0xFF87CEEB},
        {GROUND_COLOR_0_INDEX, 0xFF8B5A2B},
        {GROUND_COLOR_1_INDEX, 0xFF5C4033},
        {APPROACH_COLOR_INDEX, 0xFFFF00FF},
        {AIRPLANE_COLOR_INDEX, 0xFFFFFFFF},
        {GREEN_ARC_COLOR_INDEX, 0xFF00FF00},
        {YELLOW_ARC_COLOR_INDEX, 0xFFFFFF00},
        {RED_ARC_COLOR_INDEX, 0xFFFF0000},
        {GEAR_INDI_COLOR_INDEX, 0xFFFFFFFF},
        {BACKLIGHT_BRIGHTNESS_INDEX, 15},
        {ROLL_CORRECTION_INDEX, std::bit_cast<uint32_t>(0.0f)},
        {PITCH_CORRECTION_INDEX, std::bit_cast<uint32_t>(0.0f)},
        {MIN_VOLTS_ALERT_INDEX, 110},
        {MAX_VOLTS_ALERT_INDEX, 155},
        {TEXT_BG_ALPHA_INDEX, 150},
        {USE_MAG_INDEX, 1},
        {OWNSHIP_ICAO_INDEX, 0xA1B2C3},
        {ICAO_ADDR_TYPE_INDEX, 0},
        {EMITTER_CAT_INDEX, 1},
        {TERM_RESISTOR_INDEX, 1},
        {MAP_DIR_INDEX, map_track_up},
    };
    for (auto [index, value] : values) {
        settings_set_value(&s, index, &value);
    }
    return s;
}

SENSOR_CALIB_t demo_calibration()
{
    // A unit calibrated at the factory, whose second magnetometer never was: its block is still
    // erased. The checksums are the unit's own business; any words stand in for them here.
    SENSOR_CALIB_t c{};
    c.version = 1;
    c.LSM_CAL = {{0.0213f, -0.0148f, 0.0362f}, 0x1C3A5E77, {1.0021f, 0.9987f, 1.0008f}, 0x8B21F0D4,
                 {0.0125f, -0.0031f, 0.0007f}, 0x5E0A93C2};
    c.MMC_INITIAL_CAL.B_vector = {12.5f, -3.75f, 41.25f};
    c.MMC_INITIAL_CAL.B_vector_crc = 0x44D1A06B;
    c.MMC_INITIAL_CAL.A_matrix = {{{1.02f, 0.013f, -0.004f}, {0.013f, 0.98f, 0.007f}, {-0.004f, 0.007f, 1.01f}}};
    c.MMC_INITIAL_CAL.A_matrix_crc = 0xC7F2318E;
    std::memset(&c.LIS_CAL, 0xFF, sizeof c.LIS_CAL);
    c.AUAV_CAL = {0.42f, -1.3f, 0x0B93E5A1};
    c.pitot_coeff = {0.0523f, -0.1185f, 0.9861f, 0.0034f, 0.0019f, 0.0011f, -0.0007f, 0x6D20C4F9};
    c.static_coeff = {0.0498f, -0.1207f, 1.0043f, -0.0021f, 0.0023f, 0.0009f, -0.0005f, 0x93AE7702};
    c.oat_cal_0deg = 0x00000C35;
    c.oat_cal_100deg = 0x00000F1A;
    c.oat_crc = 0x2F6B8D10;
    c.crc32 = 0x7A3B19E4;
    return c;
}

} // namespace

std::shared_ptr<VirtualUnit> make_demo_unit()
{
    UnitConfig config;
    config.generation = Generation::Current;
    config.version.version = 0x00020C00; // 0.2.12
    config.serial = 0x00C0FFEE;
    config.partition = partition_1;
    auto unit = std::make_shared<VirtualUnit>(config);
    unit->load_settings(demo_settings());
    unit->load_calibration(demo_calibration());
    return unit;
}

void install_demo_unit()
{
    auto unit = make_demo_unit();
    unit->set_latency(std::chrono::microseconds(200));
    plug(std::move(unit), kUnitUsagePage);
}

} // namespace sim
