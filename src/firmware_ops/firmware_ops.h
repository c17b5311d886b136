// Flash commands to the unit's MX25 serial flash, and the two uploads built on them: a firmware
// image into the bank the unit names, and the airport database into the region below the banks.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "comms/comms.h"
#include "efis_shared/firmware.h"
#include "efis_shared/mem_layout.h"

// Progress of a transfer, on the transferring thread: `phase` is one of the two below.
typedef void (*fw_progress_callback_t)(uint32_t current, uint32_t total, int phase, void* user_data);
inline constexpr int kPhaseErase = 0; // blocks erased so far of the blocks to erase
inline constexpr int kPhaseWrite = 1; // payload bytes sent and acknowledged so far of the bytes to send

// The size of an open file in bytes, its position kept. False when the system cannot tell (errno
// says why); *failed_call then names the call that failed ("seek" or "tell").
bool stream_size(FILE* f, uint64_t* size, const char** failed_call = nullptr);

// The pause the unit gets between confirming that its airport database is closed and the first
// erase.
inline constexpr std::chrono::milliseconds kAirportDbSettle{10};

// Whether an airport database of `size` bytes fits the region below the firmware banks.
inline constexpr uint64_t kAirportDbCapacity = uint64_t{AIRPORT_DB_MAX_BLOCKS} * MX25_BLOCK_SIZE;
inline bool airport_db_fits(uint64_t size)
{
    return size <= kAirportDbCapacity;
}

// Sends one airport database operation (AIRPORT_DB_OP_CLOSE / AIRPORT_DB_OP_OPEN); true when the
// frame went out. Waits for no reply.
bool send_airport_db_op(CommsManager* comms, uint8_t op_byte);

// Erases one block, sector or the chip and waits until the unit reports it done. True only when
// the unit confirmed the erase with the right op code and address; the progress callback fires
// with (current_block + 1, total_blocks, 0) then.
bool mx25_erase(CommsManager* comms, FlashOpType op_type, uint16_t block_or_sector, fw_progress_callback_t progress_cb,
                void* user_data, uint32_t current_block, uint32_t total_blocks);

// Positions the unit's flash write pointer. True only when the unit confirmed that address.
bool set_mx25_addr(CommsManager* comms, uint32_t address);

// The firmware bank the unit asks to be written: partition_1, partition_2, or partition_none on
// any failure.
mx25_partition get_mx25_partition(CommsManager* comms);

// Which step ended a transfer.
enum class TransferStep {
    Done,           // every byte sent and acknowledged
    NotConnected,   // no connection to the unit
    InvalidPath,    // no file path given
    Partition,      // the unit named no usable firmware bank
    FileOpen,       // the file could not be opened
    FileSize,       // the file's size could not be determined
    EmptyFile,      // the file holds no bytes
    HeaderRead,     // the file is shorter than a firmware header
    TooLarge,       // the file does not fit its flash region
    TruncatedImage, // the file holds fewer image bytes than its firmware header announces
    CloseDatabase,  // the unit did not confirm closing its airport database
    Erase,          // a block erase failed
    SetAddress,     // setting the write address failed
    HeaderWrite,    // the unit refused the firmware header
    DataWrite,      // the unit refused or did not confirm a data packet
    FileRead,       // reading the file failed part way
    UnexpectedEnd,  // the file ended before all bytes announced were sent
    ReopenDatabase, // every byte was written, but the open command did not reach the unit
};

struct TransferResult {
    TransferStep step = TransferStep::Done;
    uint32_t bytes_sent = 0;  // payload bytes acknowledged by the unit
    uint32_t bytes_total = 0; // payload bytes the run set out to send
    bool ok() const { return step == TransferStep::Done; }
};

// Short English description of the step that ended a run, for the window's status bar.
const char* transfer_step_text(TransferStep step);

// Erase blocks an image needs: enough for the 64-byte header and the encrypted_size bytes written
// after it, and never fewer than total_size asks for. 64-bit, so no header can wrap it around.
uint64_t firmware_blocks_needed(const firmware_header_t& header);

// What a firmware image file holds, judged before anything is sent.
struct FirmwareImageCheck {
    uint64_t file_size = 0;
    bool header_read = false; // the file holds a whole header; the fields below need it
    firmware_header_t header{};
    uint64_t blocks_needed = 0;
    bool fits_bank = false; // blocks_needed <= FW_BANK_BLOCKS
    bool complete = false;  // the file holds the header and encrypted_size bytes after it
    bool acceptable() const { return header_read && fits_bank && complete; }
};

// `bytes`: the file's first min(file_size, 64) bytes (or more; only 64 are looked at).
FirmwareImageCheck check_firmware_image(const uint8_t* bytes, size_t count, uint64_t file_size);

// Writes the image header at the start of the bank get_mx25_partition() names and streams the
// encrypted bytes after it, one acknowledged 64-byte frame at a time. Refuses, before any erase,
// an image that does not fit the bank or a file shorter than its header announces, and stops at
// the first failed erase or set-address, so no byte is ever written outside an erased range of the
// bank.
TransferResult send_fw(CommsManager* comms, const char* encrypted_bin_file_path, fw_progress_callback_t progress_cb,
                       void* user_data);

// Closes the unit's airport database, rewrites blocks 0.. with the file and reopens the database
// only after a complete write.
TransferResult send_airport_db(CommsManager* comms, const char* db_file_path, fw_progress_callback_t progress_cb,
                               void* user_data);
