// The files of the two uploads, judged before anything is sent: the same judgement the uploads
// themselves make, so a front end can refuse a file before it reaches for the unit.
#include <cerrno>
#include <cstring>

#include "operations/operations.h"

namespace operations {

namespace {

// Opens `path`, takes its size and up to `head_count` first bytes.
FileInspection inspect(const std::string& path, uint8_t* head, size_t head_size, size_t* head_count)
{
    FileInspection out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        out.error = std::string("cannot open: ") + std::strerror(errno);
        return out;
    }
    bool ok = stream_size(f, &out.size);
    if (ok && head_size > 0) {
        *head_count = std::fread(head, 1, head_size, f);
        ok = std::ferror(f) == 0;
    }
    const int saved = errno;
    std::fclose(f);
    if (!ok) {
        out.error = std::string("cannot read: ") + std::strerror(saved);
        return out;
    }
    out.readable = true;
    return out;
}

std::string image_refusal(const FirmwareImageCheck& c)
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

} // namespace

ImageInspection inspect_firmware_image(const std::string& path)
{
    ImageInspection out;
    uint8_t head[sizeof(firmware_header_t)] = {};
    size_t count = 0;
    static_cast<FileInspection&>(out) = inspect(path, head, sizeof head, &count);
    if (out.readable) {
        out.check = check_firmware_image(head, count, out.size);
        out.refusal = image_refusal(out.check);
    }
    return out;
}

DatabaseInspection inspect_airport_database(const std::string& path)
{
    DatabaseInspection out;
    // One byte read proves the file can be read: a directory opens and, on some file systems,
    // reports a plausible size, and the upload would find out only after erasing the database.
    uint8_t first = 0;
    size_t count = 0;
    static_cast<FileInspection&>(out) = inspect(path, &first, 1, &count);
    if (!out.readable) {
        return out;
    }
    if (out.size == 0) {
        out.refusal = "the file is empty";
    } else if (!airport_db_fits(out.size)) {
        out.refusal = std::to_string(out.size) + " bytes is more than the airport database region holds (" +
                      std::to_string(kAirportDbCapacity) + " bytes)";
    }
    return out;
}

} // namespace operations
