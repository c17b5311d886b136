// A hidapi-compatible backend in front of virtual units: the program's USBHID class runs unchanged
// against it. The hid_* functions themselves are declared by <hidapi/hidapi.h> and defined in
// hid_backend.cpp; this header is the test-side control of the virtual bus.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "efis_shared/comms_types.h"
#include "sim/virtual_unit.h"

namespace sim {

inline constexpr uint16_t kUnitUsagePage = 0xFF00;

// Called as the first handle to a plug opens and as its last handle closes: a program that keeps a
// unit's state between runs loads it and writes it there, while it holds the unit. Each runs with
// the plug's other opens and closes waiting; neither may open or close a handle itself.
struct OpenHooks {
    std::function<void(VirtualUnit&)> first_open;
    std::function<void(VirtualUnit&)> last_close;
};

struct PlugOptions {
    uint16_t usage_page = kUnitUsagePage;
    uint16_t vid = vendor_id;
    uint16_t pid = product_id;
    OpenHooks hooks;
    bool states_serial = true; // false: its descriptor states no serial number, as some hubs report it
};

// Attaches a unit to the virtual bus as one HID interface. A unit may be plugged more than once
// (several interfaces, e.g. one on another usage page); enumeration lists them in plug order.
//
// Its device path is "sim:SSSSSSSS:N": the serial number at plug time in eight hex digits and the
// interface number (0 for its first plug). It is the same in every process and after the unit
// restarts, so that programs agree on the lock of a unit. Another unit plugged with a serial
// already on the bus gets "sim:SSSSSSSS-2:N" (then -3, ...).
void plug(std::shared_ptr<VirtualUnit> unit, const PlugOptions& options);
void plug(std::shared_ptr<VirtualUnit> unit, uint16_t usage_page = kUnitUsagePage, uint16_t vid = vendor_id,
          uint16_t pid = product_id);
// Detaches every unit; handles still open fail from then on.
void unplug_all();

// While the text is not empty, every open of a listed unit fails with it as hidapi's error, the way
// an open of a hidraw node without permission does; an empty text lets opens succeed again.
void refuse_opens(const std::wstring& error_text);

int open_handle_count(); // handles opened and not yet closed
int enumeration_count(); // hid_enumerate calls so far
int hid_init_count();    // hid_init calls not yet matched by hid_exit

} // namespace sim
