// The record checksum: fixed reference values, and agreement with an independent bytewise
// CRC-32/MPEG-2 (the form the unit's documentation gives) over random data.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "efis_shared/crc.h"
#include "efis_shared/get_set.h"

namespace {

// Bytewise CRC-32/MPEG-2: poly 0x04C11DB7, init 0xFFFFFFFF, not reflected, no final xor.
uint32_t mpeg2_bytes(const std::vector<uint8_t>& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : bytes) {
        crc ^= uint32_t{b} << 24;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return crc;
}

// Words enter the checksum most significant byte first.
std::vector<uint8_t> msb_first(const uint32_t* words, size_t n)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; ++i) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<uint8_t>(words[i] >> shift));
        }
    }
    return out;
}

TEST(Crc, ReferenceValues)
{
    EXPECT_EQ(EFIS_crc(nullptr, 0), 0xFFFFFFFFu);
    const uint32_t zero[] = {0};
    EXPECT_EQ(EFIS_crc(zero, 1), 0xC704DD7Bu);
    const uint32_t digits[] = {0x31323334, 0x35363738};
    EXPECT_EQ(EFIS_crc(digits, 2), 0x49E3C2FBu);
    const std::vector<uint8_t> ascii = {'1', '2', '3', '4', '5', '6', '7', '8'};
    EXPECT_EQ(mpeg2_bytes(ascii), 0x49E3C2FBu); // the reference itself is right
}

TEST(Crc, MatchesBytewiseMpeg2OverRandomWords)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 500; ++round) {
        std::vector<uint32_t> words(rng() % 65);
        for (auto& w : words) {
            w = static_cast<uint32_t>(rng());
        }
        ASSERT_EQ(EFIS_crc(words.data(), static_cast<uint32_t>(words.size())),
                  mpeg2_bytes(msb_first(words.data(), words.size())))
            << "round " << round;
    }
}

Settings_t random_record(std::mt19937& rng)
{
    uint32_t words[sizeof(Settings_t) / 4];
    for (auto& w : words) {
        w = static_cast<uint32_t>(rng());
    }
    words[0] &= 0x7FFFFFFFu; // not the erased marker
    Settings_t s;
    std::memcpy(&s, words, sizeof s);
    return s;
}

TEST(SettingsCrc, CoversNumElementsWordsFromMagic)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 100; ++round) {
        Settings_t s = random_record(rng);
        s.num_elements = static_cast<uint32_t>(rng() % 32);
        uint32_t words[sizeof(Settings_t) / 4];
        std::memcpy(words, &s, sizeof words);
        ASSERT_EQ(settings_CalcCRC(&s), mpeg2_bytes(msb_first(words + 1, s.num_elements))) << "round " << round;
    }
}

TEST(SettingsCrc, ErasedAndEmptyRecords)
{
    std::mt19937 rng(11);
    Settings_t s = random_record(rng);
    s.num_elements = 0;
    EXPECT_EQ(settings_CalcCRC(&s), 0xFFFFFFFFu);
    s.num_elements = 31;
    s.crc32 = 0xFFFFFFFFu;
    EXPECT_EQ(settings_CalcCRC(&s), 0u);
    s.num_elements = 0;
    EXPECT_EQ(settings_CalcCRC(&s), 0u);
}

// A count beyond the record must not reach past it (the sanitizer build checks the reads).
TEST(SettingsCrc, OversizedCountCoversWholeRecordOnly)
{
    std::mt19937 rng(13);
    Settings_t s = random_record(rng);
    for (uint32_t n : {32u, 33u, 1000u, 0x80000000u, 0xFFFFFFFFu}) {
        s.num_elements = n; // covered itself, so each count gives its own 31-word checksum
        uint32_t words[sizeof(Settings_t) / 4];
        std::memcpy(words, &s, sizeof words);
        EXPECT_EQ(settings_CalcCRC(&s), mpeg2_bytes(msb_first(words + 1, 31))) << n;
    }
}

} // namespace
