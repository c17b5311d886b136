#include "sim/nor_flash.h"

#include <cstring>

namespace sim::detail {

void Ranges::add(uint64_t lo, uint64_t hi)
{
    if (lo >= hi) {
        return;
    }
    auto it = r_.upper_bound(lo);
    if (it != r_.begin() && std::prev(it)->second >= lo) {
        --it;
        lo = it->first;
        hi = std::max(hi, it->second);
        it = r_.erase(it);
    }
    while (it != r_.end() && it->first <= hi) {
        hi = std::max(hi, it->second);
        it = r_.erase(it);
    }
    r_.emplace(lo, hi);
}

void Ranges::remove(uint64_t lo, uint64_t hi)
{
    if (lo >= hi) {
        return;
    }
    auto it = r_.upper_bound(lo);
    if (it != r_.begin() && std::prev(it)->second > lo) {
        --it;
    }
    while (it != r_.end() && it->first < hi) {
        const uint64_t first = it->first;
        const uint64_t end = it->second;
        it = r_.erase(it);
        if (first < lo) {
            r_.emplace(first, lo);
        }
        if (end > hi) {
            r_.emplace(hi, end);
            break;
        }
    }
}

bool Ranges::covers(uint64_t lo, uint64_t hi) const
{
    if (lo >= hi) {
        return true;
    }
    auto it = r_.upper_bound(lo);
    return it != r_.begin() && std::prev(it)->second >= hi;
}

void NorFlash::ensure_table()
{
    if (blocks_.empty()) {
        blocks_.resize(MX25_BLOCK_COUNT);
        block_fill_.assign(MX25_BLOCK_COUNT, 0x00);
    }
}

uint8_t* NorFlash::block(uint32_t b)
{
    ensure_table();
    if (!blocks_[b]) {
        blocks_[b] = std::make_unique_for_overwrite<uint8_t[]>(MX25_BLOCK_SIZE);
        std::memset(blocks_[b].get(), block_fill_[b], MX25_BLOCK_SIZE);
    }
    return blocks_[b].get();
}

uint8_t NorFlash::read(uint32_t address) const
{
    if (blocks_.empty()) {
        return 0x00;
    }
    const uint32_t b = address / MX25_BLOCK_SIZE;
    return blocks_[b] ? blocks_[b][address % MX25_BLOCK_SIZE] : block_fill_[b];
}

std::vector<uint8_t> NorFlash::read(uint32_t address, uint32_t length) const
{
    const uint64_t end = std::min<uint64_t>(uint64_t{address} + length, MX25_FLASH_SIZE);
    std::vector<uint8_t> out;
    if (address >= end) {
        return out;
    }
    out.reserve(static_cast<size_t>(end - address));
    for (uint64_t a = address; a < end; ++a) {
        out.push_back(read(static_cast<uint32_t>(a)));
    }
    return out;
}

void NorFlash::fill(uint32_t address, const std::vector<uint8_t>& bytes)
{
    written_since_start_.remove(address, uint64_t{address} + bytes.size());
    for (size_t i = 0; i < bytes.size() && uint64_t{address} + i < MX25_FLASH_SIZE; ++i) {
        const uint32_t a = address + static_cast<uint32_t>(i);
        block(a / MX25_BLOCK_SIZE)[a % MX25_BLOCK_SIZE] = bytes[i];
    }
}

void NorFlash::erase_block(uint32_t b)
{
    ensure_table();
    blocks_[b].reset();
    block_fill_[b] = 0xFF;
    erased_since_start_[b] = true;
    written_since_start_.remove(uint64_t{b} * MX25_BLOCK_SIZE, uint64_t{b + 1} * MX25_BLOCK_SIZE);
}

void NorFlash::erase_sector(uint32_t sector)
{
    const uint32_t address = sector * MX25_SECTOR_SIZE;
    std::memset(block(address / MX25_BLOCK_SIZE) + address % MX25_BLOCK_SIZE, 0xFF, MX25_SECTOR_SIZE);
    written_since_start_.remove(address, uint64_t{address} + MX25_SECTOR_SIZE);
}

void NorFlash::erase_chip()
{
    for (uint32_t b = 0; b < MX25_BLOCK_COUNT; ++b) {
        erase_block(b);
    }
}

bool NorFlash::set_write_pointer(uint32_t address)
{
    if (address >= MX25_FLASH_SIZE) {
        return false;
    }
    write_pointer_ = address;
    return true;
}

bool NorFlash::write(const uint8_t* data, uint32_t length)
{
    const uint32_t at = write_pointer_;
    if (uint64_t{at} + length > MX25_FLASH_SIZE) {
        return false;
    }
    bool ok = true;
    for (uint32_t i = 0; i < length; ++i) {
        const uint32_t a = at + i;
        uint8_t& cell = block(a / MX25_BLOCK_SIZE)[a % MX25_BLOCK_SIZE];
        if (cell != 0xFF) {
            nor_faults_.push_back({a, cell, data[i]});
            ok = false;
        }
        cell &= data[i]; // NOR programming can only clear bits
    }
    write_pointer_ = at + length;
    // Only bytes that hold what was sent count towards an image.
    if (ok) {
        written_since_start_.add(at, uint64_t{at} + length);
    } else {
        written_since_start_.remove(at, uint64_t{at} + length);
    }
    return ok;
}

void NorFlash::forget_since_start()
{
    std::fill(erased_since_start_.begin(), erased_since_start_.end(), false);
    written_since_start_.clear();
}

} // namespace sim::detail
