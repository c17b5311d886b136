// Pieces shared by the two uploads. Internal to firmware_ops.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "efis_shared/comms_types.h"

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
// a run holds this, the thread's slack is lowered (its timed reply waits wake on time too), each
// sleep is cut short by the lateness seen so far, and the last microseconds are waited out on the
// clock.
class PacketPause {
public:
    static constexpr std::chrono::microseconds kPause{100};

    PacketPause();
    ~PacketPause();
    PacketPause(const PacketPause&) = delete;
    PacketPause& operator=(const PacketPause&) = delete;

    void wait();

private:
    long saved_slack_ns_ = -1;
    std::chrono::nanoseconds late_{0}; // running estimate of how late a sleep wakes
};

// Blocks needed to hold `bytes` bytes, without 32-bit wrap-around.
inline uint64_t blocks_for(uint64_t bytes, uint32_t block_size)
{
    return (bytes + block_size - 1) / block_size;
}

} // namespace transfer_detail
