// Pieces shared by the two uploads. Internal to firmware_ops.
#pragma once

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

// The unit is given a short breather after each acknowledged packet.
void pause_after_packet();

// Blocks needed to hold `bytes` bytes, without 32-bit wrap-around.
inline uint64_t blocks_for(uint64_t bytes, uint32_t block_size)
{
    return (bytes + block_size - 1) / block_size;
}

} // namespace transfer_detail
