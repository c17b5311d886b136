#include "comms/usb_hid/usb_hid.h"

#include <hidapi/hidapi.h>

#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr size_t kReadBufferSize = 128;
constexpr size_t kInputHeader = 7; // report number, iface, 4 identifier bytes, length code

// hidapi reports errors as wide text; each wchar_t taken as one code point.
std::string utf8_of(const wchar_t* text)
{
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text) {
        const auto c = static_cast<uint32_t>(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += '?';
        }
    }
    return out;
}
} // namespace

USBHID::USBHID() : device_handle(nullptr), connected(false), report_ID(5)
{
    hid_init();
}

USBHID::~USBHID()
{
    disconnect();
    hid_exit();
}

namespace {

bool is_unit_interface(const hid_device_info* d, uint16_t vendor_id, uint16_t product_id)
{
    return d->vendor_id == vendor_id && d->product_id == product_id && d->usage_page == USBHID::kUsagePage &&
           d->path != nullptr;
}

} // namespace

std::vector<USBHID::Listed> USBHID::listUnits(uint16_t vendor_id, uint16_t product_id)
{
    std::vector<Listed> units;
    hid_device_info* devices = hid_enumerate(vendor_id, product_id);
    for (hid_device_info* d = devices; d != nullptr; d = d->next) {
        if (is_unit_interface(d, vendor_id, product_id)) {
            units.push_back({d->path, utf8_of(d->serial_number)});
        }
    }
    hid_free_enumeration(devices);
    return units;
}

std::vector<USBHID::Interface> USBHID::listInterfaces(uint16_t vendor_id, uint16_t product_id)
{
    std::vector<Interface> found;
    hid_device_info* devices = hid_enumerate(vendor_id, product_id);
    for (hid_device_info* d = devices; d != nullptr; d = d->next) {
        if (d->vendor_id == vendor_id && d->product_id == product_id && d->path != nullptr) {
            found.push_back({d->path, utf8_of(d->serial_number), d->usage_page, d->interface_number});
        }
    }
    hid_free_enumeration(devices);
    return found;
}

std::string USBHID::hidapiBuildVersion()
{
    return HID_API_VERSION_STR;
}

std::string USBHID::hidapiVersion()
{
    const char* loaded = hid_version_str();
    return loaded != nullptr ? loaded : "unknown";
}

bool USBHID::connect(uint16_t vendor_id, uint16_t product_id, const std::string& wanted_path)
{
    if (connected) {
        disconnect();
    }
    connect_failure = ConnectFailure::NotFound;
    open_error.clear();

    hid_device_info* devices = hid_enumerate(vendor_id, product_id);
    if (devices == nullptr) {
        connected = false;
        return false;
    }

    std::string path;
    for (hid_device_info* d = devices; d != nullptr; d = d->next) {
        if (is_unit_interface(d, vendor_id, product_id) && (wanted_path.empty() || wanted_path == d->path)) {
            path = d->path;
            break;
        }
    }
    if (!path.empty()) {
        device_handle = hid_open_path(path.c_str());
        if (device_handle == nullptr) {
            connect_failure = ConnectFailure::OpenFailed;
            open_error = utf8_of(hid_error(nullptr));
        }
    }
    hid_free_enumeration(devices);

    connected = device_handle != nullptr;
    if (connected) {
        connect_failure = ConnectFailure::None;
        open_path = path;
    }
    return connected;
}

USBHID::ConnectFailure USBHID::lastConnectFailure() const
{
    return connect_failure;
}

const std::string& USBHID::openError() const
{
    return open_error;
}

void USBHID::disconnect()
{
    if (device_handle != nullptr) {
        hid_close(device_handle);
        device_handle = nullptr;
    }
    connected = false;
    open_path.clear();
}

bool USBHID::isConnected() const
{
    return connected;
}

int USBHID::read(COMMS_MSG_t* msg)
{
    if (!connected || device_handle == nullptr || msg == nullptr) {
        return -1;
    }

    unsigned char buf[kReadBufferSize];
    const int n = hid_read_timeout(device_handle, buf, sizeof buf, kReadTimeoutMs);
    if (n <= 0) {
        return n;
    }
    if (static_cast<size_t>(n) < kInputHeader) {
        return -1;
    }

    // A report can only be decoded once it is known to hold a full frame header; decode into a
    // local so the caller's frame is written in one piece.
    COMMS_MSG_t frame;
    std::memset(&frame, 0, sizeof frame);
    frame.iface = static_cast<COMM_INTERFACE_t>(buf[1]);
    uint32_t id;
    std::memcpy(&id, buf + 2, 4);
    frame.can_ID = id;
    frame.msg_len = static_cast<CAN_MSG_LEN_t>(buf[6]);

    size_t payload = can_msg_payload_len(frame.msg_len);
    const size_t available = static_cast<size_t>(n) - kInputHeader;
    if (payload > available) {
        payload = available; // a short report leaves the tail of the payload zero
    }
    if (payload > kCanMaxPayload) {
        payload = kCanMaxPayload;
    }
    std::memcpy(frame.data, buf + kInputHeader, payload);
    std::memcpy(msg, &frame, sizeof frame);
    return n;
}

int USBHID::write(const uint8_t* data, size_t length)
{
    if (!connected || device_handle == nullptr) {
        return -1;
    }
    if (data == nullptr && length != 0) {
        return -1;
    }
    std::vector<unsigned char> report(length + 1);
    report[0] = report_ID;
    if (length != 0) {
        std::memcpy(report.data() + 1, data, length);
    }
    return hid_write(device_handle, report.data(), report.size());
}

int USBHID::write(const COMMS_MSG_t& msg)
{
    if (!connected || device_handle == nullptr) {
        return -1;
    }
    const size_t n = can_msg_payload_len(msg.msg_len);
    uint8_t buf[5 + kCanMaxPayload];
    const uint32_t id = msg.can_ID;
    std::memcpy(buf, &id, 4);
    buf[4] = static_cast<uint8_t>(msg.msg_len);
    std::memcpy(buf + 5, msg.data, n);
    return write(buf, n + 5);
}
