// Connection manager and device protocol: identity probe, acknowledgement waits and remote access
// to the settings and calibration records.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "comms/can_msg_ids.h"
#include "comms/canfd/canfd.h"
#include "comms/usb_hid/usb_hid.h"
#include "efis_shared/comms_types.h"
#include "efis_shared/firmware.h"

// Exclusive hold on one manager's link; see CommsManager::hold().
using LinkHold = std::unique_lock<std::recursive_mutex>;

class CommsManager {
public:
    CommsManager();
    ~CommsManager();
    CommsManager(const CommsManager&) = delete;
    CommsManager& operator=(const CommsManager&) = delete;

    bool connectUSB(uint16_t vendor_id, uint16_t product_id, const std::string& path = {});
    bool connectCANFD(const std::string& interface_name);
    // Opens the unit (USB first, then CAN FD), proves each link with WHOAMI and fills the firmware
    // version cache. Logs its progress through device_log. `usb_path`, when given, names the USB
    // unit to open among several; otherwise the first listed is opened.
    bool establish_connection(const std::string& usb_path = {});
    // Closes both transports.
    void disconnect();

    // Routed to the connected transport, USB first. Bytes moved, 0 on a read time-out, -1 on error.
    int write(const COMMS_MSG_t& msg);
    int read(COMMS_MSG_t* msg);

    bool isConnected() const;
    // Identity the unit reported when establish_connection() last succeeded (0 and 0.0.0 before).
    uint32_t unitSerial() const { return unit_serial; }
    fwversion_t unitFirmware() const { return unit_firmware; }
    COMM_INTERFACE_t getActiveInterface() const;
    USBHID* getUSBHID() const;
    CANFD* getCANFD() const;

    // The window and a transfer worker share one manager. Every exchange (a request and the replies
    // it waits for) runs under this hold, so two threads can never interleave frames or take each
    // other's replies. The hold is recursive: a caller may keep it across a longer transaction and
    // still call the protocol functions, which take it again.
    LinkHold hold() const;
    // Takes the hold only if no other thread has it; check owns_lock().
    LinkHold try_hold() const;

private:
    USBHID* usbHid;
    CANFD* canFd;
    mutable std::recursive_mutex link_mutex;
    uint32_t unit_serial = 0;
    fwversion_t unit_firmware{};
};

// --- protocol facts ---------------------------------------------------------------------------

// The two bytes the identity request carries; the legacy identity reply and the legacy general
// acknowledgement carry them as their tag.
inline constexpr uint8_t kProtocolTag[2] = {0xEF, 0x15};
// An identity probe waits this long for its reply.
inline constexpr int kWhoamiDeadlineMs = 2000;
// A value read waits this long for its reply.
inline constexpr int kValueReplyDeadlineMs = 500;
// The data byte of the reboot-to-boot-loader command ('H').
inline constexpr uint8_t kRebootByte = 0x48;

// --- identity ---------------------------------------------------------------------------------

bool whoami_probe_is_legacy(uint32_t whoami_req_id);
// Serial number, or 0xFFFFFFFF. Caches the reported version on success.
uint32_t probe_whoami(CommsManager* comms, COMM_INTERFACE_t iface, uint32_t whoami_req_id,
                      fwversion_t* firmware_version_out, bool verbose_errors);
// Current WHOAMI first, then the legacy one.
uint32_t get_serialnumber(CommsManager* comms, COMM_INTERFACE_t iface, fwversion_t* firmware_version_out);

// --- acknowledgements -------------------------------------------------------------------------

enum ACK_NACK_t : uint8_t {
    NACK = 0,
    ACK = 1,
};

// Every acknowledgement wait ends at the latest this long after it started, even when the unit
// keeps sending frames that are not the awaited one. A unit answers within one read time-out
// (1000 ms); erases of a 64 KiB block take the longest, well under a second on the MX25.
inline constexpr int kAckWaitDeadlineMs = 3000;

bool wait_for_ack(CommsManager* comms, uint32_t expected_can_id);
bool wait_for_ack_legacy(CommsManager* comms, uint32_t expected_can_id);
bool wait_for_ack_compact(CommsManager* comms, uint32_t expected_can_id);
bool wait_for_mx25_ack(CommsManager* comms, uint8_t* op_type_out, uint32_t* address_out);
bool wait_for_mx25_ack_legacy(CommsManager* comms, uint8_t* op_type_out, uint32_t* address_out);
bool wait_for_mx25_ack_unified(CommsManager* comms, uint8_t* op_type_out, uint32_t* address_out);

// --- remote values ----------------------------------------------------------------------------

enum target_comms_t : uint32_t {
    SENSOR_COMMS = 0,
    SETTINGS_COMMS = 1,
};

// The value, or 0xFFFFFFFF for every failure (a stored 0xFFFFFFFF reads the same).
uint32_t get_value(CommsManager* comms, target_comms_t src, uint8_t index);
// Same exchange as get_value, but reports success apart from the value, so that a stored
// 0xFFFFFFFF (opaque white, an erased word) is not mistaken for a failure. *value_out is written
// only on success.
bool read_value(CommsManager* comms, target_comms_t src, uint8_t index, uint32_t* value_out);
// 0 when the unit acknowledged, -1 otherwise.
int set_value(CommsManager* comms, target_comms_t src, uint8_t index, uint32_t value);
int store_value(CommsManager* comms, target_comms_t src, uint32_t crc);

// --- settings commit and reboot ---------------------------------------------------------------

// The step at which store_settings stopped; None when the save was committed.
enum class StoreSettingsStep { None, NotConnected, Send, Erase, Confirm };

// Has the unit commit its working settings record: sends the save frame with the record's checksum,
// then waits for the unit to erase its settings area (flash acknowledgement) and to confirm the save
// (general acknowledgement). Keeps the link for the whole exchange. Logs nothing of its own: the
// caller reports the step from *failed_step. 0 on success, -1 otherwise.
int store_settings(CommsManager* comms, uint32_t crc, StoreSettingsStep* failed_step = nullptr);

// Sends the reboot-to-boot-loader command and waits for nothing. True when the frame went out.
bool send_reboot(CommsManager* comms);
