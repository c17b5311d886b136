#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "firmware_ops/firmware_ops.h"
#include "firmware_ops/transfer_io.h"

using namespace transfer_detail;

COMMS_MSG_t transfer_detail::write_frame(const uint8_t* bytes, uint32_t count)
{
    COMMS_MSG_t m;
    std::memset(&m, 0, sizeof m);
    if (count > kChunkSize) {
        count = kChunkSize;
    }
    m.can_ID = canmsg_write_mx25();
    m.msg_len = can_msg_len_from_payload(static_cast<uint8_t>(count));
    std::memcpy(m.data, bytes, count);
    return m;
}

transfer_detail::PacketPause::PacketPause()
{
#ifdef __linux__
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack > 1 && prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0) {
        saved_slack_ns_ = slack;
    }
#endif
}

transfer_detail::PacketPause::~PacketPause()
{
#ifdef __linux__
    if (saved_slack_ns_ > 0) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_slack_ns_), 0, 0, 0);
    }
#endif
}

void transfer_detail::PacketPause::wait()
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point until = start + kPause;
    const Clock::time_point wake = until - late_;
    std::this_thread::sleep_until(wake);
    // Follow the usual lateness, not the spikes: an early wake costs a little polling, a late one
    // lengthens the pause. Down at once, up slowly, and never past half the pause, so that every
    // pause still sleeps and keeps the estimate current.
    const auto seen = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - wake);
    late_ = std::min<std::chrono::nanoseconds>(seen < late_ ? seen : late_ + (seen - late_) / 16, kPause / 2);
    while (Clock::now() < until) {
        std::this_thread::yield();
    }
}

namespace {

struct Bank {
    const char* name;
    uint32_t first_block;
};

TransferResult fail(TransferStep step, uint32_t sent = 0, uint32_t total = 0)
{
    fflush(stdout);
    return TransferResult{step, sent, total};
}

} // namespace

TransferResult send_fw(CommsManager* comms, const char* encrypted_bin_file_path, fw_progress_callback_t progress_cb,
                       void* user_data)
{
    if (comms == nullptr || !comms->isConnected()) {
        printf("send_fw: CommsManager not connected\n");
        return fail(TransferStep::NotConnected);
    }
    if (encrypted_bin_file_path == nullptr) {
        printf("send_fw: Invalid encrypted file path\n");
        return fail(TransferStep::InvalidPath);
    }
    // One run owns the link from the partition query to the last packet.
    LinkHold lock = comms->hold();
    PacketPause pause;

    printf("send_fw: Getting current MX25 partition...\n");
    const mx25_partition partition = get_mx25_partition(comms);
    Bank bank{};
    if (partition == partition_none) {
        printf("send_fw: Invalid partition (partition_none), cannot proceed\n");
        return fail(TransferStep::Partition);
    } else if (partition == partition_1) {
        bank = {"partition_1 (BANK1)", FW_BANK1_FIRST_BLOCK};
    } else if (partition == partition_2) {
        bank = {"partition_2 (BANK2)", FW_BANK2_FIRST_BLOCK};
    } else {
        printf("send_fw: Unknown partition value (0x%02X), cannot proceed\n", static_cast<uint32_t>(partition));
        return fail(TransferStep::Partition);
    }
    const uint32_t start_page = bank.first_block;
    printf("send_fw: Using %s, starting at page %u\n", bank.name, start_page);

    File file(fopen(encrypted_bin_file_path, "rb"));
    if (file.get() == nullptr) {
        printf("send_fw: Failed to open file %s: %s\n", encrypted_bin_file_path, strerror(errno));
        return fail(TransferStep::FileOpen);
    }

    firmware_header_t header;
    uint8_t header_bytes[sizeof header];
    errno = 0;
    if (fread(header_bytes, 1, sizeof header_bytes, file.get()) != sizeof header_bytes) {
        printf("send_fw: Failed to read firmware header from %s: %s\n", encrypted_bin_file_path,
               errno != 0 ? strerror(errno) : "file shorter than the header");
        return fail(TransferStep::HeaderRead);
    }
    std::memcpy(&header, header_bytes, sizeof header);
    printf("send_fw: Read firmware header (total_size=%u, plaintext_size=%u, encrypted_size=%u, offset=0x%08X)\n",
           header.total_size, header.plaintext_size, header.encrypted_size, header.offset);

    // The run writes the header and encrypted_size bytes after it; erase enough for all of that,
    // and never less than total_size asks for, so no byte lands in unerased flash or past the bank.
    const uint64_t written_extent = uint64_t{sizeof header} + header.encrypted_size;
    uint64_t blocks = blocks_for(header.total_size, MX25_BLOCK_SIZE);
    const uint64_t blocks_written = blocks_for(written_extent, MX25_BLOCK_SIZE);
    if (blocks_written > blocks) {
        blocks = blocks_written;
    }
    if (blocks > FW_BANK_BLOCKS) {
        printf("send_fw: Error: Firmware too large for partition (%u blocks needed, but partition only has %u "
               "blocks)\n",
               static_cast<uint32_t>(blocks > 0xFFFFFFFFu ? 0xFFFFFFFFu : blocks), FW_BANK_BLOCKS);
        return fail(TransferStep::TooLarge);
    }
    const uint32_t num_blocks_needed = static_cast<uint32_t>(blocks);
    const uint32_t end_page = start_page + num_blocks_needed;
    printf("send_fw: Firmware size: %u bytes, will erase %u blocks (pages %u to %u)\n", header.total_size,
           num_blocks_needed, start_page, end_page - 1);

    for (uint32_t b = start_page; b < end_page; ++b) {
        if (!mx25_erase(comms, OP_BLOCK_ERASE, static_cast<uint16_t>(b), progress_cb, user_data, b - start_page,
                        num_blocks_needed)) {
            printf("send_fw: Erase of page %u failed, stopping before anything is written\n", b);
            return fail(TransferStep::Erase, 0, header.encrypted_size);
        }
    }

    printf("send_fw: All blocks erased, setting address and sending firmware header...\n");
    const uint32_t header_address = start_page * MX25_BLOCK_SIZE;
    printf("send_fw: Setting MX25 address to 0x%08X for header\n", header_address);
    if (!set_mx25_addr(comms, header_address)) {
        printf("send_fw: Setting the write address failed, stopping before anything is written\n");
        return fail(TransferStep::SetAddress, 0, header.encrypted_size);
    }

    COMMS_MSG_t hf = write_frame(header_bytes, sizeof header_bytes);
    if (comms->write(hf) <= 0) {
        printf("send_fw: Failed to send firmware header\n");
        return fail(TransferStep::HeaderWrite, 0, header.encrypted_size);
    }
    uint8_t op = 0;
    uint32_t reply_address = 0;
    if (!wait_for_mx25_ack(comms, &op, &reply_address)) {
        printf("send_fw: Header write acknowledgment failed\n");
        return fail(TransferStep::HeaderWrite, 0, header.encrypted_size);
    }
    if (op != OP_WRITE) {
        printf("send_fw: Header write op type mismatch (expected=OP_WRITE/0x%02X, got=0x%02X)\n", OP_WRITE, op);
        return fail(TransferStep::HeaderWrite, 0, header.encrypted_size);
    }
    printf("send_fw: Firmware header written successfully (address=0x%08X)\n", reply_address);

    const uint32_t encrypted_data_size = header.encrypted_size;
    printf("send_fw: Encrypted data size: %u bytes (0x%08X)\n", encrypted_data_size, encrypted_data_size);
    uint32_t total_bytes_sent = 0;
    uint32_t packet_count = 0;
    TransferStep stop = TransferStep::Done;
    printf("send_fw: Starting firmware data transmission...\n");

    uint8_t buffer[kChunkSize];
    bool short_read = false;
    while (total_bytes_sent < encrypted_data_size) {
        const uint32_t want =
            encrypted_data_size - total_bytes_sent < kChunkSize ? encrypted_data_size - total_bytes_sent : kChunkSize;
        std::memset(buffer, 0, sizeof buffer);
        // A short read is sent, but nothing after it: bytes read later would land at the wrong
        // flash address, since the unit's write pointer has moved by the whole frame.
        const size_t got = short_read ? 0 : fread(buffer, 1, want, file.get());
        if (got < want) {
            short_read = true;
        }
        if (got == 0) {
            if (feof(file.get())) {
                printf("send_fw: Reached end of file\n");
                stop = TransferStep::UnexpectedEnd;
            } else {
                printf("send_fw: Error reading file: %s\n", strerror(errno));
                stop = TransferStep::FileRead;
            }
            break;
        }

        const COMMS_MSG_t df = write_frame(buffer, static_cast<uint32_t>(got));
        if (comms->write(df) <= 0) {
            printf("send_fw: Failed to send firmware data packet %u\n", packet_count);
            stop = TransferStep::DataWrite;
            break;
        }
        if (!wait_for_mx25_ack(comms, &op, &reply_address)) {
            printf("send_fw: MX25 write acknowledgment failed at packet %u\n", packet_count);
            stop = TransferStep::DataWrite;
            break;
        }
        if (op != OP_WRITE) {
            printf("send_fw: Op type mismatch in response (expected=OP_WRITE/0x%02X, got=0x%02X)\n", OP_WRITE, op);
            stop = TransferStep::DataWrite;
            break;
        }

        total_bytes_sent += static_cast<uint32_t>(got);
        ++packet_count;
        if (progress_cb != nullptr) {
            progress_cb(total_bytes_sent, encrypted_data_size, 1, user_data);
        }
        if (packet_count % 100 == 0) {
            const float pct = 100.0f * static_cast<float>(total_bytes_sent) / static_cast<float>(encrypted_data_size);
            printf("send_fw: Progress: %u/%u bytes (%.1f%%)\n", total_bytes_sent, encrypted_data_size,
                   static_cast<double>(pct));
        }
        pause.wait();
    }

    file.close();
    if (total_bytes_sent == encrypted_data_size) {
        printf("send_fw: Firmware transmission completed successfully (%u bytes, %u packets)\n", total_bytes_sent,
               packet_count);
        fflush(stdout);
        return TransferResult{TransferStep::Done, total_bytes_sent, encrypted_data_size};
    }
    printf("send_fw: Firmware transmission incomplete (%u/%u bytes sent, %u packets)\n", total_bytes_sent,
           encrypted_data_size, packet_count);
    return fail(stop == TransferStep::Done ? TransferStep::DataWrite : stop, total_bytes_sent, encrypted_data_size);
}
