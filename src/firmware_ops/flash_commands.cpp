#include <cstring>

#include "comms/device_log.h"
#include "firmware_ops/firmware_ops.h"

namespace {

COMMS_MSG_t zeroed_frame(uint32_t id, CAN_MSG_LEN_t len)
{
    COMMS_MSG_t m;
    std::memset(&m, 0, sizeof m);
    m.can_ID = id;
    m.msg_len = len;
    return m;
}

} // namespace

bool send_airport_db_op(CommsManager* comms, uint8_t op_byte)
{
    COMMS_MSG_t m = zeroed_frame(canmsg_airport_db_op(), CAN_1_BYTES);
    m.data[0] = op_byte;
    const int ret = comms != nullptr ? comms->write(m) : -1;
    if (ret > 0) {
        device_log("send_airport_db_op: sent 0x%02X\n", op_byte);
        return true;
    }
    device_log("send_airport_db_op: write failed (op=0x%02X, ret=%d)\n", op_byte, ret);
    return false;
}

bool mx25_erase(CommsManager* comms, FlashOpType op_type, uint16_t block_or_sector, fw_progress_callback_t progress_cb,
                void* user_data, uint32_t current_block, uint32_t total_blocks)
{
    if (comms == nullptr || !comms->isConnected()) {
        device_log("mx25_erase: CommsManager not connected\n");
        return false;
    }
    LinkHold lock = comms->hold();

    COMMS_MSG_t m = zeroed_frame(canmsg_erase_mx25(), CAN_3_BYTES);
    m.data[0] = static_cast<uint8_t>(op_type & 0xFFu);
    m.data[1] = static_cast<uint8_t>(block_or_sector & 0xFFu);
    m.data[2] = static_cast<uint8_t>(block_or_sector >> 8);
    if (comms->write(m) <= 0) {
        device_log("mx25_erase: Failed to send erase command\n");
        return false;
    }
    device_log("mx25_erase: Successfully sent erase command (op_type=0x%02X, block/sector=%d)\n", op_type,
               static_cast<int>(block_or_sector));

    if (!wait_for_ack(comms, m.can_ID)) {
        device_log("mx25_erase: ACK validation failed\n");
        return false;
    }
    device_log("mx25_erase: ACK received, erase command acknowledged\n");

    // The second reply arrives once the erase has finished.
    uint8_t response_op_type = 0;
    uint32_t address = 0;
    if (!wait_for_mx25_ack(comms, &response_op_type, &address)) {
        device_log("mx25_erase: Erase operation failed or timeout\n");
        return false;
    }
    if (response_op_type != static_cast<uint8_t>(op_type & 0xFFu)) {
        device_log("mx25_erase: Op type mismatch in response (expected=0x%02X, got=0x%02X)\n", op_type,
                   response_op_type);
        return false;
    }

    uint32_t expected = 0;
    if (op_type == OP_SECTOR_ERASE) {
        expected = uint32_t{block_or_sector} * MX25_SECTOR_SIZE;
    } else if (op_type == OP_BLOCK_ERASE) {
        expected = uint32_t{block_or_sector} * MX25_BLOCK_SIZE;
    }
    if (op_type != OP_CHIP_ERASE && address != expected) {
        device_log("mx25_erase: Address mismatch (expected=0x%08X, got=0x%08X)\n", expected, address);
        return false;
    }

    device_log("mx25_erase: Erase completed successfully (address=0x%08X)\n", address);
    if (progress_cb != nullptr) {
        progress_cb(current_block + 1, total_blocks, kPhaseErase, user_data);
    }
    return true;
}

bool set_mx25_addr(CommsManager* comms, uint32_t address)
{
    if (comms == nullptr || !comms->isConnected()) {
        device_log("set_mx25_addr: CommsManager not connected\n");
        return false;
    }
    LinkHold lock = comms->hold();

    COMMS_MSG_t m = zeroed_frame(canmsg_set_addr_mx25(), CAN_4_BYTES);
    std::memcpy(m.data, &address, 4);
    if (comms->write(m) <= 0) {
        device_log("set_mx25_addr: Failed to send address\n");
        return false;
    }
    device_log("set_mx25_addr: Successfully sent address (0x%08X)\n", address);

    uint8_t response_op_type = 0;
    uint32_t response_address = 0;
    if (!wait_for_mx25_ack(comms, &response_op_type, &response_address)) {
        device_log("set_mx25_addr: Failed to receive acknowledgment or operation failed\n");
        return false;
    }
    if (response_op_type != OP_SETADDR) {
        device_log("set_mx25_addr: Op type mismatch (expected=OP_SETADDR/0x%02X, got=0x%02X)\n", OP_SETADDR,
                   response_op_type);
        return false;
    }
    if (response_address != address) {
        device_log("set_mx25_addr: Address mismatch (expected=0x%08X, got=0x%08X)\n", address, response_address);
        return false;
    }
    device_log("set_mx25_addr: Address set successfully (0x%08X)\n", address);
    return true;
}

mx25_partition get_mx25_partition(CommsManager* comms)
{
    if (comms == nullptr || !comms->isConnected()) {
        device_log("get_mx25_partition: CommsManager not connected\n");
        return partition_none;
    }
    LinkHold lock = comms->hold();

    const COMMS_MSG_t m = zeroed_frame(canmsg_get_partition(), CAN_0_BYTES);
    device_log("get_mx25_partition: Sending command - CAN_ID=0x%08X, msg_len=0x%02X\n", m.can_ID, 0);
    const int written = comms->write(m);
    if (written < 0) {
        device_log("get_mx25_partition: Failed to send get partition command (bytes_written=%d)\n", written);
        return partition_none;
    }
    device_log("get_mx25_partition: Successfully sent get partition command\n");

    if (!wait_for_ack(comms, m.can_ID)) {
        device_log("get_mx25_partition: ACK validation failed\n");
        return partition_none;
    }

    // Exactly one frame: the partition reply follows the acknowledgement directly.
    COMMS_MSG_t r;
    std::memset(&r, 0, sizeof r);
    const int n = comms->read(&r);
    if (n == 0) {
        device_log("get_mx25_partition: No response received (timeout or no data).\n");
        return partition_none;
    }
    if (n < 0) {
        device_log("get_mx25_partition: Error reading response from device (bytes_read=%d).\n", n);
        return partition_none;
    }

    const uint32_t ack_id = canmsg_mx25_ack();
    if (device_firmware_at_least_0_2_12()) {
        if (r.can_ID != ack_id || r.msg_len != CAN_6_BYTES) {
            device_log(
                "get_mx25_partition: Unexpected response (can_ID=0x%08X, msg_len=0x%02X, expected MX25 ACK len 6)\n",
                r.can_ID, r.msg_len);
            return partition_none;
        }
        if (r.data[5] == NACK) {
            device_log("get_mx25_partition: MX25 NACK\n");
            return partition_none;
        }
        if (r.data[5] != ACK) {
            device_log("get_mx25_partition: invalid MX25 status byte %u (expected 0 or 1)\n", r.data[5]);
            return partition_none;
        }
    } else if (r.can_ID != ack_id || r.msg_len <= CAN_4_BYTES) {
        if (r.can_ID == canmsg_mx25_nack_wire_id()) {
            device_log("get_mx25_partition: Operation failed (legacy MX25 NACK)\n");
        } else {
            device_log("get_mx25_partition: Unexpected response (can_ID=0x%08X, msg_len=0x%02X)\n", r.can_ID,
                       r.msg_len);
        }
        return partition_none;
    }

    uint32_t raw;
    std::memcpy(&raw, r.data + 1, 4);
    if (raw == partition_1 || raw == partition_2 || raw == partition_none) {
        device_log("get_mx25_partition: Partition retrieved successfully (partition=0x%02X, raw=0x%08X)\n", raw, raw);
        return static_cast<mx25_partition>(raw);
    }
    device_log("get_mx25_partition: Invalid partition value received (raw=0x%08X)\n", raw);
    return partition_none;
}

const char* transfer_step_text(TransferStep step)
{
    switch (step) {
    case TransferStep::Done:
        return "completed";
    case TransferStep::NotConnected:
        return "device not connected";
    case TransferStep::InvalidPath:
        return "no file given";
    case TransferStep::Partition:
        return "the unit named no usable firmware bank";
    case TransferStep::FileOpen:
        return "the file could not be opened";
    case TransferStep::FileSize:
        return "the file size could not be read";
    case TransferStep::EmptyFile:
        return "the file is empty";
    case TransferStep::HeaderRead:
        return "the file is too short for a firmware header";
    case TransferStep::TooLarge:
        return "the file is too large for its flash region";
    case TransferStep::TruncatedImage:
        return "the file is shorter than its header announces";
    case TransferStep::CloseDatabase:
        return "the unit did not confirm closing its airport database";
    case TransferStep::Erase:
        return "flash erase failed";
    case TransferStep::SetAddress:
        return "setting the flash write address failed";
    case TransferStep::HeaderWrite:
        return "the unit refused the firmware header";
    case TransferStep::DataWrite:
        return "a data packet was not acknowledged";
    case TransferStep::FileRead:
        return "reading the file failed";
    case TransferStep::UnexpectedEnd:
        return "the file ended early";
    case TransferStep::ReopenDatabase:
        return "the database was written but the unit could not be told to reopen it";
    }
    return "unknown failure";
}
