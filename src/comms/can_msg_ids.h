// Which identifier map and acknowledgement forms the attached unit speaks, decided by the firmware
// version its WHOAMI reply reported. Code outside this file never names an identifier directly: it
// asks a selector, which looks at the version cache on every call.
#pragma once

#include <cstdint>

#include "comms/legacy_can_export.h"
#include "efis_shared/can_export.h"
#include "efis_shared/firmware.h"

enum AckPayloadFormat {
    Legacy6Byte = 0,
    Compact4Byte = 1,
};

// Version of the last WHOAMI reply, and whether one has been cached since the last reset. Written
// only while a connection is being established, before any other thread uses the link.
extern fwversion_t g_whoami_fwversion;
extern bool g_whoami_fwversion_known;

void reset_whoami_fwversion_cache();
void cache_whoami_fwversion(const fwversion_t& fw);
bool device_whoami_fwversion_known();
// major.minor.patch comparison; rc plays no part.
bool fwversion_ge(const fwversion_t& fw, uint8_t need_major, uint8_t need_minor, uint8_t need_patch);
bool device_firmware_at_least_0_2_12();
AckPayloadFormat device_ack_payload_format();

// Legacy identifiers only once a version below 0.2.12 (or a legacy WHOAMI reply) is cached.
bool use_legacy_can_map();

uint32_t canmsg_ack();
uint32_t canmsg_mx25_ack();
uint32_t canmsg_request_user_setting();
uint32_t canmsg_send_user_setting();
uint32_t canmsg_request_sensor_calib();
uint32_t canmsg_send_sensor_calib();
uint32_t canmsg_set_user_setting();
uint32_t canmsg_set_sensor_calib();
uint32_t canmsg_save_user_settings();
uint32_t canmsg_save_sensor_calib();
uint32_t canmsg_enter_bl();
uint32_t canmsg_get_partition();
uint32_t canmsg_airport_db_op();
uint32_t canmsg_erase_mx25();
uint32_t canmsg_set_addr_mx25();
uint32_t canmsg_write_mx25();
// Both generations report a failed flash operation under the legacy identifier.
uint32_t canmsg_mx25_nack_wire_id();
uint32_t canmsg_whoami();
