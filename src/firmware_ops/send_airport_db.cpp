#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "firmware_ops/firmware_ops.h"
#include "firmware_ops/transfer_io.h"

using namespace transfer_detail;

TransferResult send_airport_db(CommsManager* comms, const char* db_file_path, fw_progress_callback_t progress_cb,
                               void* user_data)
{
    if (comms == nullptr || !comms->isConnected()) {
        device_log("send_airport_db: CommsManager not connected\n");
        return run_ended(TransferStep::NotConnected);
    }
    if (db_file_path == nullptr) {
        device_log("send_airport_db: Invalid file path\n");
        return run_ended(TransferStep::InvalidPath);
    }

    File file(fopen(db_file_path, "rb"));
    if (file.get() == nullptr) {
        device_log("send_airport_db: Failed to open file %s: %s\n", db_file_path, strerror(errno));
        return run_ended(TransferStep::FileOpen);
    }
    uint64_t size = 0;
    const char* failed_call = nullptr;
    if (!stream_size(file.get(), &size, &failed_call)) {
        if (std::strcmp(failed_call, "seek") == 0) {
            device_log("send_airport_db: Failed to seek end of file: %s\n", strerror(errno));
        } else {
            device_log("send_airport_db: ftell failed: %s\n", strerror(errno));
        }
        return run_ended(TransferStep::FileSize);
    }
    if (size == 0) {
        device_log("send_airport_db: File is empty\n");
        return run_ended(TransferStep::EmptyFile);
    }

    // Sized in 64 bits so that no file is ever mistaken for a small one by wrapping around.
    const uint64_t blocks = blocks_for(size, MX25_BLOCK_SIZE);
    if (!airport_db_fits(size)) {
        device_log("send_airport_db: File too large (%u bytes, %u blocks); max %u blocks before firmware bank\n",
                   static_cast<uint32_t>(size > 0xFFFFFFFFu ? 0xFFFFFFFFu : size),
                   static_cast<uint32_t>(blocks > 0xFFFFFFFFu ? 0xFFFFFFFFu : blocks), AIRPORT_DB_MAX_BLOCKS);
        return run_ended(TransferStep::TooLarge);
    }
    const uint32_t file_size = static_cast<uint32_t>(size);
    const uint32_t num_blocks = static_cast<uint32_t>(blocks);
    device_log("send_airport_db: %u bytes, erasing %u blocks starting at block 0 (address 0x%08X)\n", file_size,
               num_blocks, 0u);

    // One run owns the link from the close to the reopen.
    LinkHold lock = comms->hold();
    PacketPause pause;
    const uint32_t airport_db_op_id = canmsg_airport_db_op();

    device_log("send_airport_db: closing airport DB on device before flash update...\n");
    if (!send_airport_db_op(comms, AIRPORT_DB_OP_CLOSE)) {
        device_log("send_airport_db: close DB command failed, aborting\n");
        return run_ended(TransferStep::CloseDatabase, 0, file_size);
    }
    if (!wait_for_ack(comms, airport_db_op_id)) {
        device_log("send_airport_db: no ACK for close DB (expected CAN ID 0x%03X in ACK payload), aborting\n",
                   airport_db_op_id);
        return run_ended(TransferStep::CloseDatabase, 0, file_size);
    }
    device_log("send_airport_db: close DB acknowledged\n");
    std::this_thread::sleep_for(kAirportDbSettle);

    // A failed erase or address leaves the database closed: reopening a half-erased region would
    // hand the unit a corrupted database.
    for (uint32_t i = 0; i < num_blocks; ++i) {
        if (!mx25_erase(comms, OP_BLOCK_ERASE, static_cast<uint16_t>(i), progress_cb, user_data, i, num_blocks)) {
            device_log("send_airport_db: Erase of block %u failed; stopping, airport DB left closed\n", i);
            return run_ended(TransferStep::Erase, 0, file_size);
        }
    }

    device_log("send_airport_db: Erase complete, setting address 0x%08X and transferring data...\n", 0u);
    rewind(file.get());
    if (!set_mx25_addr(comms, 0)) {
        device_log("send_airport_db: Setting the write address failed; stopping, airport DB left closed\n");
        return run_ended(TransferStep::SetAddress, 0, file_size);
    }

    static const StreamLines kLines = {
        "send_airport_db: Unexpected EOF\n",
        "send_airport_db: fread error: %s\n",
        "send_airport_db: Failed to send packet %u\n",
        "send_airport_db: MX25 ACK failed at packet %u\n",
        "send_airport_db: Op type mismatch (expected OP_WRITE 0x%02X, got 0x%02X)\n",
        nullptr,
    };
    const StreamOutcome streamed = stream_data(comms, file.get(), file_size, progress_cb, user_data, kLines, pause);
    const uint32_t total_bytes_sent = streamed.bytes_sent;
    const uint32_t packet_count = streamed.packets;
    const TransferStep stop = streamed.stop;

    file.close();
    if (total_bytes_sent != file_size) {
        device_log("send_airport_db: Incomplete (%u / %u bytes); not sending open command\n", total_bytes_sent,
                   file_size);
        return run_ended(stop == TransferStep::Done ? TransferStep::DataWrite : stop, total_bytes_sent, file_size);
    }

    device_log("send_airport_db: Complete (%u bytes, %u packets)\n", total_bytes_sent, packet_count);
    device_log("send_airport_db: opening airport DB on device...\n");
    if (!send_airport_db_op(comms, AIRPORT_DB_OP_OPEN)) {
        // The unit is left without a database in use: not a finished transfer.
        device_log("send_airport_db: warning: open DB command failed; device may need a reconnect\n");
        return run_ended(TransferStep::ReopenDatabase, total_bytes_sent, file_size);
    }
    device_log_flush();
    return TransferResult{TransferStep::Done, total_bytes_sent, file_size};
}
