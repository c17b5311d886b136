// Length codes and identifier comparison of the frame record.
#include <gtest/gtest.h>

#include <algorithm>

#include "efis_shared/comms_types.h"

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
    EXPECT_TRUE(std_can_id_matches(0x923, 0x123));
    EXPECT_TRUE(std_can_id_matches(0xFFFFF810, 0x010));
    EXPECT_FALSE(std_can_id_matches(0x124, 0x123));
    EXPECT_FALSE(std_can_id_matches(0x523, 0x123));
}

} // namespace
