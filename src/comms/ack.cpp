#include <chrono>
#include <cstring>

#include "comms/comms.h"
#include "comms/device_log.h"

namespace {

enum class ReadOutcome { Frame, Timeout, Error, DeadlinePassed };

// One read of the shared waiting loop. The overall deadline keeps a unit that chatters without
// pause from holding a wait forever; it ends the wait like a read that brought nothing.
ReadOutcome next_frame(CommsManager* comms, std::chrono::steady_clock::time_point deadline, COMMS_MSG_t* frame)
{
    if (std::chrono::steady_clock::now() >= deadline) {
        return ReadOutcome::DeadlinePassed;
    }
    std::memset(frame, 0, sizeof *frame);
    const int n = comms->read(frame);
    if (n == 0) {
        return ReadOutcome::Timeout;
    }
    if (n < 0) {
        return ReadOutcome::Error;
    }
    return ReadOutcome::Frame;
}

std::chrono::steady_clock::time_point wait_deadline()
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(kAckWaitDeadlineMs);
}

uint32_t le32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Logs the general wait's read failure; false when the wait must end.
bool general_read_ok(ReadOutcome r)
{
    if (r == ReadOutcome::Error) {
        device_log("Error reading ACK from device.\n");
        return false;
    }
    if (r != ReadOutcome::Frame) {
        device_log("No ACK received from device (timeout or no data).\n");
        return false;
    }
    return true;
}

bool mx25_read_ok(ReadOutcome r)
{
    if (r == ReadOutcome::Error) {
        device_log("wait_for_mx25_ack: Error reading response from device.\n");
        return false;
    }
    if (r != ReadOutcome::Frame) {
        device_log("wait_for_mx25_ack: No response received (timeout or no data).\n");
        return false;
    }
    return true;
}

void store_mx25_fields(const COMMS_MSG_t& f, uint8_t* op_type_out, uint32_t* address_out)
{
    if (op_type_out != nullptr) {
        *op_type_out = f.data[0];
    }
    if (address_out != nullptr) {
        *address_out = le32(f.data + 1);
    }
}

} // namespace

bool wait_for_ack(CommsManager* comms, uint32_t expected_can_id)
{
    if (comms == nullptr || !comms->isConnected()) {
        return false;
    }
    if (device_ack_payload_format() == Legacy6Byte) {
        return wait_for_ack_legacy(comms, expected_can_id);
    }
    return wait_for_ack_compact(comms, expected_can_id);
}

bool wait_for_ack_legacy(CommsManager* comms, uint32_t expected_can_id)
{
    if (comms == nullptr) {
        return false;
    }
    LinkHold lock = comms->hold();
    const uint32_t ack_id = canmsg_ack();
    const auto deadline = wait_deadline();
    COMMS_MSG_t f;
    for (;;) {
        if (!general_read_ok(next_frame(comms, deadline, &f))) {
            return false;
        }
        if (f.can_ID != ack_id) {
            continue; // LEGACY_CANMSG_NACK included: only the acknowledgement itself decides
        }
        if (f.msg_len != CAN_6_BYTES) {
            device_log("ACK validation failed: msg_len mismatch (expected CAN_6_BYTES, got 0x%02X)\n", f.msg_len);
            return false;
        }
        const uint32_t acked = le32(f.data);
        if (acked != expected_can_id) {
            device_log("ACK validation failed: data can_ID mismatch (expected 0x%08X, got 0x%08X)\n", expected_can_id,
                       acked);
            return false;
        }
        if (f.data[4] == kProtocolTag[0] && f.data[5] == kProtocolTag[1]) {
            return true;
        }
        device_log("ACK validation failed: data[4-5] mismatch (expected 0xEF 0x15, got 0x%02X 0x%02X)\n", f.data[4],
                   f.data[5]);
        return false;
    }
}

bool wait_for_ack_compact(CommsManager* comms, uint32_t expected_can_id)
{
    if (comms == nullptr) {
        return false;
    }
    LinkHold lock = comms->hold();
    const uint16_t expected16 = static_cast<uint16_t>(expected_can_id & 0xFFFFu);
    const uint32_t ack_id = canmsg_ack();
    const auto deadline = wait_deadline();
    COMMS_MSG_t f;
    for (;;) {
        if (!general_read_ok(next_frame(comms, deadline, &f))) {
            return false;
        }
        if (f.can_ID != ack_id) {
            continue;
        }
        if (f.msg_len != CAN_4_BYTES) {
            device_log("ACK validation failed: msg_len mismatch (expected CAN_4_BYTES, got 0x%02X)\n", f.msg_len);
            return false;
        }
        const uint16_t acked = static_cast<uint16_t>(f.data[1] | (f.data[2] << 8));
        if (acked != expected16) {
            device_log("ACK validation failed: payload can_ID mismatch (expected 0x%03X, got 0x%03X)\n", expected16,
                       acked);
            return false;
        }
        const uint8_t status = f.data[3];
        if (status == ACK) {
            return true;
        }
        if (status == NACK) {
            device_log("NACK received for command CAN ID 0x%03X.\n", acked);
        } else {
            device_log("ACK validation failed: invalid status byte %u (expected 0 or 1)\n", status);
        }
        return false;
    }
}

bool wait_for_mx25_ack(CommsManager* comms, uint8_t* op_type_out, uint32_t* address_out)
{
    if (comms == nullptr || !comms->isConnected()) {
        return false;
    }
    if (!device_firmware_at_least_0_2_12()) {
        return wait_for_mx25_ack_legacy(comms, op_type_out, address_out);
    }
    return wait_for_mx25_ack_unified(comms, op_type_out, address_out);
}

bool wait_for_mx25_ack_legacy(CommsManager* comms, uint8_t* op_type_out, uint32_t* address_out)
{
    if (comms == nullptr) {
        return false;
    }
    LinkHold lock = comms->hold();
    const uint32_t ack_id = canmsg_mx25_ack();
    const uint32_t nack_id = canmsg_mx25_nack_wire_id();
    const auto deadline = wait_deadline();
    COMMS_MSG_t f;
    for (;;) {
        if (!mx25_read_ok(next_frame(comms, deadline, &f))) {
            return false;
        }
        // Codes above 15 carry no payload, so they cannot hold the operation and address.
        if (f.can_ID == ack_id && can_msg_payload_len(f.msg_len) >= 5) {
            store_mx25_fields(f, op_type_out, address_out);
            return true;
        }
        if (f.can_ID == nack_id) {
            device_log("wait_for_mx25_ack: Operation failed (MX25 NACK)\n");
            return false;
        }
    }
}

bool wait_for_mx25_ack_unified(CommsManager* comms, uint8_t* op_type_out, uint32_t* address_out)
{
    if (comms == nullptr) {
        return false;
    }
    LinkHold lock = comms->hold();
    const uint32_t ack_id = canmsg_mx25_ack();
    const auto deadline = wait_deadline();
    COMMS_MSG_t f;
    for (;;) {
        if (!mx25_read_ok(next_frame(comms, deadline, &f))) {
            return false;
        }
        if (f.can_ID != ack_id || f.msg_len != CAN_6_BYTES) {
            continue;
        }
        // Handed back before the status is judged, so a caller sees what a refusal was about.
        store_mx25_fields(f, op_type_out, address_out);
        const uint8_t status = f.data[5];
        if (status == ACK) {
            return true;
        }
        if (status == NACK) {
            device_log("wait_for_mx25_ack: MX25 NACK (op=0x%02X)\n", f.data[0]);
        } else {
            device_log("wait_for_mx25_ack: invalid status byte %u (expected 0 or 1)\n", status);
        }
        return false;
    }
}
