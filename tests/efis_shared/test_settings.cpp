// Indexed access to the settings record: every index writes exactly its field in the unit's
// encoding, refreshes the checksum, and unknown indices leave the record alone.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "efis_shared/get_set.h"

namespace {

enum class Enc { Le, Be }; // registration words pack their bytes most significant first

struct Slot {
    uint32_t index;
    size_t offset;
    size_t width;
    Enc enc = Enc::Le;
};

// Where each index lives in the 128-byte record, as the unit lays it out.
std::vector<Slot> slots()
{
    std::vector<Slot> v = {{0, 16, 4},           {9, 28, 2},  {10, 30, 2}, {11, 32, 4, Enc::Be}, {12, 36, 4, Enc::Be},
                           {13, 40, 4, Enc::Be}, {25, 88, 4}, {26, 92, 4}, {27, 96, 2},          {28, 98, 2}};
    for (uint32_t i = 1; i <= 8; ++i) {
        v.push_back({i, 19 + i, 1});
    }
    for (uint32_t i = 14; i <= 24; ++i) {
        v.push_back({i, 44 + 4 * (i - 14), 4});
    }
    for (uint32_t i = 29; i <= 35; ++i) {
        v.push_back({i, 100 + 4 * (i - 29), 4});
    }
    for (uint32_t i = 252; i <= 255; ++i) {
        v.push_back({i, 4 * (i - 252), 4});
    }
    return v;
}

Settings_t random_record(std::mt19937& rng)
{
    Settings_t s;
    auto* b = reinterpret_cast<uint8_t*>(&s);
    for (size_t i = 0; i < sizeof s; ++i) {
        b[i] = static_cast<uint8_t>(rng());
    }
    s.crc32 &= 0x7FFFFFFFu; // not erased
    return s;
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
    for (const Slot& slot : all) {
        for (int round = 0; round < 8; ++round) {
            Settings_t s = random_record(rng);
            const Settings_t before = s;
            const uint32_t v = static_cast<uint32_t>(rng());
            ASSERT_TRUE(set(s, slot.index, v)) << slot.index;

            const auto* now = reinterpret_cast<const uint8_t*>(&s);
            const auto* old = reinterpret_cast<const uint8_t*>(&before);
            for (size_t b = 4; b < sizeof s; ++b) {
                if (b < slot.offset || b >= slot.offset + slot.width) {
                    ASSERT_EQ(now[b], old[b]) << "index " << slot.index << " touched byte " << b;
                    continue;
                }
                const size_t k = b - slot.offset;
                const size_t shift = 8 * (slot.enc == Enc::Le ? k : slot.width - 1 - k);
                ASSERT_EQ(now[b], static_cast<uint8_t>(v >> shift)) << "index " << slot.index << " byte " << b;
            }
            EXPECT_EQ(s.crc32, settings_CalcCRC(&s)) << slot.index;
            if (slot.index != SETTINGS_CHECKSUM_INDEX) {
                const uint32_t mask = slot.width == 4 ? 0xFFFFFFFFu : (1u << (8 * slot.width)) - 1;
                EXPECT_EQ(get(s, slot.index), v & mask) << slot.index;
            } else {
                EXPECT_EQ(get(s, slot.index), s.crc32);
            }
        }
    }
}

TEST(SettingsValues, UnknownIndicesLeaveRecordUntouched)
{
    std::mt19937 rng(2);
    for (uint32_t index : {36u, 37u, 100u, 251u, 256u, 257u, 256u + 252u, 511u, 0x10000u, 0xFFFFFFFFu}) {
        Settings_t s = random_record(rng);
        const Settings_t before = s;
        EXPECT_FALSE(set(s, index, 0x01020304u)) << index;
        EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0) << index;
        EXPECT_EQ(get(s, index), 0xFFFFFFFFu) << index;
    }
}

TEST(SettingsValues, FieldEncodings)
{
    Settings_t s{};
    ASSERT_TRUE(set(s, VMIN_INDEX, 0x1234));
    EXPECT_EQ(s.vspeeds.Vmin, 0x34);
    ASSERT_TRUE(set(s, MIN_VOLTS_INDEX, 0x12345));
    EXPECT_EQ(s.volt_warnings.min_volts, 0x2345);
    ASSERT_TRUE(set(s, UNITS_VALUE_INDEX, 0xABCDE152u)); // undefined high bits survive
    EXPECT_TRUE(s.units.unit_bits.is_knots && s.units.unit_bits.is_mbar && !s.units.unit_bits.is_mph);
    EXPECT_EQ(get(s, UNITS_VALUE_INDEX), 0xABCDE152u);

    // "N12345" travels as three words, first character most significant.
    const uint32_t reg[3] = {0x4E313233u, 0x34350000u, 0u};
    for (uint32_t k = 0; k < 3; ++k) {
        ASSERT_TRUE(set(s, REGISTRATION_1_INDEX + k, reg[k]));
    }
    EXPECT_EQ(std::memcmp(s.registration, "N12345\0\0\0\0\0\0", 12), 0);
    s.registration[1] = static_cast<char>(0xE9); // Latin-1 e-acute: bytes are unsigned
    EXPECT_EQ(get(s, REGISTRATION_1_INDEX), 0x4EE93233u);

    ASSERT_TRUE(set(s, ROLL_CORRECTION_INDEX, 0x3F800000u));
    EXPECT_EQ(s.roll_correction, 1.0f);
    // A signalling NaN keeps its exact bits: floats are copied, never converted.
    ASSERT_TRUE(set(s, PITCH_CORRECTION_INDEX, 0x7F800001u));
    EXPECT_EQ(get(s, PITCH_CORRECTION_INDEX), 0x7F800001u);
}

TEST(SettingsValues, ChecksumAfterSet)
{
    std::mt19937 rng(3);
    Settings_t s = random_record(rng);
    s.num_elements = 31;
    s.crc32 = 0xFFFFFFFFu; // erased: the first set yields 0, the next one a real checksum
    ASSERT_TRUE(set(s, VNE_INDEX, 120));
    EXPECT_EQ(s.crc32, 0u);
    ASSERT_TRUE(set(s, VNE_INDEX, 121));
    EXPECT_EQ(s.crc32, settings_CalcCRC(&s));
    EXPECT_NE(s.crc32, 0u);

    // A checksum written through its index is replaced by the record's own one at once.
    const uint32_t real = s.crc32;
    ASSERT_TRUE(set(s, SETTINGS_CHECKSUM_INDEX, 0x12345678u));
    EXPECT_EQ(s.crc32, real);
    ASSERT_TRUE(set(s, SETTINGS_CHECKSUM_INDEX, 0xFFFFFFFFu));
    EXPECT_EQ(s.crc32, 0u);
}

} // namespace
