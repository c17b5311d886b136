#include <cerrno>
#include <chrono>
#include <cstring>

#include "comms/comms.h"
#include "comms/device_log.h"

namespace {

constexpr uint32_t kWhoamiCurrent = CANMSG_WHOAMI;
constexpr uint32_t kWhoamiLegacy = LEGACY_CANMSG_WHOAMI;
constexpr auto kWhoamiDeadline = std::chrono::milliseconds(kWhoamiDeadlineMs);

// The probe addresses one transport explicitly rather than the manager's routing.
struct Transport {
    USBHID* usb = nullptr;
    CANFD* can = nullptr;
    int write(const COMMS_MSG_t& m) { return usb ? usb->write(m) : can->write(m); }
    int read(COMMS_MSG_t* m) { return usb ? usb->read(m) : can->read(m); }
};

} // namespace

bool whoami_probe_is_legacy(uint32_t whoami_req_id)
{
    return std_can_id_matches(whoami_req_id, kWhoamiLegacy);
}

uint32_t probe_whoami(CommsManager* comms, COMM_INTERFACE_t iface, uint32_t whoami_req_id,
                      fwversion_t* firmware_version_out, bool verbose_errors)
{
    if (comms == nullptr) {
        return 0xFFFFFFFFu;
    }
    LinkHold lock = comms->hold();

    COMMS_MSG_t req;
    std::memset(&req, 0, sizeof req);
    req.iface = iface;
    req.can_ID = whoami_req_id;
    req.msg_len = CAN_2_BYTES;
    req.data[0] = kProtocolTag[0];
    req.data[1] = kProtocolTag[1];

    Transport t;
    if (iface == CAN_FD) {
        t.can = comms->getCANFD();
        if (t.can == nullptr || !t.can->isConnected()) {
            return 0xFFFFFFFFu;
        }
    } else if (iface == USB_HID) {
        t.usb = comms->getUSBHID();
        if (t.usb == nullptr || !t.usb->isConnected()) {
            return 0xFFFFFFFFu;
        }
    } else {
        return 0xFFFFFFFFu;
    }

    if (t.write(req) <= 0) {
        if (verbose_errors) {
            device_log("get_serialnumber: Failed to send message to device.\n");
        }
        return 0xFFFFFFFFu;
    }

    const bool legacy = whoami_probe_is_legacy(whoami_req_id);
    const auto deadline = std::chrono::steady_clock::now() + kWhoamiDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
        COMMS_MSG_t reply;
        std::memset(&reply, 0, sizeof reply);
        errno = 0;
        const int n = t.read(&reply);
        if (n < 0) {
            if (iface == CAN_FD && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                continue;
            }
            if (verbose_errors) {
                device_log("get_serialnumber: Error reading response from device (%s).\n", strerror(errno));
            }
            return 0xFFFFFFFFu;
        }
        if (n == 0) {
            continue;
        }
        if (!std_can_id_matches(reply.can_ID, whoami_req_id) || reply.msg_len != CAN_8_BYTES) {
            continue;
        }

        uint32_t serial;
        fwversion_t fw = {0};
        if (!legacy) {
            serial = (uint32_t{reply.data[0]} << 24) | (uint32_t{reply.data[1]} << 16) |
                     (uint32_t{reply.data[2]} << 8) | uint32_t{reply.data[3]};
            std::memcpy(&fw.version, reply.data + 4, 4);
        } else {
            if (reply.data[0] != kProtocolTag[0] || reply.data[1] != kProtocolTag[1]) {
                continue;
            }
            std::memcpy(&serial, reply.data + 4, 4);
        }
        if (firmware_version_out != nullptr) {
            *firmware_version_out = fw;
        }
        cache_whoami_fwversion(fw);
        return serial;
    }

    if (verbose_errors) {
        device_log("get_serialnumber: No valid WHOAMI response before timeout.\n");
    }
    return 0xFFFFFFFFu;
}

uint32_t get_serialnumber(CommsManager* comms, COMM_INTERFACE_t iface, fwversion_t* firmware_version_out)
{
    if (comms == nullptr) {
        return 0xFFFFFFFFu;
    }
    const uint32_t serial = probe_whoami(comms, iface, kWhoamiCurrent, firmware_version_out, false);
    if (serial != 0xFFFFFFFFu) {
        return serial;
    }
    device_log("get_serialnumber: current WHOAMI (0x%03X) failed; retrying legacy WHOAMI (0x%03X).\n", kWhoamiCurrent,
               kWhoamiLegacy);
    return probe_whoami(comms, iface, kWhoamiLegacy, firmware_version_out, true);
}
