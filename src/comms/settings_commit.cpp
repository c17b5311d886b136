// Committing the settings record on the unit, and the reboot command.
#include <cstring>

#include "comms/comms.h"

int store_settings(CommsManager* comms, uint32_t crc, StoreSettingsStep* failed_step)
{
    StoreSettingsStep unused = StoreSettingsStep::None;
    StoreSettingsStep& step = failed_step != nullptr ? *failed_step : unused;
    if (comms == nullptr || !comms->isConnected()) {
        step = StoreSettingsStep::NotConnected;
        return -1;
    }
    // Both replies belong to this save: nobody else may read in between.
    LinkHold hold = comms->hold();

    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof msg);
    msg.can_ID = canmsg_save_user_settings();
    msg.msg_len = CAN_4_BYTES;
    std::memcpy(msg.data, &crc, 4);
    if (comms->write(msg) < 1) {
        step = StoreSettingsStep::Send;
        return -1;
    }
    // The unit erases its settings area first and reports that with a flash acknowledgement.
    if (!wait_for_mx25_ack(comms, nullptr, nullptr)) {
        step = StoreSettingsStep::Erase;
        return -1;
    }
    if (!wait_for_ack(comms, canmsg_save_user_settings())) {
        step = StoreSettingsStep::Confirm;
        return -1;
    }
    step = StoreSettingsStep::None;
    return 0;
}

bool send_reboot(CommsManager* comms)
{
    if (comms == nullptr || !comms->isConnected()) {
        return false;
    }
    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof msg);
    msg.can_ID = canmsg_enter_bl();
    msg.msg_len = CAN_1_BYTES;
    msg.data[0] = kRebootByte;
    return comms->write(msg) >= 1;
}
