// Indexed access to the settings and calibration records. Every settings index writes exactly its
// field in the unit's encoding and refreshes the checksum; each calibration index reaches exactly
// one 32-bit field; unknown indices (for calibration also the installation block and the unused
// range) are refused and leave the record alone.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "efis_shared/get_set.h"

namespace {

struct Slot {
    size_t offset;
    size_t width;
    bool msb_first = false; // registration words: first character in the top byte
};

// Where each index lives in the 128-byte record, as the unit lays it out: {offset, width}.
std::map<uint32_t, Slot> slots()
{
    // clang-format off
    std::map<uint32_t, Slot> m = {
        {0, {16, 4}},  {1, {20, 1}},  {2, {21, 1}},  {3, {22, 1}},  {4, {23, 1}},  {5, {24, 1}},  {6, {25, 1}},
        {7, {26, 1}},  {8, {27, 1}},  {9, {28, 2}},  {10, {30, 2}}, {11, {32, 4, true}}, {12, {36, 4, true}},
        {13, {40, 4, true}}, {25, {88, 4}}, {26, {92, 4}}, {27, {96, 2}}, {28, {98, 2}},
        {252, {0, 4}}, {253, {4, 4}}, {254, {8, 4}}, {255, {12, 4}}};
    // clang-format on
    for (uint32_t i = 14; i <= 24; ++i) { // colours and brightness
        m[i] = {44 + 4 * (i - 14), 4};
    }
    for (uint32_t i = 29; i <= 35; ++i) {
        m[i] = {100 + 4 * (i - 29), 4};
    }
    return m;
}

bool set(Settings_t& s, uint32_t index, uint32_t value)
{
    return settings_set_value(&s, static_cast<settings_struct_index>(index), &value);
}

uint32_t get(const Settings_t& s, uint32_t index)
{
    return settings_get_value(&s, static_cast<settings_struct_index>(index));
}

TEST(SettingsValues, EveryIndexWritesExactlyItsField)
{
    std::mt19937 rng(1);
    const auto all = slots();
    ASSERT_EQ(all.size(), 40u);
    std::vector<uint32_t> indices = {256 + 252, 0x10000, 0xFFFFFFFF};
    for (uint32_t i = 0; i <= 300; ++i) {
        indices.push_back(i);
    }
    for (uint32_t index : indices) {
        uint8_t before[sizeof(Settings_t)], after[sizeof(Settings_t)];
        for (auto& b : before) {
            b = static_cast<uint8_t>(rng());
        }
        before[3] &= 0x7F; // crc32 not erased
        Settings_t s;
        std::memcpy(&s, before, sizeof s);
        const uint32_t v = static_cast<uint32_t>(rng());
        const auto it = all.find(index);
        ASSERT_EQ(set(s, index, v), it != all.end()) << index;
        std::memcpy(after, &s, sizeof s);
        if (it == all.end()) { // unknown: the record, checksum included, is untouched
            EXPECT_EQ(std::memcmp(after, before, sizeof s), 0) << index;
            EXPECT_EQ(get(s, index), 0xFFFFFFFFu) << index;
            continue;
        }
        const Slot& slot = it->second;
        for (size_t b = 4; b < sizeof s; ++b) { // bytes 0-3 hold the refreshed checksum
            const size_t k = b - slot.offset;
            const bool in_field = b >= slot.offset && k < slot.width;
            const size_t shift = 8 * (slot.msb_first ? slot.width - 1 - k : k);
            ASSERT_EQ(after[b], in_field ? static_cast<uint8_t>(v >> shift) : before[b]) << index << " byte " << b;
        }
        EXPECT_EQ(s.crc32, settings_CalcCRC(&s)) << index;
        const uint32_t mask = slot.width == 4 ? 0xFFFFFFFFu : (1u << (8 * slot.width)) - 1;
        EXPECT_EQ(get(s, index), index == SETTINGS_CHECKSUM_INDEX ? s.crc32 : v & mask) << index;
    }
}

TEST(SettingsValues, ChecksumAfterSet)
{
    Settings_t s{};
    s.num_elements = 31;
    s.crc32 = 0xFFFFFFFFu; // erased: the first set yields 0, the next one a real checksum
    ASSERT_TRUE(set(s, VNE_INDEX, 120));
    EXPECT_EQ(s.crc32, 0u);
    ASSERT_TRUE(set(s, VNE_INDEX, 121));
    EXPECT_EQ(s.crc32, settings_CalcCRC(&s));
    EXPECT_NE(s.crc32, 0u);
    ASSERT_TRUE(set(s, SETTINGS_CHECKSUM_INDEX, 0xFFFFFFFFu)); // the erased mark, through its index
    EXPECT_EQ(s.crc32, 0u);
    ASSERT_TRUE(set(s, PITCH_CORRECTION_INDEX, 0x7F800001u)); // a float word keeps every bit, even a
    EXPECT_EQ(get(s, PITCH_CORRECTION_INDEX), 0x7F800001u);   // signalling NaN's
}

// Byte offset of the field behind each index, as the unit lays out the record. Matrix indices run
// down the columns.
std::map<uint32_t, size_t> calib_offsets()
{
    std::map<uint32_t, size_t> m = {{0, 4}, {26, 108}, {54, 164}, {254, 0}, {255, 256}};
    for (uint32_t k = 0; k < 9; ++k) { // the two 3x3 matrices
        m[17 + k] = 72 + 4 * (3 * (k % 3) + k / 3);
        m[45 + k] = 128 + 4 * (3 * (k % 3) + k / 3);
    }
    for (uint32_t i = 1; i <= 16; ++i) {
        m[i] = 8 + 4 * (i - 1);
    }
    for (uint32_t i = 41; i <= 44; ++i) {
        m[i] = 112 + 4 * (i - 41);
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

} // namespace
