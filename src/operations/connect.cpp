#include "operations/operations.h"

namespace operations {

std::string version_text(const fwversion_t& fw)
{
    return std::to_string(fw.major) + "." + std::to_string(fw.minor) + "." + std::to_string(fw.patch);
}

Connection connect_unit(CommsManager* comms)
{
    Connection c;
    if (comms == nullptr) {
        return c;
    }
    if (comms->establish_connection()) {
        c.step = ConnectStep::Connected;
        c.unit.serial = comms->unitSerial();
        c.unit.firmware = comms->unitFirmware();
        c.unit.legacy = use_legacy_can_map();
        // The legacy identity reply carries no version; the current one always does.
        c.unit.version_reported = c.unit.firmware.version != 0;
        return c;
    }
    const USBHID* usb = comms->getUSBHID();
    switch (usb != nullptr ? usb->lastConnectFailure() : USBHID::ConnectFailure::NotFound) {
    case USBHID::ConnectFailure::OpenFailed:
        c.step = ConnectStep::NotOpenable;
        c.open_error = usb->openError();
        break;
    case USBHID::ConnectFailure::None:
        c.step = ConnectStep::NoIdentity;
        break;
    case USBHID::ConnectFailure::NotFound:
        c.step = ConnectStep::NotFound;
        break;
    }
    return c;
}

bool reboot_unit(CommsManager* comms)
{
    return send_reboot(comms);
}

} // namespace operations
