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
    ctx.note(std::string(u.written) + " written to unit " + hex32(unit.id.serial) + " (" +
             std::to_string(result.bytes_sent) + " bytes)" + u.done);
    return kDone;
}

} // namespace

int firmware_check(Context& ctx, const std::string& file)
{
    const operations::ImageInspection image = operations::inspect_firmware_image(file);
    if (!image.readable) {
        return ctx.fail(kBadInput, file + ": " + image.error);
    }
    const FirmwareImageCheck& c = image.check;
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
    if (!image.refusal.empty()) {
        out << "verdict:         refused: " << image.refusal << "\n";
        return kBadInput;
    }
    out << "verdict:         the upload accepts this image\n";
    return kDone;
}

int firmware_upload(Context& ctx, const std::string& file)
{
    const operations::ImageInspection image = operations::inspect_firmware_image(file);
    if (!image.readable) {
        return ctx.fail(kBadInput, file + ": " + image.error);
    }
    if (!image.refusal.empty()) {
        return ctx.fail(kBadInput, file + ": " + image.refusal + "; nothing was sent");
    }
    return upload(ctx, file, kFirmware);
}

int airports_upload(Context& ctx, const std::string& file)
{
    const operations::DatabaseInspection db = operations::inspect_airport_database(file);
    if (!db.readable) {
        return ctx.fail(kBadInput, file + ": " + db.error);
    }
    if (!db.refusal.empty()) {
        return ctx.fail(kBadInput, file + ": " + db.refusal + "; nothing was sent");
    }
    return upload(ctx, file, kAirports);
}

} // namespace efis_cli
