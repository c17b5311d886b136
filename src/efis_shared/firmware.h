// Firmware version word, flash operation codes, the firmware image header and the airport
// database operation bytes, as the unit's firmware declares them.
#pragma once

#include <cstddef>
#include <cstdint>

// The byte fields are members of the union itself (fw.major), as in the firmware.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
union fwversion_t {
    uint32_t version;
    struct {
        uint8_t rc;
        uint8_t patch;
        uint8_t minor;
        uint8_t major;
    };
};
#pragma GCC diagnostic pop

static_assert(sizeof(fwversion_t) == 4);
static_assert(offsetof(fwversion_t, rc) == 0 && offsetof(fwversion_t, patch) == 1);
static_assert(offsetof(fwversion_t, minor) == 2 && offsetof(fwversion_t, major) == 3);

// Flash operation codes; one byte each on the wire.
enum FlashOpType : uint32_t {
    OP_NONE = 0x00,
    OP_SETADDR = 0xA1,
    OP_WRITE = 0xAA,
    OP_GETPART = 0xAC,
    OP_SECTOR_ERASE = 0xAE,
    OP_BLOCK_ERASE = 0xBE,
    OP_CHIP_ERASE = 0xCE,
    OP_READ = 0xDD,
};

static_assert(sizeof(FlashOpType) == 4);

// Header at the start of a firmware image file; all words little-endian.
struct firmware_header_t {
    uint32_t magic;
    uint32_t version;
    uint32_t total_size;
    uint32_t plaintext_size;
    uint32_t encrypted_size;
    uint32_t crc32_plaintext;
    uint32_t crc32_encrypted;
    uint32_t iv[4];
    uint32_t offset;
    uint32_t padding[4];
};

static_assert(sizeof(firmware_header_t) == 64);
static_assert(offsetof(firmware_header_t, total_size) == 8);
static_assert(offsetof(firmware_header_t, plaintext_size) == 12);
static_assert(offsetof(firmware_header_t, encrypted_size) == 16);
static_assert(offsetof(firmware_header_t, crc32_plaintext) == 20);
static_assert(offsetof(firmware_header_t, crc32_encrypted) == 24);
static_assert(offsetof(firmware_header_t, iv) == 28);
static_assert(offsetof(firmware_header_t, offset) == 44);
static_assert(offsetof(firmware_header_t, padding) == 48);

inline constexpr uint8_t AIRPORT_DB_OP_CLOSE = 0xDC;
inline constexpr uint8_t AIRPORT_DB_OP_OPEN = 0xDA;
