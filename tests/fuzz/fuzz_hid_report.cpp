// One input report of any length and content, read through USBHID::read from the hid layer.
// The frame it yields holds exactly what the report carried (identifier, length code and at most
// the payload the code and the report allow), zeros elsewhere; a refused report leaves the
// caller's frame as it was.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "comms/usb_hid/usb_hid.h"
#include "tests/fuzz/scripted_hid.h"

namespace {

constexpr size_t kReadBuffer = 128; // what USBHID::read asks hidapi for
constexpr size_t kHeader = 7;       // report number, iface, identifier, length code

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    scripted_hid::reset();
    scripted_hid::add_report(data, size);

    USBHID hid;
    check(hid.connect(vendor_id, product_id));
    // On the heap and exactly its size, so that a write past the frame is caught.
    auto frame = std::make_unique<COMMS_MSG_t>();
    std::memset(frame.get(), 0xA5, sizeof *frame);
    const int n = hid.read(frame.get());

    const size_t delivered = size < kReadBuffer ? size : kReadBuffer;
    if (delivered == 0) {
        check(n == 0);
    } else if (delivered < kHeader) {
        check(n == -1);
    } else {
        check(n == static_cast<int>(delivered));
    }
    if (n <= 0) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(frame.get());
        for (size_t i = 0; i < sizeof *frame; ++i) {
            check(bytes[i] == 0xA5);
        }
        return 0;
    }

    uint32_t id;
    std::memcpy(&id, data + 2, 4);
    check(frame->iface == data[1]);
    check(frame->can_ID == id);
    check(frame->msg_len == data[6]);
    // The payload the length code names, cut to what the report holds.
    static constexpr size_t kCodeBytes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    size_t payload = data[6] < 16 ? kCodeBytes[data[6]] : 0;
    if (payload > delivered - kHeader) {
        payload = delivered - kHeader;
    }
    check(std::memcmp(frame->data, data + kHeader, payload) == 0);
    for (size_t i = payload; i < sizeof frame->data; ++i) {
        check(frame->data[i] == 0);
    }
    check(frame->padding[0] == 0 && frame->padding[1] == 0);
    return 0;
}
