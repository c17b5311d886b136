// USB HID transport: one frame per HID report, through hidapi.
//
// Output report: 05, can_ID (4, LE), length code, payload (as many bytes as the code carries).
// Input report:  report number, iface, can_ID (4, LE), length code, payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "efis_shared/comms_types.h"

struct hid_device_;

class USBHID {
public:
    // Vendor-defined usage page of the unit's frame interface.
    static constexpr unsigned short kUsagePage = 0xFF00;
    static constexpr int kReadTimeoutMs = 1000;

    USBHID();
    ~USBHID();
    USBHID(const USBHID&) = delete;
    USBHID& operator=(const USBHID&) = delete;

    // Why the last connect() failed: no unit on the frame interface was listed, or one was listed
    // but could not be opened (on Linux typically a hidraw node the user may not open).
    enum class ConnectFailure { None, NotFound, OpenFailed };

    // Opens the unit's frame interface: the one at `path` when given (it must be listed), else the
    // first listed.
    bool connect(uint16_t vendor_id, uint16_t product_id, const std::string& path = {});
    // A unit frame interface as the system lists it, before anything is opened.
    struct Listed {
        std::string path;
        std::string serial; // the USB serial-number string, UTF-8; may be empty
    };
    // Every listed unit frame interface, in enumeration order; opens nothing.
    static std::vector<Listed> listUnits(uint16_t vendor_id, uint16_t product_id);
    // Every HID interface with these ids on any usage page (a unit in its boot loader, a second
    // interface), for telling a person what is on the bus; opens nothing.
    struct Interface {
        std::string path;
        std::string serial;
        unsigned short usage_page = 0;
        int interface_number = -1;
    };
    static std::vector<Interface> listInterfaces(uint16_t vendor_id, uint16_t product_id);
    // hidapi's version as this program was built against it, and as the library loaded reports it.
    static std::string hidapiBuildVersion();
    static std::string hidapiVersion();
    // Path of the open unit; empty when none is open.
    const std::string& path() const { return open_path; }
    ConnectFailure lastConnectFailure() const;
    // hidapi's text for the failed open (hid_error(NULL)), as UTF-8; empty otherwise.
    const std::string& openError() const;
    void disconnect();
    bool isConnected() const;

    // Bytes read including the report number (>= 7), 0 when nothing arrived within 1000 ms, -1 for a
    // closed transport, a null frame or a report too short to hold a frame header, or hidapi's
    // negative result for a read error.
    int read(COMMS_MSG_t* msg);
    // Sends report_ID followed by `length` bytes; hidapi's result.
    int write(const uint8_t* data, size_t length);
    // Encodes and sends one frame; the frame's iface is not sent.
    int write(const COMMS_MSG_t& msg);

private:
    hid_device_* device_handle;
    bool connected;
    uint8_t report_ID;
    ConnectFailure connect_failure = ConnectFailure::None;
    std::string open_error;
    std::string open_path;
};
