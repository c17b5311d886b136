#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

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

void transfer_detail::PacketPause::wait()
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point until = start + kPause;
    if constexpr (platform_pause::kShortSleeps) {
        const Clock::time_point wake = until - late_;
        std::this_thread::sleep_until(wake);
        // Follow the usual lateness, not the spikes: an early wake costs a little polling, a late
        // one lengthens the pause. Down at once, up slowly, and never past half the pause, so that
        // every pause still sleeps and keeps the estimate current.
        const auto seen = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - wake);
        late_ = std::min<std::chrono::nanoseconds>(seen < late_ ? seen : late_ + (seen - late_) / 16, kPause / 2);
    }
    while (Clock::now() < until) {
        std::this_thread::yield();
    }
}

// The lines' formats come from the uploads' constant StreamLines tables; each takes the arguments
// noted at StreamLines, which is what the calls below pass.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
StreamOutcome transfer_detail::stream_data(CommsManager* comms, FILE* file, uint32_t total,
                                           fw_progress_callback_t progress_cb, void* user_data,
                                           const StreamLines& lines, PacketPause& pause)
{
    StreamOutcome out{0, 0, TransferStep::Done};
    uint8_t buffer[kChunkSize];
    uint8_t op = 0;
    uint32_t reply_address = 0;
    bool short_read = false;
    while (out.bytes_sent < total) {
        const uint32_t want = std::min(kChunkSize, total - out.bytes_sent);
        std::memset(buffer, 0, sizeof buffer);
        // A short read is sent, but nothing after it: bytes read later would land at the wrong
        // flash address, since the unit's write pointer has moved by the whole frame.
        const size_t got = short_read ? 0 : fread(buffer, 1, want, file);
        if (got < want) {
            short_read = true;
        }
        if (got == 0) {
            if (feof(file)) {
                device_log("%s", lines.end_of_file);
                out.stop = TransferStep::UnexpectedEnd;
            } else {
                device_log(lines.read_error, strerror(errno));
                out.stop = TransferStep::FileRead;
            }
            return out;
        }

        if (comms->write(write_frame(buffer, static_cast<uint32_t>(got))) <= 0) {
            device_log(lines.send_failed, out.packets);
            out.stop = TransferStep::DataWrite;
            return out;
        }
        if (!wait_for_mx25_ack(comms, &op, &reply_address)) {
            device_log(lines.ack_failed, out.packets);
            out.stop = TransferStep::DataWrite;
            return out;
        }
        if (op != OP_WRITE) {
            device_log(lines.op_mismatch, static_cast<unsigned>(OP_WRITE), op);
            out.stop = TransferStep::DataWrite;
            return out;
        }

        out.bytes_sent += static_cast<uint32_t>(got);
        ++out.packets;
        if (progress_cb != nullptr) {
            progress_cb(out.bytes_sent, total, kPhaseWrite, user_data);
        }
        if (lines.progress != nullptr && out.packets % 100 == 0) {
            const float pct = 100.0f * static_cast<float>(out.bytes_sent) / static_cast<float>(total);
            device_log(lines.progress, out.bytes_sent, total, static_cast<double>(pct));
        }
        pause.wait();
    }
    return out;
}
#pragma GCC diagnostic pop

bool stream_size(FILE* f, uint64_t* size, const char** failed_call)
{
    const char* unused = nullptr;
    const char*& failed = failed_call != nullptr ? *failed_call : unused;
    const off_t here = ftello(f);
    if (here < 0 || fseeko(f, 0, SEEK_END) != 0) {
        failed = "seek";
        return false;
    }
    const off_t end = ftello(f);
    if (end < 0) {
        failed = "tell";
        return false;
    }
    if (fseeko(f, here, SEEK_SET) != 0) {
        failed = "seek";
        return false;
    }
    *size = static_cast<uint64_t>(end);
    return true;
}
