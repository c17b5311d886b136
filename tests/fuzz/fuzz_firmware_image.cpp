// A firmware image file of any bytes, judged by check_firmware_image and by the upload itself
// against a unit that names bank 1 and then stops answering. Both agree on the header, the blocks
// and whether the file is whole; the upload refuses, after the bank query and before any erase,
// every file the check refuses, with its own step and line, and starts erasing every other one.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comms/comms.h"
#include "comms/device_log.h"
#include "firmware_ops/firmware_ops.h"
#include "tests/fuzz/scripted_hid.h"

namespace {

std::string g_dir;
std::string g_path;
std::string g_log;

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

void keep(const char* text, void*)
{
    g_log += text;
}

void remove_files()
{
    unlink(g_path.c_str());
    rmdir(g_dir.c_str());
}

bool write_file(const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(g_path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// Input report 6 carrying one frame.
void add_frame(uint32_t id, CAN_MSG_LEN_t code, const uint8_t* payload, size_t n)
{
    uint8_t r[7 + 64] = {6, 0, uint8_t(id), uint8_t(id >> 8), uint8_t(id >> 16), uint8_t(id >> 24), code};
    std::memcpy(r + 7, payload, n);
    scripted_hid::add_report(r, 7 + n);
}

uint64_t blocks_for(uint64_t bytes)
{
    return (bytes + MX25_BLOCK_SIZE - 1) / MX25_BLOCK_SIZE;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    g_dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzz-firmware-image-XXXXXX";
    if (mkdtemp(g_dir.data()) == nullptr) {
        std::fprintf(stderr, "fuzz_firmware_image: cannot make a temporary directory\n");
        std::exit(1);
    }
    g_path = g_dir + "/image.bin";
    std::atexit(remove_files);
    set_device_log_sink(keep, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const FirmwareImageCheck c = check_firmware_image(data, size, size);
    check(c.file_size == size && c.header_read == (size >= sizeof(firmware_header_t)));
    firmware_header_t h{};
    if (c.header_read) {
        std::memcpy(&h, data, sizeof h);
        check(std::memcmp(&c.header, &h, sizeof h) == 0);
        const uint64_t written = blocks_for(sizeof h + uint64_t{h.encrypted_size});
        const uint64_t asked = blocks_for(h.total_size);
        check(c.blocks_needed == (written > asked ? written : asked));
        check(c.blocks_needed == firmware_blocks_needed(h));
        check(c.fits_bank == (c.blocks_needed <= FW_BANK_BLOCKS));
        check(c.complete == (size - sizeof h >= h.encrypted_size));
    }

    // The upload: a 0.2.12 unit that names bank 1, then reads fail.
    if (!write_file(data, size)) {
        std::abort();
    }
    scripted_hid::reset();
    const uint32_t get_partition = CANMSG_GET_PARTITION;
    const uint8_t ack[4] = {0, uint8_t(get_partition), uint8_t(get_partition >> 8), 1};
    add_frame(CANMSG_ACK, CAN_4_BYTES, ack, sizeof ack);
    const uint8_t part[6] = {uint8_t(OP_GETPART), 0xB1, 0xB1, 0xB1, 0xB1, 1};
    add_frame(CANMSG_MX25_ACK, CAN_6_BYTES, part, sizeof part);

    fwversion_t fw{};
    fw.minor = 2;
    fw.patch = 12;
    cache_whoami_fwversion(fw);
    TransferResult r;
    {
        CommsManager comms;
        check(comms.connectUSB(vendor_id, product_id));
        g_log.clear();
        r = send_fw(&comms, g_path.c_str(), nullptr, nullptr);
    }

    const std::vector<COMMS_MSG_t>& sent = scripted_hid::written();
    check(!sent.empty() && sent[0].can_ID == CANMSG_GET_PARTITION);
    if (c.acceptable()) {
        check(r.step == TransferStep::Erase && sent.size() == 2 && sent[1].can_ID == CANMSG_ERASE_MX25);
        return 0;
    }
    check(sent.size() == 1 && r.bytes_sent == 0);
    if (!c.header_read) {
        check(r.step == TransferStep::HeaderRead);
    } else if (!c.fits_bank) {
        check(r.step == TransferStep::TooLarge);
    } else {
        check(r.step == TransferStep::TruncatedImage);
        char line[128];
        std::snprintf(line, sizeof line,
                      "send_fw: Error: File holds %u bytes after the header, but its header announces %u\n",
                      static_cast<unsigned>(size - sizeof h), h.encrypted_size);
        check(g_log.find(line) != std::string::npos);
    }
    return 0;
}
