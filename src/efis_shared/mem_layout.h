// Layout of the unit's external MX25 serial NOR flash: geometry, firmware banks and the airport
// database region.
#pragma once

#include <cstdint>

enum mx25_partition : uint32_t {
    partition_none = 0,
    partition_1 = 0xB1B1B1B1,
    partition_2 = 0xB2B2B2B2,
    partition_debug = 0xB3B3B3B3,
    partition_unknown = 0xFFFFFFFF,
};

static_assert(sizeof(mx25_partition) == 4);

inline constexpr uint32_t MX25_SECTOR_SIZE = 4096;               // sector n starts at n << 12
inline constexpr uint32_t MX25_BLOCK_SIZE = 65536;               // block n starts at n << 16
inline constexpr uint32_t MX25_FLASH_SIZE = 64u * 1024u * 1024u; // 64 MiB
inline constexpr uint32_t MX25_BLOCK_COUNT = MX25_FLASH_SIZE / MX25_BLOCK_SIZE;
inline constexpr uint32_t MX25_SECTOR_COUNT = MX25_FLASH_SIZE / MX25_SECTOR_SIZE;

// Firmware banks: 64 blocks (4 MiB) each.
inline constexpr uint32_t FW_BANK_BLOCKS = 64;
inline constexpr uint32_t FW_BANK1_FIRST_BLOCK = 832; // 0x03400000
inline constexpr uint32_t FW_BANK2_FIRST_BLOCK = 896; // 0x03800000

// Airport database: blocks 0..831, everything below the first firmware bank.
inline constexpr uint32_t AIRPORT_DB_FIRST_BLOCK = 0;
inline constexpr uint32_t AIRPORT_DB_MAX_BLOCKS = FW_BANK1_FIRST_BLOCK;

static_assert(FW_BANK1_FIRST_BLOCK * MX25_BLOCK_SIZE == 0x03400000);
static_assert(FW_BANK2_FIRST_BLOCK * MX25_BLOCK_SIZE == 0x03800000);
static_assert(FW_BANK2_FIRST_BLOCK + FW_BANK_BLOCKS <= MX25_BLOCK_COUNT);
static_assert(FW_BANK1_FIRST_BLOCK + FW_BANK_BLOCKS == FW_BANK2_FIRST_BLOCK);
