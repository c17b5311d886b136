// Indexed access to the calibration record: each index reaches exactly one 32-bit field; the
// installation block, the unused range and anything above 255 are refused.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <map>
#include <random>

#include "efis_shared/get_set.h"

namespace {

// Byte offset of the field behind each index, as the unit lays out the record. Matrix indices run
// down the columns.
std::map<uint32_t, size_t> calib_offsets()
{
    std::map<uint32_t, size_t> m = {{0, 4}, {26, 108}, {54, 164}, {254, 0}, {255, 256}};
    const size_t mmc[9] = {72, 84, 96, 76, 88, 100, 80, 92, 104};
    const size_t lis[9] = {128, 140, 152, 132, 144, 156, 136, 148, 160};
    for (uint32_t k = 0; k < 9; ++k) {
        m[17 + k] = mmc[k];
        m[45 + k] = lis[k];
    }
    for (uint32_t i = 1; i <= 12; ++i) {
        m[i] = 8 + 4 * (i - 1);
    }
    for (uint32_t i = 0; i < 4; ++i) {
        m[13 + i] = 56 + 4 * i;
        m[41 + i] = 112 + 4 * i;
    }
    for (uint32_t i = 55; i <= 76; ++i) {
        m[i] = 168 + 4 * (i - 55); // pressure offsets, both coefficient sets and the OAT words
    }
    return m;
}

TEST(CalibValues, EachIndexChangesExactlyItsField)
{
    std::mt19937 rng(5);
    const auto offsets = calib_offsets();
    std::vector<uint32_t> indices = {511, 0x100FE, 0x100FF, 0xFFFFFFFF};
    for (uint32_t i = 0; i <= 300; ++i) {
        indices.push_back(i);
    }
    for (uint32_t i : indices) {
        uint8_t bytes[sizeof(SENSOR_CALIB_t)];
        for (auto& b : bytes) {
            b = static_cast<uint8_t>(rng());
        }
        SENSOR_CALIB_t c;
        std::memcpy(&c, bytes, sizeof c);
        uint32_t v = static_cast<uint32_t>(rng());
        const auto it = offsets.find(i);
        const auto index = static_cast<sensor_calib_struct_index>(i);
        EXPECT_EQ(calib_set_value(&c, index, &v), it != offsets.end()) << i;
        if (it != offsets.end()) {
            std::memcpy(bytes + it->second, &v, 4);
        }
        EXPECT_EQ(std::memcmp(&c, bytes, sizeof c), 0) << i;
        EXPECT_EQ(calib_get_value(&c, index), it != offsets.end() ? v : 0u) << i;
    }
}

TEST(CalibValues, FloatsByBitPattern)
{
    SENSOR_CALIB_t c{};
    uint32_t one = 0x3F800000, two = std::bit_cast<uint32_t>(2.0f);
    ASSERT_TRUE(calib_set_value(&c, LSM_ACC_OFFSET_X_INDEX, &one));
    EXPECT_EQ(c.LSM_CAL.acc_offset.x, 1.0f);
    ASSERT_TRUE(calib_set_value(&c, MMC_INITIAL_A_MATRIX_1_0_index, &two));
    EXPECT_EQ(c.MMC_INITIAL_CAL.A_matrix.matrix[1][0], 2.0f);
    c.AUAV_CAL.static_offset = -5.5f;
    EXPECT_EQ(calib_get_value(&c, AUAV_STATIC_OFFSET_INDEX), std::bit_cast<uint32_t>(-5.5f));
}

} // namespace
