#include "sim/demo_unit.h"

#include <bit>
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
    // Neutral sensors: unit scale, identity soft-iron matrices, no offsets.
    SENSOR_CALIB_t c{};
    c.version = 1;
    c.LSM_CAL.acc_scale = {1.0f, 1.0f, 1.0f};
    for (int i = 0; i < 3; ++i) {
        c.MMC_INITIAL_CAL.A_matrix.matrix[i][i] = 1.0f;
        c.LIS_CAL.A_matrix.matrix[i][i] = 1.0f;
    }
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
