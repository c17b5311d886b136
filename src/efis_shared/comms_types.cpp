#include "efis_shared/comms_types.h"

uint8_t can_msg_payload_len(CAN_MSG_LEN_t code)
{
    static constexpr uint8_t kBytes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    const uint8_t c = static_cast<uint8_t>(code);
    return c < 16 ? kBytes[c] : 0;
}

CAN_MSG_LEN_t can_msg_len_from_payload(uint8_t payload_bytes)
{
    if (payload_bytes > kCanMaxPayload) {
        payload_bytes = kCanMaxPayload;
    }
    return static_cast<CAN_MSG_LEN_t>(dlc_lookup[payload_bytes]);
}

bool std_can_id_matches(uint32_t response_can_id, uint32_t expected_can_id)
{
    return ((response_can_id ^ expected_can_id) & kCanStdIdMask) == 0;
}
