#include <chrono>
#include <cstring>

#include "comms/comms.h"
#include "comms/device_log.h"

namespace {

uint32_t request_id(target_comms_t src)
{
    return src == SETTINGS_COMMS ? canmsg_request_user_setting() : canmsg_request_sensor_calib();
}

uint32_t reply_id(target_comms_t src)
{
    return src == SETTINGS_COMMS ? canmsg_send_user_setting() : canmsg_send_sensor_calib();
}

uint32_t write_id(target_comms_t src)
{
    return src == SETTINGS_COMMS ? canmsg_set_user_setting() : canmsg_set_sensor_calib();
}

uint32_t store_id(target_comms_t src)
{
    return src == SETTINGS_COMMS ? canmsg_save_user_settings() : canmsg_save_sensor_calib();
}

// Sends a command and waits for the unit's general acknowledgement of it: 0, or -1.
int send_acknowledged(CommsManager* comms, const COMMS_MSG_t& msg)
{
    if (comms->write(msg) <= 0) {
        return -1;
    }
    return wait_for_ack(comms, msg.can_ID) ? 0 : -1;
}

constexpr auto kValueReplyDeadline = std::chrono::milliseconds(kValueReplyDeadlineMs);

} // namespace

bool read_value(CommsManager* comms, target_comms_t src, uint8_t index, uint32_t* value_out)
{
    if (comms == nullptr || !comms->isConnected()) {
        device_log("CommsManager not connected.\n");
        return false;
    }
    LinkHold lock = comms->hold();

    const uint32_t awaited = reply_id(src);
    COMMS_MSG_t req;
    std::memset(&req, 0, sizeof req);
    req.can_ID = request_id(src);
    req.msg_len = CAN_1_BYTES;
    req.data[0] = index;
    if (comms->write(req) <= 0) {
        device_log("Failed to send COMMS_MSG_t to device.\n");
        return false;
    }

    const auto deadline = std::chrono::steady_clock::now() + kValueReplyDeadline;
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            device_log("get_value: timeout waiting for response (expected CAN ID 0x%03X).\n", awaited);
            return false;
        }
        COMMS_MSG_t reply;
        std::memset(&reply, 0, sizeof reply);
        const int n = comms->read(&reply);
        if (n == 0) {
            device_log("No response received from device (timeout or no data).\n");
            return false;
        }
        if (n < 0) {
            device_log("Error reading response from device.\n");
            return false;
        }
        // Judged by the bytes the code carries: a code above 15 carries none, so a frame labelled
        // with one holds no value, only the zeros the transport filled in.
        if (can_msg_payload_len(reply.msg_len) < 4 || reply.can_ID != awaited) {
            continue;
        }
        uint32_t v;
        std::memcpy(&v, reply.data, 4);
        if (value_out != nullptr) {
            *value_out = v;
        }
        return true;
    }
}

uint32_t get_value(CommsManager* comms, target_comms_t src, uint8_t index)
{
    uint32_t v = 0;
    return read_value(comms, src, index, &v) ? v : 0xFFFFFFFFu;
}

int set_value(CommsManager* comms, target_comms_t src, uint8_t index, uint32_t value)
{
    if (comms == nullptr || !comms->isConnected()) {
        return -1;
    }
    LinkHold lock = comms->hold();
    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof msg);
    msg.can_ID = write_id(src);
    msg.msg_len = CAN_5_BYTES;
    msg.data[0] = index;
    std::memcpy(msg.data + 1, &value, 4);
    return send_acknowledged(comms, msg);
}

int store_value(CommsManager* comms, target_comms_t src, uint32_t crc)
{
    if (comms == nullptr || !comms->isConnected()) {
        return -1;
    }
    LinkHold lock = comms->hold();
    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof msg);
    msg.can_ID = store_id(src);
    msg.msg_len = CAN_4_BYTES;
    std::memcpy(msg.data, &crc, 4);
    return send_acknowledged(comms, msg);
}
