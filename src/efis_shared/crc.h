// Record checksum shared with the unit: CRC-32/MPEG-2 fed one 32-bit word at a time.
#pragma once

#include <cstdint>

// Checksum of `words` 32-bit words: initial 0xFFFFFFFF, polynomial 0x04C11DB7, not reflected, no
// final inversion. Each word enters most significant bit first.
uint32_t EFIS_crc(const uint32_t* data, uint32_t words);
