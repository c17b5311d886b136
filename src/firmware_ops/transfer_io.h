// Pieces shared by the two uploads. Internal to firmware_ops.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "comms/comms.h"
#include "comms/device_log.h"
#include "efis_shared/comms_types.h"
#include "firmware_ops/firmware_ops.h"
#include "firmware_ops/platform_pause.h"

namespace transfer_detail {

inline constexpr uint32_t kChunkSize = 64;

// Owns an open C file; closes it on every path out of a run.
class File {
public:
    explicit File(FILE* f) : f_(f) {}
    ~File()
    {
        if (f_ != nullptr) {
            fclose(f_);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    FILE* get() const { return f_; }
    void close()
    {
        if (f_ != nullptr) {
            fclose(f_);
            f_ = nullptr;
        }
    }

private:
    FILE* f_;
};

// A flash write frame carrying `count` payload bytes (1..64), zero beyond them.
COMMS_MSG_t write_frame(const uint8_t* bytes, uint32_t count);

// The breather the unit gets after each acknowledged packet: at least 100 us, and not much more.
// A plain sleep wakes late, by the timer slack Linux allows a thread (50 us unless lowered) plus the
// wake-up latency (some 20 us on a virtual machine), which stretched every pause by half. So while
// a run holds this, the thread's timer is made as fine as the platform allows (its timed reply waits
// wake on time too), each sleep is cut short by the lateness seen so far, and the last microseconds
// are waited out on the clock.
class PacketPause {
public:
    static constexpr std::chrono::microseconds kPause{100};

    PacketPause() = default;
    PacketPause(const PacketPause&) = delete;
    PacketPause& operator=(const PacketPause&) = delete;

    void wait();

private:
    platform_pause::FineTimer timer_;
    std::chrono::nanoseconds late_{0}; // running estimate of how late a sleep wakes
};

// What a data phase logs; each format takes the arguments noted.
struct StreamLines {
    const char* end_of_file; // none
    const char* read_error;  // %s: the system's error text
    const char* send_failed; // %u: packet number
    const char* ack_failed;  // %u: packet number
    const char* op_mismatch; // %02X expected op, %02X received op
    const char* progress;    // %u sent, %u total, %.1f percent; every 100 packets; null for none
};

struct StreamOutcome {
    uint32_t bytes_sent;
    uint32_t packets;
    TransferStep stop; // Done when all `total` bytes were sent and acknowledged
};

// Streams `total` bytes from the file's current position, one acknowledged write frame of up to
// 64 bytes at a time, reporting phase-1 progress and pausing after each packet.
StreamOutcome stream_data(CommsManager* comms, FILE* file, uint32_t total, fw_progress_callback_t progress_cb,
                          void* user_data, const StreamLines& lines, PacketPause& pause);

// The result of a run that ends here, with its logged lines flushed.
inline TransferResult run_ended(TransferStep step, uint32_t sent = 0, uint32_t total = 0)
{
    device_log_flush();
    return TransferResult{step, sent, total};
}

// Blocks needed to hold `bytes` bytes, without 32-bit wrap-around.
inline uint64_t blocks_for(uint64_t bytes, uint32_t block_size)
{
    return (bytes + block_size - 1) / block_size;
}

} // namespace transfer_detail
