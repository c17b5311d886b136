#include "comms/comms.h"

#include "comms/device_log.h"

CommsManager::CommsManager() : usbHid(new USBHID()), canFd(new CANFD()) {}

CommsManager::~CommsManager()
{
    LinkHold lock = hold();
    delete usbHid;
    usbHid = nullptr;
    delete canFd;
    canFd = nullptr;
}

bool CommsManager::connectUSB(uint16_t vid, uint16_t pid, const std::string& path)
{
    LinkHold lock = hold();
    return usbHid != nullptr && usbHid->connect(vid, pid, path);
}

bool CommsManager::connectCANFD(const std::string& interface_name)
{
    LinkHold lock = hold();
    return canFd != nullptr && canFd->connect(interface_name);
}

void CommsManager::disconnect()
{
    LinkHold lock = hold();
    if (usbHid != nullptr) {
        usbHid->disconnect();
    }
    if (canFd != nullptr) {
        canFd->disconnect();
    }
    unit_serial = 0;
    unit_firmware = fwversion_t{0};
}

bool CommsManager::establish_connection(const std::string& usb_path)
{
    LinkHold lock = hold();

    reset_whoami_fwversion_cache();
    unit_serial = 0;
    unit_firmware = fwversion_t{0};
    bool usb_connected = false;
    bool canfd_connected = false;

    device_log("Attempting to connect to USB HID device 0x%04X:0x%04X\n", vendor_id, product_id);
    if (!connectUSB(vendor_id, product_id, usb_path)) {
        if (usbHid != nullptr && usbHid->lastConnectFailure() == USBHID::ConnectFailure::OpenFailed) {
            device_log("USB HID device found but could not be opened: %s\n", usbHid->openError().c_str());
        }
        device_log("Failed to connect to USB HID device\n");
    } else {
        device_log("USB HID device connected, verifying with serial number request...\n");
        fwversion_t fw = {0};
        const uint32_t serial = get_serialnumber(this, USB_HID, &fw);
        if (serial == 0xFFFFFFFFu) {
            device_log("Failed to get serial number from USB HID device - disconnecting\n");
            usbHid->disconnect();
        } else {
            usb_connected = true;
            unit_serial = serial;
            unit_firmware = fw;
            device_log("Successfully connected to USB HID device! Serial number: 0x%08X, firmware %u.%u.%u (rc %u)\n",
                       serial, fw.major, fw.minor, fw.patch, fw.rc);
        }
    }

    const std::string can_name = "can0";
    device_log("Attempting to connect to CAN FD interface: %s\n", can_name.c_str());
    if (!connectCANFD(can_name)) {
        device_log("Failed to connect to CAN FD interface\n");
    } else {
        device_log("CAN FD interface connected, verifying with serial number request...\n");
        fwversion_t fw = {0};
        const uint32_t serial = get_serialnumber(this, CAN_FD, &fw);
        if (serial == 0xFFFFFFFFu) {
            device_log("Failed to get serial number from CAN FD interface - disconnecting\n");
            canFd->disconnect();
        } else {
            canfd_connected = true;
            if (!usb_connected) {
                unit_serial = serial;
                unit_firmware = fw;
            }
            device_log("Successfully connected to CAN FD interface! Serial number: 0x%08X, firmware %u.%u.%u (rc %u)\n",
                       serial, fw.major, fw.minor, fw.patch, fw.rc);
        }
    }

    if (!usb_connected && !canfd_connected) {
        device_log("Failed to connect via both USB HID and CAN FD\n");
        device_log_flush();
        return false;
    }
    if (usb_connected && canfd_connected) {
        device_log("Connected via both USB HID and CAN FD\n");
    } else if (usb_connected) {
        device_log("Connected via USB HID\n");
    } else {
        device_log("Connected via CAN FD\n");
    }
    device_log_flush();
    return true;
}

int CommsManager::write(const COMMS_MSG_t& msg)
{
    LinkHold lock = hold();
    COMMS_MSG_t copy = msg;
    if (usbHid != nullptr && usbHid->isConnected()) {
        copy.iface = USB_HID;
        return usbHid->write(copy);
    }
    if (canFd != nullptr && canFd->isConnected()) {
        copy.iface = CAN_FD;
        return canFd->write(copy);
    }
    device_log("No interface connected.\n");
    return -1;
}

int CommsManager::read(COMMS_MSG_t* msg)
{
    if (msg == nullptr) {
        return -1;
    }
    LinkHold lock = hold();
    if (usbHid != nullptr && usbHid->isConnected()) {
        return usbHid->read(msg);
    }
    if (canFd != nullptr && canFd->isConnected()) {
        return canFd->read(msg);
    }
    return -1;
}

// Connection state changes only inside establish_connection() and the destructor, both before or
// after any other thread uses the link, so reading it needs no hold (and must not wait for one:
// the window asks while a transfer holds the link).
bool CommsManager::isConnected() const
{
    return (usbHid != nullptr && usbHid->isConnected()) || (canFd != nullptr && canFd->isConnected());
}

COMM_INTERFACE_t CommsManager::getActiveInterface() const
{
    if (usbHid != nullptr && usbHid->isConnected()) {
        return USB_HID;
    }
    if (canFd != nullptr && canFd->isConnected()) {
        return CAN_FD;
    }
    return USB_HID;
}

USBHID* CommsManager::getUSBHID() const
{
    return usbHid;
}

CANFD* CommsManager::getCANFD() const
{
    return canFd;
}

LinkHold CommsManager::hold() const
{
    return LinkHold(link_mutex);
}

LinkHold CommsManager::try_hold() const
{
    return LinkHold(link_mutex, std::try_to_lock);
}
