#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "firmware_ops/firmware_ops.h"
#include "firmware_ops/transfer_io.h"

using namespace transfer_detail;

namespace {

struct Bank {
    const char* name;
    uint32_t first_block;
};

} // namespace

TransferResult send_fw(CommsManager* comms, const char* encrypted_bin_file_path, fw_progress_callback_t progress_cb,
                       void* user_data)
{
    if (comms == nullptr || !comms->isConnected()) {
        device_log("send_fw: CommsManager not connected\n");
        return run_ended(TransferStep::NotConnected);
    }
    if (encrypted_bin_file_path == nullptr) {
        device_log("send_fw: Invalid encrypted file path\n");
        return run_ended(TransferStep::InvalidPath);
    }
    // One run owns the link from the partition query to the last packet.
    LinkHold lock = comms->hold();
    PacketPause pause;

    device_log("send_fw: Getting current MX25 partition...\n");
    const mx25_partition partition = get_mx25_partition(comms);
    Bank bank{};
    if (partition == partition_none) {
        device_log("send_fw: Invalid partition (partition_none), cannot proceed\n");
        return run_ended(TransferStep::Partition);
    } else if (partition == partition_1) {
        bank = {"partition_1 (BANK1)", FW_BANK1_FIRST_BLOCK};
    } else if (partition == partition_2) {
        bank = {"partition_2 (BANK2)", FW_BANK2_FIRST_BLOCK};
    } else {
        device_log("send_fw: Unknown partition value (0x%02X), cannot proceed\n", static_cast<uint32_t>(partition));
        return run_ended(TransferStep::Partition);
    }
    const uint32_t start_page = bank.first_block;
    device_log("send_fw: Using %s, starting at page %u\n", bank.name, start_page);

    File file(fopen(encrypted_bin_file_path, "rb"));
    if (file.get() == nullptr) {
        device_log("send_fw: Failed to open file %s: %s\n", encrypted_bin_file_path, strerror(errno));
        return run_ended(TransferStep::FileOpen);
    }

    uint8_t header_bytes[sizeof(firmware_header_t)];
    errno = 0;
    if (fread(header_bytes, 1, sizeof header_bytes, file.get()) != sizeof header_bytes) {
        device_log("send_fw: Failed to read firmware header from %s: %s\n", encrypted_bin_file_path,
                   errno != 0 ? strerror(errno) : "file shorter than the header");
        return run_ended(TransferStep::HeaderRead);
    }
    errno = 0;
    uint64_t file_size = 0;
    if (!stream_size(file.get(), &file_size)) {
        device_log("send_fw: Failed to determine the size of %s: %s\n", encrypted_bin_file_path,
                   errno != 0 ? strerror(errno) : "unknown error");
        return run_ended(TransferStep::FileSize);
    }
    // The same judgement the command line's image check makes, from the same header bytes.
    const FirmwareImageCheck check = check_firmware_image(header_bytes, sizeof header_bytes, file_size);
    if (!check.header_read) {
        // Shrunk between the read and the size query.
        device_log("send_fw: Failed to read firmware header from %s: file shorter than the header\n",
                   encrypted_bin_file_path);
        return run_ended(TransferStep::HeaderRead);
    }
    const firmware_header_t& header = check.header;
    device_log("send_fw: Read firmware header (total_size=%u, plaintext_size=%u, encrypted_size=%u, offset=0x%08X)\n",
               header.total_size, header.plaintext_size, header.encrypted_size, header.offset);

    // The run writes the header and encrypted_size bytes after it; erase enough for all of that,
    // and never less than total_size asks for, so no byte lands in unerased flash or past the bank.
    const uint64_t blocks = check.blocks_needed;
    if (!check.fits_bank) {
        device_log("send_fw: Error: Firmware too large for partition (%u blocks needed, but partition only has %u "
                   "blocks)\n",
                   static_cast<uint32_t>(blocks > 0xFFFFFFFFu ? 0xFFFFFFFFu : blocks), FW_BANK_BLOCKS);
        return run_ended(TransferStep::TooLarge);
    }
    // A short file would stop the data phase part way, after the bank was erased: the unit would
    // be left without the image it held and without a whole new one.
    if (!check.complete) {
        // Fewer than encrypted_size bytes, so the count fits in 32 bits.
        device_log("send_fw: Error: File holds %u bytes after the header, but its header announces %u\n",
                   static_cast<uint32_t>(file_size - sizeof header_bytes), header.encrypted_size);
        return run_ended(TransferStep::TruncatedImage);
    }
    const uint32_t num_blocks_needed = static_cast<uint32_t>(blocks);
    const uint32_t end_page = start_page + num_blocks_needed;
    device_log("send_fw: Firmware size: %u bytes, will erase %u blocks (pages %u to %u)\n", header.total_size,
               num_blocks_needed, start_page, end_page - 1);

    for (uint32_t b = start_page; b < end_page; ++b) {
        if (!mx25_erase(comms, OP_BLOCK_ERASE, static_cast<uint16_t>(b), progress_cb, user_data, b - start_page,
                        num_blocks_needed)) {
            device_log("send_fw: Erase of page %u failed, stopping before anything is written\n", b);
            return run_ended(TransferStep::Erase, 0, header.encrypted_size);
        }
    }

    device_log("send_fw: All blocks erased, setting address and sending firmware header...\n");
    const uint32_t header_address = start_page * MX25_BLOCK_SIZE;
    device_log("send_fw: Setting MX25 address to 0x%08X for header\n", header_address);
    if (!set_mx25_addr(comms, header_address)) {
        device_log("send_fw: Setting the write address failed, stopping before anything is written\n");
        return run_ended(TransferStep::SetAddress, 0, header.encrypted_size);
    }

    COMMS_MSG_t hf = write_frame(header_bytes, sizeof header_bytes);
    if (comms->write(hf) <= 0) {
        device_log("send_fw: Failed to send firmware header\n");
        return run_ended(TransferStep::HeaderWrite, 0, header.encrypted_size);
    }
    uint8_t op = 0;
    uint32_t reply_address = 0;
    if (!wait_for_mx25_ack(comms, &op, &reply_address)) {
        device_log("send_fw: Header write acknowledgment failed\n");
        return run_ended(TransferStep::HeaderWrite, 0, header.encrypted_size);
    }
    if (op != OP_WRITE) {
        device_log("send_fw: Header write op type mismatch (expected=OP_WRITE/0x%02X, got=0x%02X)\n", OP_WRITE, op);
        return run_ended(TransferStep::HeaderWrite, 0, header.encrypted_size);
    }
    device_log("send_fw: Firmware header written successfully (address=0x%08X)\n", reply_address);

    const uint32_t encrypted_data_size = header.encrypted_size;
    device_log("send_fw: Encrypted data size: %u bytes (0x%08X)\n", encrypted_data_size, encrypted_data_size);
    device_log("send_fw: Starting firmware data transmission...\n");
    static const StreamLines kLines = {
        "send_fw: Reached end of file\n",
        "send_fw: Error reading file: %s\n",
        "send_fw: Failed to send firmware data packet %u\n",
        "send_fw: MX25 write acknowledgment failed at packet %u\n",
        "send_fw: Op type mismatch in response (expected=OP_WRITE/0x%02X, got=0x%02X)\n",
        "send_fw: Progress: %u/%u bytes (%.1f%%)\n",
    };
    const StreamOutcome streamed =
        stream_data(comms, file.get(), encrypted_data_size, progress_cb, user_data, kLines, pause);
    const uint32_t total_bytes_sent = streamed.bytes_sent;
    const uint32_t packet_count = streamed.packets;
    const TransferStep stop = streamed.stop;

    file.close();
    if (total_bytes_sent == encrypted_data_size) {
        device_log("send_fw: Firmware transmission completed successfully (%u bytes, %u packets)\n", total_bytes_sent,
                   packet_count);
        device_log_flush();
        return TransferResult{TransferStep::Done, total_bytes_sent, encrypted_data_size};
    }
    device_log("send_fw: Firmware transmission incomplete (%u/%u bytes sent, %u packets)\n", total_bytes_sent,
               encrypted_data_size, packet_count);
    return run_ended(stop == TransferStep::Done ? TransferStep::DataWrite : stop, total_bytes_sent,
                     encrypted_data_size);
}
