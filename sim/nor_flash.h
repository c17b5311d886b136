// The unit's MX25 NOR flash: 64 KiB blocks, an erase sets its bytes to 0xFF and a write can only
// clear bits. A write over bytes that are not erased is carried out as the chip does it (the bits
// are ANDed) and recorded as a fault, never silently accepted. The flash also remembers what was
// erased and written since the unit last started, which is how a restart tells that a bank holds a
// complete image.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "sim/virtual_unit.h"

namespace sim::detail {

// Byte ranges [first, end) kept as disjoint, non-touching intervals, so that a range written in
// many small frames is one entry.
class Ranges {
public:
    void add(uint64_t lo, uint64_t hi);
    void remove(uint64_t lo, uint64_t hi);
    bool covers(uint64_t lo, uint64_t hi) const;
    void clear() { r_.clear(); }

private:
    std::map<uint64_t, uint64_t> r_; // first -> end
};

class NorFlash {
public:
    uint8_t read(uint32_t address) const;
    // Bytes beyond the end of the flash are left out.
    std::vector<uint8_t> read(uint32_t address, uint32_t length) const;
    // Test set-up, no NOR rules; content put there by hand is not what the unit was sent.
    void fill(uint32_t address, const std::vector<uint8_t>& bytes);

    void erase_block(uint32_t block);
    void erase_sector(uint32_t sector);
    void erase_chip();
    // False, and the pointer left where it is, for an address beyond the end of the flash.
    bool set_write_pointer(uint32_t address);
    void reset_write_pointer() { write_pointer_ = 0; }
    uint32_t write_pointer() const { return write_pointer_; }
    // Programs `length` bytes at the write pointer and moves the pointer past them. False when
    // they do not fit (nothing is written) or when any of them was not erased (a fault).
    bool write(const uint8_t* data, uint32_t length);
    const std::vector<NorFault>& faults() const { return nor_faults_; }

    // Since the unit last started: the blocks erased, and the bytes written over erased cells.
    bool erased_since_start(uint32_t block) const { return erased_since_start_[block]; }
    bool written_since_start(uint64_t first, uint64_t end) const { return written_since_start_.covers(first, end); }
    void count_as_written(uint64_t first, uint64_t end) { written_since_start_.add(first, end); }
    void forget_since_start();

private:
    void ensure_table();
    uint8_t* block(uint32_t b);

    // Materialised on first touch; an absent block reads as its fill byte. A fresh unit's flash
    // holds old data (0x00 everywhere), so a write that skips the erase faults.
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;
    std::vector<uint8_t> block_fill_;
    uint32_t write_pointer_ = 0;
    std::vector<NorFault> nor_faults_;
    std::vector<bool> erased_since_start_ = std::vector<bool>(MX25_BLOCK_COUNT, false);
    Ranges written_since_start_;
};

} // namespace sim::detail
