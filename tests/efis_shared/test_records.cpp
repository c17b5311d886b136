// The record layer against the unit's facts written out here: frame length
// codes and identifiers, the checksum (reference values, an independent
// bytewise CRC-32/MPEG-2), and where each settings and calibration index lives.
// The virtual unit shares this layer: only these tests see it fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "efis_shared/comms_types.h"
#include "efis_shared/crc.h"
#include "efis_shared/get_set.h"

namespace {

// CAN-FD data length per code; nothing above 15 is a code.
constexpr uint8_t kCodeBytes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

TEST(Frame, LengthCodesAndIdentifiers)
{
    for (int code = 0; code <= 255; ++code) {
        EXPECT_EQ(can_msg_payload_len(static_cast<CAN_MSG_LEN_t>(code)), code < 16 ? kCodeBytes[code] : 0) << code;
    }
    for (int n = 0; n <= 255; ++n) { // the smallest code that holds n bytes, 64 at most
        int smallest = 0;
        while (kCodeBytes[smallest] < std::min(n, 64)) {
            ++smallest;
        }
        EXPECT_EQ(can_msg_len_from_payload(static_cast<uint8_t>(n)), smallest) << n;
    }
    // Identifiers compare on their 11 standard bits.
    EXPECT_TRUE(std_can_id_matches(0x923, 0x123) && std_can_id_matches(0xFFFFF810, 0x010));
    EXPECT_FALSE(std_can_id_matches(0x124, 0x123) || std_can_id_matches(0x523, 0x123));
}

// Bytewise CRC-32/MPEG-2 (poly 0x04C11DB7, init all ones, unreflected, no final
// xor) over the words' bytes, most significant first.
uint32_t mpeg2(const uint32_t* words, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < 4 * n; ++i) {
        crc ^= ((words[i / 4] >> (24 - 8 * (i % 4))) & 0xFFu) << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return crc;
}

// The settings checksum covers num_elements words from the magic (31 at most:
// the record holds no more, and the sanitizer build catches a read past it); an
// erased record's is 0.
TEST(Crc, ReferenceValuesAndTheSettingsRecord)
{
    const uint32_t zero[] = {0}, digits[] = {0x31323334, 0x35363738}; // "12345678"
    EXPECT_EQ(EFIS_crc(zero, 1), 0xC704DD7Bu);
    EXPECT_EQ(EFIS_crc(digits, 2), 0x49E3C2FBu);
    EXPECT_EQ(mpeg2(digits, 2), 0x49E3C2FBu); // the reference itself is right

    std::mt19937 rng(7);
    uint32_t w[32];
    Settings_t s;
    for (const uint32_t count : {0u, 1u, 5u, 30u, 31u, 32u, 1000u, 0xFFFFFFFFu}) {
        std::generate(std::begin(w), std::end(w), [&] { return static_cast<uint32_t>(rng()); });
        w[0] &= 0x7FFFFFFFu; // not erased
        w[3] = count;        // num_elements, itself covered
        std::memcpy(&s, w, sizeof s);
        EXPECT_EQ(settings_CalcCRC(&s), mpeg2(w + 1, std::min(count, 31u))) << count;
    }
    s.crc32 = 0xFFFFFFFFu;
    EXPECT_EQ(settings_CalcCRC(&s), 0u);
}

// Where indices first..last live in a record, from `offset` on, `width` bytes
// each.
struct Fields {
    uint32_t first, last;
    size_t offset, width = 4;
    bool msb_first = false; // registration words: first character in the top byte
    bool columns = false;   // a 3x3 matrix whose indices run down the columns
};
// As the unit lays out its records.
const std::vector<Fields> kSettings = {{0, 0, 16},   {1, 8, 20, 1}, {9, 10, 28, 2},  {11, 13, 32, 4, true},
                                       {14, 24, 44}, {25, 26, 88},  {27, 28, 96, 2}, {29, 35, 100},
                                       {252, 255, 0}};
const std::vector<Fields> kCalibration = {{0, 0, 4},      {1, 16, 8},    {17, 25, 72, 4, false, true},
                                          {26, 26, 108},  {41, 44, 112}, {45, 53, 128, 4, false, true},
                                          {54, 54, 164},  {55, 76, 168}, {254, 254, 0},
                                          {255, 255, 256}};

// The field behind an index; width 0 when there is none.
Fields field_of(const std::vector<Fields>& layout, uint32_t index)
{
    for (const Fields& f : layout) {
        if (index >= f.first && index <= f.last) {
            const size_t k = index - f.first;
            return {index, index, f.offset + f.width * (f.columns ? 3 * (k % 3) + k / 3 : k), f.width, f.msb_first};
        }
    }
    return {index, index, 0, 0};
}

// Every index in 0..300 and some beyond a byte. Known ones write exactly their field in the unit's
// encoding (settings: and refresh the checksum); others are refused and leave the record alone.
std::vector<uint32_t> indices_to_try()
{
    std::vector<uint32_t> v = {256 + 252, 0x100FE, 0x100FF, 0xFFFFFFFF};
    for (uint32_t i = 0; i <= 300; ++i) {
        v.push_back(i);
    }
    return v;
}

// A record of random bytes, kept in `bytes` too.
template <class Record> Record random_record(std::mt19937& rng, uint8_t (&bytes)[sizeof(Record)])
{
    std::generate(std::begin(bytes), std::end(bytes), [&] { return static_cast<uint8_t>(rng()); });
    Record r;
    std::memcpy(&r, bytes, sizeof r);
    return r;
}

TEST(SettingsValues, EveryIndexWritesExactlyItsField)
{
    std::mt19937 rng(1);
    for (const uint32_t index : indices_to_try()) {
        uint8_t before[sizeof(Settings_t)], after[sizeof(Settings_t)];
        Settings_t s = random_record<Settings_t>(rng, before);
        before[3] &= 0x7F; // crc32 not erased
        s.crc32 &= 0x7FFFFFFFu;
        uint32_t v = static_cast<uint32_t>(rng());
        const Fields slot = field_of(kSettings, index);
        const auto i = static_cast<settings_struct_index>(index);
        ASSERT_EQ(settings_set_value(&s, i, &v), slot.width != 0) << index;
        std::memcpy(after, &s, sizeof s);
        if (slot.width == 0) {
            EXPECT_EQ(std::memcmp(after, before, sizeof s), 0) << index;
            EXPECT_EQ(settings_get_value(&s, i), 0xFFFFFFFFu) << index;
            continue;
        }
        for (size_t b = 4; b < sizeof s; ++b) { // bytes 0-3 hold the refreshed checksum
            const size_t k = b - slot.offset;
            const bool in_field = b >= slot.offset && k < slot.width;
            const size_t shift = 8 * (slot.msb_first ? slot.width - 1 - k : k);
            ASSERT_EQ(after[b], in_field ? static_cast<uint8_t>(v >> shift) : before[b]) << index << " byte " << b;
        }
        EXPECT_EQ(s.crc32, settings_CalcCRC(&s)) << index;
        const uint32_t mask = slot.width == 4 ? 0xFFFFFFFFu : (1u << (8 * slot.width)) - 1;
        EXPECT_EQ(settings_get_value(&s, i), index == SETTINGS_CHECKSUM_INDEX ? s.crc32 : v & mask) << index;
    }
}

TEST(CalibValues, EachIndexChangesExactlyItsField)
{
    std::mt19937 rng(5);
    for (const uint32_t i : indices_to_try()) {
        uint8_t bytes[sizeof(SENSOR_CALIB_t)];
        SENSOR_CALIB_t c = random_record<SENSOR_CALIB_t>(rng, bytes);
        uint32_t v = static_cast<uint32_t>(rng());
        const Fields field = field_of(kCalibration, i);
        const auto index = static_cast<sensor_calib_struct_index>(i);
        EXPECT_EQ(calib_set_value(&c, index, &v), field.width != 0) << i;
        EXPECT_EQ(calib_index_has_field(i), field.width != 0) << i;
        std::memcpy(bytes + field.offset, &v, field.width);
        EXPECT_EQ(std::memcmp(&c, bytes, sizeof c), 0) << i;
        EXPECT_EQ(calib_get_value(&c, index), field.width != 0 ? v : 0u) << i;
    }
}

} // namespace
