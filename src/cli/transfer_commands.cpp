// firmware check | firmware upload | airports upload
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "cli/progress.h"
#include "cli/unit_link.h"
#include "firmware_ops/firmware_ops.h"

namespace efis_cli {

using settings_file::hex32;

namespace {

struct FileStart {
    uint64_t size = 0;
    uint8_t head[sizeof(firmware_header_t)] = {};
    size_t head_count = 0;
};

// The file's size and first bytes; false (with the reason) when it cannot be read.
bool read_start(const std::string& path, FileStart* out, std::string* error)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long size = ok ? std::ftell(f) : -1;
    ok = ok && size >= 0 && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        out->size = static_cast<uint64_t>(size);
        out->head_count = std::fread(out->head, 1, sizeof out->head, f);
        ok = std::ferror(f) == 0;
    }
    const int saved = errno;
    std::fclose(f);
    if (!ok) {
        *error = std::string("cannot read: ") + std::strerror(saved);
    }
    return ok;
}

// Why the upload would refuse the image, or an empty text.
std::string refusal(const FirmwareImageCheck& c)
{
    if (!c.header_read) {
        return "the file holds " + std::to_string(c.file_size) + " bytes, fewer than the " +
               std::to_string(sizeof(firmware_header_t)) + "-byte firmware header";
    }
    if (!c.fits_bank) {
        return "the image needs " + std::to_string(c.blocks_needed) + " blocks, but a firmware bank has " +
               std::to_string(FW_BANK_BLOCKS);
    }
    if (!c.complete) {
        return "the file holds " + std::to_string(c.file_size - sizeof(firmware_header_t)) +
               " bytes after the header, but its header announces " + std::to_string(c.header.encrypted_size);
    }
    return {};
}

int check_image(Context& ctx, const std::string& file, FirmwareImageCheck* check)
{
    FileStart start;
    std::string error;
    if (!read_start(file, &start, &error)) {
        return ctx.fail(kBadInput, file + ": " + error);
    }
    *check = check_firmware_image(start.head, start.head_count, start.size);
    return kDone;
}

std::string transfer_failure(const char* what, const TransferResult& r)
{
    return std::string(what) + " failed: " + transfer_step_text(r.step) + " (" + std::to_string(r.bytes_sent) + " of " +
           std::to_string(r.bytes_total) + " bytes sent)";
}

struct Upload {
    const char* what;
    TransferResult (*run)(CommsManager*, const char*, fw_progress_callback_t, void*);
    const char* interrupt_warning;
    const char* written; // "<written> written to unit <serial> (<n> bytes)<done>"
    const char* done;
};

const Upload kFirmware = {"firmware upload", send_fw,
                          "\nefis-cli: stopping now leaves the firmware bank half written, and the unit will not "
                          "start that image. The transfer goes on; press Ctrl-C again to stop anyway.\n",
                          "Firmware image", "; reboot the unit to start it"};
const Upload kAirports = {"airport database upload", send_airport_db,
                          "\nefis-cli: stopping now leaves the airport database half written, and the unit keeps "
                          "it closed. The transfer goes on; press Ctrl-C again to stop anyway.\n",
                          "Airport database", " and reopened"};

// Connects and runs one upload with its progress line; kDone only when every byte was written.
int upload(Context& ctx, const std::string& file, const Upload& u)
{
    Unit unit;
    if (const int status = connect_unit(ctx, unit); status != kDone) {
        return status;
    }
    TransferResult result;
    {
        Progress progress(ctx);
        InterruptGuard guard(u.interrupt_warning);
        result = u.run(&unit.comms, file.c_str(), &Progress::report, &progress);
    }
    if (!result.ok()) {
        return ctx.fail(kUnitFailed, transfer_failure(u.what, result));
    }
    ctx.note(std::string(u.written) + " written to unit " + hex32(unit.serial) + " (" +
             std::to_string(result.bytes_sent) + " bytes)" + u.done);
    return kDone;
}

} // namespace

int firmware_check(Context& ctx, const std::string& file)
{
    FirmwareImageCheck c;
    if (const int status = check_image(ctx, file, &c); status != kDone) {
        return status;
    }
    std::ostream& out = ctx.io.out;
    out << "file:            " << file << " (" << c.file_size << " bytes)\n";
    if (c.header_read) {
        const firmware_header_t& h = c.header;
        out << "magic:           " << hex32(h.magic) << "\n"
            << "version:         " << hex32(h.version) << "\n"
            << "total_size:      " << h.total_size << "\n"
            << "plaintext_size:  " << h.plaintext_size << "\n"
            << "encrypted_size:  " << h.encrypted_size << "\n"
            << "crc32_plaintext: " << hex32(h.crc32_plaintext) << "\n"
            << "crc32_encrypted: " << hex32(h.crc32_encrypted) << "\n"
            << "offset:          " << hex32(h.offset) << "\n"
            << "blocks needed:   " << c.blocks_needed << " of " << FW_BANK_BLOCKS << " in a bank ("
            << (c.fits_bank ? "fits" : "does not fit") << ")\n"
            << "length:          "
            << (c.complete
                    ? "complete (header and " + std::to_string(h.encrypted_size) + " bytes)"
                    : "short by " + std::to_string(uint64_t{h.encrypted_size} + sizeof h - c.file_size) + " bytes")
            << "\n";
        if (c.complete && c.file_size > uint64_t{sizeof h} + h.encrypted_size) {
            out << "note:            " << c.file_size - sizeof h - h.encrypted_size
                << " bytes after the image are not sent\n";
        }
    }
    const std::string why = refusal(c);
    if (!why.empty()) {
        out << "verdict:         refused: " << why << "\n";
        return kBadInput;
    }
    out << "verdict:         the upload accepts this image\n";
    return kDone;
}

int firmware_upload(Context& ctx, const std::string& file)
{
    FirmwareImageCheck c;
    if (const int status = check_image(ctx, file, &c); status != kDone) {
        return status;
    }
    if (const std::string why = refusal(c); !why.empty()) {
        return ctx.fail(kBadInput, file + ": " + why + "; nothing was sent");
    }
    return upload(ctx, file, kFirmware);
}

int airports_upload(Context& ctx, const std::string& file)
{
    FileStart start;
    std::string error;
    if (!read_start(file, &start, &error)) {
        return ctx.fail(kBadInput, file + ": " + error);
    }
    const uint64_t limit = uint64_t{AIRPORT_DB_MAX_BLOCKS} * MX25_BLOCK_SIZE;
    if (start.size == 0) {
        return ctx.fail(kBadInput, file + ": the file is empty; nothing was sent");
    }
    if (start.size > limit) {
        return ctx.fail(kBadInput, file + ": " + std::to_string(start.size) +
                                       " bytes is more than the airport database region holds (" +
                                       std::to_string(limit) + " bytes); nothing was sent");
    }
    return upload(ctx, file, kAirports);
}

} // namespace efis_cli
