// Sizing a firmware image from its header, shared by the upload and by checks made before one.
#include <cstring>

#include "firmware_ops/firmware_ops.h"
#include "firmware_ops/transfer_io.h"

using transfer_detail::blocks_for;

uint64_t firmware_blocks_needed(const firmware_header_t& header)
{
    const uint64_t written = blocks_for(uint64_t{sizeof header} + header.encrypted_size, MX25_BLOCK_SIZE);
    const uint64_t asked = blocks_for(header.total_size, MX25_BLOCK_SIZE);
    return written > asked ? written : asked;
}

FirmwareImageCheck check_firmware_image(const uint8_t* bytes, size_t count, uint64_t file_size)
{
    FirmwareImageCheck c;
    c.file_size = file_size;
    if (bytes == nullptr || count < sizeof(firmware_header_t) || file_size < sizeof(firmware_header_t)) {
        return c;
    }
    c.header_read = true;
    std::memcpy(&c.header, bytes, sizeof c.header);
    c.blocks_needed = firmware_blocks_needed(c.header);
    c.fits_bank = c.blocks_needed <= FW_BANK_BLOCKS;
    c.complete = file_size - sizeof(firmware_header_t) >= c.header.encrypted_size;
    return c;
}
