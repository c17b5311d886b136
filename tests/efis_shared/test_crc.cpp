// The record checksum: reference values, agreement with an independent bytewise CRC-32/MPEG-2 over
// random data, and the settings record's erased, empty and oversized cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "efis_shared/crc.h"
#include "efis_shared/get_set.h"

namespace {

// Bytewise CRC-32/MPEG-2 (poly 0x04C11DB7, init all ones, unreflected, no final xor) over the
// words' bytes, most significant first.
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

TEST(Crc, ReferenceValuesAndRandomWords)
{
    const uint32_t zero[] = {0};
    const uint32_t digits[] = {0x31323334, 0x35363738}; // "12345678"
    EXPECT_EQ(EFIS_crc(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(EFIS_crc(zero, 1), 0xC704DD7Bu);
    EXPECT_EQ(EFIS_crc(digits, 2), 0x49E3C2FBu);
    EXPECT_EQ(mpeg2(digits, 2), 0x49E3C2FBu); // the reference itself is right

    std::mt19937 rng(20240611);
    for (int round = 0; round < 500; ++round) {
        std::vector<uint32_t> words(rng() % 65);
        for (auto& w : words) {
            w = static_cast<uint32_t>(rng());
        }
        ASSERT_EQ(EFIS_crc(words.data(), static_cast<uint32_t>(words.size())), mpeg2(words.data(), words.size()));
    }
}

TEST(Crc, SettingsRecord)
{
    std::mt19937 rng(7);
    uint32_t w[32];
    Settings_t s;
    std::vector<uint32_t> counts = {1000, 0xFFFFFFFFu};
    for (uint32_t count = 0; count <= 40; ++count) {
        counts.push_back(count);
    }
    for (const uint32_t count : counts) {
        for (auto& x : w) {
            x = static_cast<uint32_t>(rng());
        }
        w[0] &= 0x7FFFFFFFu; // not erased
        w[3] = count;        // num_elements, itself covered
        std::memcpy(&s, w, sizeof s);
        // Counts beyond the record cover the whole record and no more (the sanitizer build
        // catches any read past it).
        EXPECT_EQ(settings_CalcCRC(&s), mpeg2(w + 1, std::min(count, 31u))) << count;
    }
    s.crc32 = 0xFFFFFFFFu; // erased, whatever the contents
    EXPECT_EQ(settings_CalcCRC(&s), 0u);
}

} // namespace
