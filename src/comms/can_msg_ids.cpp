#include "comms/can_msg_ids.h"

fwversion_t g_whoami_fwversion = {0};
bool g_whoami_fwversion_known = false;

void reset_whoami_fwversion_cache()
{
    g_whoami_fwversion_known = false;
}

void cache_whoami_fwversion(const fwversion_t& fw)
{
    g_whoami_fwversion = fw;
    g_whoami_fwversion_known = true;
}

bool device_whoami_fwversion_known()
{
    return g_whoami_fwversion_known;
}

bool fwversion_ge(const fwversion_t& fw, uint8_t need_major, uint8_t need_minor, uint8_t need_patch)
{
    if (fw.major != need_major) {
        return fw.major > need_major;
    }
    if (fw.minor != need_minor) {
        return fw.minor > need_minor;
    }
    return fw.patch >= need_patch;
}

bool device_firmware_at_least_0_2_12()
{
    return g_whoami_fwversion_known && fwversion_ge(g_whoami_fwversion, 0, 2, 12);
}

AckPayloadFormat device_ack_payload_format()
{
    return device_firmware_at_least_0_2_12() ? Compact4Byte : Legacy6Byte;
}

bool use_legacy_can_map()
{
    return device_whoami_fwversion_known() && !device_firmware_at_least_0_2_12();
}

namespace {
inline uint32_t pick(uint32_t current, uint32_t legacy)
{
    return use_legacy_can_map() ? legacy : current;
}
} // namespace

uint32_t canmsg_ack()
{
    return pick(CANMSG_ACK, LEGACY_CANMSG_ACK);
}
uint32_t canmsg_mx25_ack()
{
    return pick(CANMSG_MX25_ACK, LEGACY_CANMSG_MX25_ACK);
}
uint32_t canmsg_request_user_setting()
{
    return pick(CANMSG_REQUEST_USER_SETTING, LEGACY_CANMSG_REQUEST_USER_SETTING);
}
uint32_t canmsg_send_user_setting()
{
    return pick(CANMSG_SEND_USER_SETTING, LEGACY_CANMSG_SEND_USER_SETTING);
}
uint32_t canmsg_request_sensor_calib()
{
    return pick(CANMSG_REQUEST_SENSOR_CALIB, LEGACY_CANMSG_REQUEST_SENSOR_CALIB);
}
uint32_t canmsg_send_sensor_calib()
{
    return pick(CANMSG_SEND_SENSOR_CALIB, LEGACY_CANMSG_SEND_SENSOR_CALIB);
}
uint32_t canmsg_set_user_setting()
{
    return pick(CANMSG_SET_USER_SETTING, LEGACY_CANMSG_SET_USER_SETTING);
}
uint32_t canmsg_set_sensor_calib()
{
    return pick(CANMSG_SET_SENSOR_CALIB, LEGACY_CANMSG_SET_SENSOR_CALIB);
}
uint32_t canmsg_save_user_settings()
{
    return pick(CANMSG_SAVE_USER_SETTINGS, LEGACY_CANMSG_SAVE_USER_SETTINGS);
}
uint32_t canmsg_save_sensor_calib()
{
    return pick(CANMSG_SAVE_SENSOR_CALIB, LEGACY_CANMSG_SAVE_SENSOR_CALIB);
}
uint32_t canmsg_enter_bl()
{
    return pick(CANMSG_ENTER_BL, LEGACY_CANMSG_ENTER_BL);
}
uint32_t canmsg_get_partition()
{
    return pick(CANMSG_GET_PARTITION, LEGACY_CANMSG_GET_PARTITION);
}
uint32_t canmsg_airport_db_op()
{
    return pick(CANMSG_AIRPORT_DB_OP, LEGACY_CANMSG_AIRPORT_DB_OP);
}
uint32_t canmsg_erase_mx25()
{
    return pick(CANMSG_ERASE_MX25, LEGACY_CANMSG_ERASE_MX25);
}
uint32_t canmsg_set_addr_mx25()
{
    return pick(CANMSG_SET_ADDR_MX25, LEGACY_CANMSG_SET_ADDR_MX25);
}
uint32_t canmsg_write_mx25()
{
    return pick(CANMSG_WRITE_MX25, LEGACY_CANMSG_WRITE_MX25);
}
uint32_t canmsg_mx25_nack_wire_id()
{
    return LEGACY_CANMSG_MX25_NACK;
}
uint32_t canmsg_whoami()
{
    return pick(CANMSG_WHOAMI, LEGACY_CANMSG_WHOAMI);
}
