// Length codes and identifier comparison of the frame record.
#include <gtest/gtest.h>

#include "efis_shared/comms_types.h"

namespace {

// CAN-FD data length per code; anything above 15 is not a code.
constexpr uint8_t kCodeBytes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

TEST(FrameLength, PayloadBytesOfEveryCode)
{
    for (int code = 0; code <= 255; ++code) {
        const uint8_t expected = code < 16 ? kCodeBytes[code] : 0;
        EXPECT_EQ(can_msg_payload_len(static_cast<CAN_MSG_LEN_t>(code)), expected) << "code " << code;
    }
}

TEST(FrameLength, SmallestCodeHoldingEveryCount)
{
    for (int n = 0; n <= 255; ++n) {
        const int need = n > 64 ? 64 : n;
        int smallest = 0;
        while (kCodeBytes[smallest] < need) {
            ++smallest;
        }
        EXPECT_EQ(can_msg_len_from_payload(static_cast<uint8_t>(n)), smallest) << "count " << n;
    }
    EXPECT_EQ(can_msg_len_from_payload(9), CAN_12_BYTES);
}

TEST(FrameLength, CodeRoundTrip)
{
    for (int code = 0; code < 16; ++code) {
        EXPECT_EQ(can_msg_len_from_payload(can_msg_payload_len(static_cast<CAN_MSG_LEN_t>(code))), code);
    }
}

TEST(FrameIdentifier, ComparesOnlyStandardBits)
{
    EXPECT_TRUE(std_can_id_matches(0x923, 0x123));
    EXPECT_TRUE(std_can_id_matches(0xFFFFF810, 0x010));
    EXPECT_TRUE(std_can_id_matches(0x800, 0x000));
    EXPECT_FALSE(std_can_id_matches(0x124, 0x123));
    EXPECT_FALSE(std_can_id_matches(0x523, 0x123));
    EXPECT_FALSE(std_can_id_matches(0x7FF, 0x3FF));
}

} // namespace
