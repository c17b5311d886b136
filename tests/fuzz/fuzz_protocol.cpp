// The reply side of the protocol: one script of input reports, chosen by the fuzzer, answers in
// turn the identity probe, a general and a flash acknowledgement wait, a value read, the bank
// query and a short firmware upload. Whatever the unit answers, results stay within what each
// function promises, and the upload writes nothing before it has erased and addressed the bank.
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

constexpr uint32_t kImageBytes = 130; // three data packets: 64, 64 and 2 bytes
std::string g_image_path;

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

void quiet(const char*, void*) {}

void remove_image()
{
    if (!g_image_path.empty()) {
        unlink(g_image_path.c_str());
        rmdir(g_image_path.substr(0, g_image_path.rfind('/')).c_str());
    }
}

// A whole image of one block: header, then kImageBytes bytes.
bool write_image()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzz-protocol-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        return false;
    }
    g_image_path = dir + "/image.bin";
    std::atexit(remove_image);
    firmware_header_t h{};
    h.magic = 0x46575631;
    h.total_size = 64 + kImageBytes;
    h.encrypted_size = kImageBytes;
    uint8_t body[kImageBytes];
    for (uint32_t i = 0; i < kImageBytes; ++i) {
        body[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    FILE* f = std::fopen(g_image_path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(&h, sizeof h, 1, f) == 1 && std::fwrite(body, sizeof body, 1, f) == 1;
    return std::fclose(f) == 0 && ok;
}

// Frames the upload sent from `first` on: a flash write only after an erase and an address, at
// most the header and the three data packets, the header first and whole.
void check_upload_frames(size_t first)
{
    const std::vector<COMMS_MSG_t>& w = scripted_hid::written();
    bool erased = false, addressed = false;
    size_t writes = 0;
    for (size_t i = first; i < w.size(); ++i) {
        const uint32_t id = w[i].can_ID;
        if (id == canmsg_erase_mx25()) {
            erased = true;
            check(!addressed);
        } else if (id == canmsg_set_addr_mx25()) {
            check(erased);
            addressed = true;
        } else if (id == canmsg_write_mx25()) {
            check(erased && addressed);
            check(writes > 0 || w[i].msg_len == CAN_64_BYTES);
            ++writes;
        }
    }
    check(writes <= 4);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    set_device_log_sink(quiet, nullptr);
    if (!write_image()) {
        std::fprintf(stderr, "fuzz_protocol: cannot write the image file\n");
        std::exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Four bytes choose the requests: the identifier a general acknowledgement should name, the
    // record and the index read. The rest is the unit's side.
    if (size < 4) {
        return 0;
    }
    const uint32_t acked_id = uint32_t{data[0]} | uint32_t{data[1]} << 8;
    const target_comms_t record = (data[2] & 1) != 0 ? SENSOR_COMMS : SETTINGS_COMMS;
    const uint8_t index = data[3];
    scripted_hid::reset();
    scripted_hid::add_from(data + 4, size - 4);

    reset_whoami_fwversion_cache();
    CommsManager comms;
    check(comms.connectUSB(vendor_id, product_id));

    fwversion_t fw{};
    const uint32_t serial = get_serialnumber(&comms, USB_HID, &fw);
    check(serial == 0xFFFFFFFFu || device_whoami_fwversion_known());

    wait_for_ack(&comms, acked_id);
    uint8_t op = 0;
    uint32_t address = 0;
    wait_for_mx25_ack(&comms, &op, &address);

    uint32_t value = 0x5EEDF00D;
    if (!read_value(&comms, record, index, &value)) {
        check(value == 0x5EEDF00D);
    }

    const mx25_partition p = get_mx25_partition(&comms);
    check(p == partition_none || p == partition_1 || p == partition_2);

    const size_t before = scripted_hid::written().size();
    const TransferResult r = send_fw(&comms, g_image_path.c_str(), nullptr, nullptr);
    check(r.bytes_sent <= r.bytes_total && r.bytes_total <= kImageBytes);
    check(!r.ok() || (r.bytes_sent == kImageBytes && r.bytes_total == kImageBytes));
    check_upload_frames(before);
    return 0;
}
