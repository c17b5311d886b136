// Indexed access to the calibration record: each index reaches exactly one 32-bit field, the
// installation block and the unused range are refused.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <map>
#include <random>

#include "efis_shared/get_set.h"

namespace {

// Byte offset of the field behind each index, as the unit lays the record out. Matrix indices run
// down the columns.
std::map<uint32_t, size_t> calib_offsets()
{
    std::map<uint32_t, size_t> m = {{0, 4}, {26, 108}, {54, 164}, {254, 0}, {255, 256}};
    for (uint32_t i = 1; i <= 16; ++i) {
        m[i] = (i <= 12 ? 8 : 56) + 4 * (i - (i <= 12 ? 1 : 13));
    }
    const size_t mmc[9] = {72, 84, 96, 76, 88, 100, 80, 92, 104};
    const size_t lis[9] = {128, 140, 152, 132, 144, 156, 136, 148, 160};
    for (uint32_t k = 0; k < 9; ++k) {
        m[17 + k] = mmc[k];
        m[45 + k] = lis[k];
    }
    for (uint32_t i = 41; i <= 44; ++i) {
        m[i] = 112 + 4 * (i - 41);
    }
    for (uint32_t i = 55; i <= 76; ++i) {
        m[i] = 168 + 4 * (i - 55); // AUAV offsets, both coefficient sets and the OAT words run on
    }
    return m;
}

SENSOR_CALIB_t random_record(std::mt19937& rng)
{
    SENSOR_CALIB_t c;
    auto* b = reinterpret_cast<uint8_t*>(&c);
    for (size_t i = 0; i < sizeof c; ++i) {
        b[i] = static_cast<uint8_t>(rng());
    }
    return c;
}

auto idx(uint32_t i)
{
    return static_cast<sensor_calib_struct_index>(i);
}

TEST(CalibValues, EachIndexChangesExactlyItsField)
{
    std::mt19937 rng(5);
    const auto offsets = calib_offsets();
    ASSERT_EQ(offsets.size(), 77u - 14u + 2u);
    std::vector<uint32_t> indices;
    for (uint32_t i = 0; i <= 300; ++i) {
        indices.push_back(i);
    }
    for (uint32_t i : {511u, 0x100FEu, 0x100FFu, 0xFFFFFFFFu}) {
        indices.push_back(i);
    }
    for (uint32_t i : indices) {
        SENSOR_CALIB_t c = random_record(rng);
        const SENSOR_CALIB_t before = c;
        uint32_t v = static_cast<uint32_t>(rng());
        const auto it = offsets.find(i);
        if (it == offsets.end()) {
            EXPECT_FALSE(calib_set_value(&c, idx(i), &v)) << i;
            EXPECT_EQ(std::memcmp(&c, &before, sizeof c), 0) << i;
            EXPECT_EQ(calib_get_value(&c, idx(i)), 0u) << i;
            continue;
        }
        ASSERT_TRUE(calib_set_value(&c, idx(i), &v)) << i;
        SENSOR_CALIB_t expected = before;
        std::memcpy(reinterpret_cast<uint8_t*>(&expected) + it->second, &v, 4);
        EXPECT_EQ(std::memcmp(&c, &expected, sizeof c), 0) << i;
        EXPECT_EQ(calib_get_value(&c, idx(i)), v) << i;
    }
}

TEST(CalibValues, NamedFields)
{
    SENSOR_CALIB_t c{};
    auto put = [&](uint32_t i, float f) {
        uint32_t bits = std::bit_cast<uint32_t>(f);
        ASSERT_TRUE(calib_set_value(&c, idx(i), &bits)) << i;
    };
    put(LSM_ACC_OFFSET_X_INDEX, 1.0f);
    EXPECT_EQ(c.LSM_CAL.acc_offset.x, 1.0f);
    EXPECT_EQ(calib_get_value(&c, LSM_ACC_OFFSET_X_INDEX), 0x3F800000u);
    put(MMC_INITIAL_A_MATRIX_1_0_index, 2.0f);
    put(MMC_INITIAL_A_MATRIX_0_1_index, 3.0f);
    EXPECT_EQ(c.MMC_INITIAL_CAL.A_matrix.matrix[1][0], 2.0f);
    EXPECT_EQ(c.MMC_INITIAL_CAL.A_matrix.matrix[0][1], 3.0f);
    put(LIS_MAG_BIAS_2_1_index, 4.0f);
    EXPECT_EQ(c.LIS_CAL.A_matrix.matrix[2][1], 4.0f);
    put(AUAV_STATIC_OFFSET_INDEX, -5.5f);
    EXPECT_EQ(calib_get_value(&c, AUAV_STATIC_OFFSET_INDEX), std::bit_cast<uint32_t>(-5.5f));
    c.LSM_CAL.acc_offset_crc = 0xCAFEF00Du;
    EXPECT_EQ(calib_get_value(&c, LSM_ACC_OFFSET_CHKSUM_INDEX), 0xCAFEF00Du);
}

} // namespace
