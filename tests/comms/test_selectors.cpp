// Which identifiers and acknowledgement forms each state of the version cache selects.
#include <gtest/gtest.h>

#include "comms/can_msg_ids.h"
#include "link_fixture.h"

namespace {

using linktest::version;

struct Selector {
    const char* name;
    uint32_t (*fn)();
    uint32_t current;
    uint32_t legacy;
};

const Selector kSelectors[] = {
    {"ack", canmsg_ack, 0x0E0, 0x255},
    {"mx25_ack", canmsg_mx25_ack, 0x0F0, 0x256},
    {"request_user_setting", canmsg_request_user_setting, 0x370, 0x376},
    {"send_user_setting", canmsg_send_user_setting, 0x380, 0x377},
    {"request_sensor_calib", canmsg_request_sensor_calib, 0x330, 0x354},
    {"send_sensor_calib", canmsg_send_sensor_calib, 0x340, 0x355},
    {"set_user_setting", canmsg_set_user_setting, 0x390, 0x378},
    {"set_sensor_calib", canmsg_set_sensor_calib, 0x350, 0x356},
    {"save_user_settings", canmsg_save_user_settings, 0x3A0, 0x379},
    {"save_sensor_calib", canmsg_save_sensor_calib, 0x360, 0x357},
    {"enter_bl", canmsg_enter_bl, 0x3B0, 0x399},
    {"get_partition", canmsg_get_partition, 0x730, 0x287},
    {"airport_db_op", canmsg_airport_db_op, 0x450, 0x42F},
    {"erase_mx25", canmsg_erase_mx25, 0x430, 0x416},
    {"set_addr_mx25", canmsg_set_addr_mx25, 0x440, 0x417},
    {"write_mx25", canmsg_write_mx25, 0x420, 0x415},
    {"whoami", canmsg_whoami, 0x010, 0x123},
    {"mx25_nack", canmsg_mx25_nack_wire_id, 0x257, 0x257},
};

struct CacheState {
    const char* name;
    bool known;
    fwversion_t fw;
    bool legacy_map;
    bool at_least_0_2_12;
};

class Selectors : public ::testing::Test {
protected:
    void SetUp() override { reset_whoami_fwversion_cache(); }
    void TearDown() override { reset_whoami_fwversion_cache(); }
};

TEST_F(Selectors, EveryCacheState)
{
    const CacheState states[] = {
        {"empty", false, {}, false, false},
        {"legacy reply", true, version(0, 0, 0), true, false},
        {"0.1.99", true, version(0, 1, 99), true, false},
        {"0.2.11 rc 9", true, version(0, 2, 11, 9), true, false},
        {"0.2.12", true, version(0, 2, 12), false, true},
        {"0.2.12 rc 5", true, version(0, 2, 12, 5), false, true},
        {"0.3.0", true, version(0, 3, 0), false, true},
        {"1.0.0", true, version(1, 0, 0), false, true},
    };
    for (const CacheState& s : states) {
        reset_whoami_fwversion_cache();
        if (s.known) {
            cache_whoami_fwversion(s.fw);
        }
        EXPECT_EQ(device_whoami_fwversion_known(), s.known) << s.name;
        EXPECT_EQ(use_legacy_can_map(), s.legacy_map) << s.name;
        EXPECT_EQ(device_firmware_at_least_0_2_12(), s.at_least_0_2_12) << s.name;
        EXPECT_EQ(device_ack_payload_format(), s.at_least_0_2_12 ? Compact4Byte : Legacy6Byte) << s.name;
        for (const Selector& sel : kSelectors) {
            EXPECT_EQ(sel.fn(), s.legacy_map ? sel.legacy : sel.current) << s.name << " " << sel.name;
        }
    }
}

TEST_F(Selectors, ResetForgetsTheVersionButKeepsIt)
{
    cache_whoami_fwversion(version(0, 2, 11));
    reset_whoami_fwversion_cache();
    EXPECT_FALSE(use_legacy_can_map());
    EXPECT_EQ(canmsg_ack(), 0x0E0u);
    EXPECT_EQ(g_whoami_fwversion.minor, 2);
    cache_whoami_fwversion(version(1, 0, 0));
    reset_whoami_fwversion_cache();
    EXPECT_FALSE(device_firmware_at_least_0_2_12());
    EXPECT_EQ(device_ack_payload_format(), Legacy6Byte);
}

TEST_F(Selectors, VersionComparison)
{
    EXPECT_TRUE(fwversion_ge(version(1, 0, 0), 0, 2, 12));   // the major decides
    EXPECT_FALSE(fwversion_ge(version(0, 1, 99), 0, 2, 12)); // the minor before the patch
    EXPECT_TRUE(fwversion_ge(version(0, 2, 12, 0), 0, 2, 12));
    EXPECT_FALSE(fwversion_ge(version(0, 2, 11, 255), 0, 2, 12)); // rc plays no part
    EXPECT_FALSE(fwversion_ge(version(0, 255, 255), 1, 0, 0));
}

} // namespace
