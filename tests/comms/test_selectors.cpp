// Which identifiers and acknowledgement forms each state of the version cache selects.
#include "link_fixture.h"

namespace {

using linktest::unit_at;

struct Selector {
    uint32_t (*fn)();
    uint32_t current;
    uint32_t legacy;
};

// clang-format off
const Selector kSelectors[] = {
    {canmsg_ack, 0x0E0, 0x255},                  {canmsg_mx25_ack, 0x0F0, 0x256},
    {canmsg_request_user_setting, 0x370, 0x376}, {canmsg_send_user_setting, 0x380, 0x377},
    {canmsg_request_sensor_calib, 0x330, 0x354}, {canmsg_send_sensor_calib, 0x340, 0x355},
    {canmsg_set_user_setting, 0x390, 0x378},     {canmsg_set_sensor_calib, 0x350, 0x356},
    {canmsg_save_user_settings, 0x3A0, 0x379},   {canmsg_save_sensor_calib, 0x360, 0x357},
    {canmsg_enter_bl, 0x3B0, 0x399},             {canmsg_get_partition, 0x730, 0x287},
    {canmsg_airport_db_op, 0x450, 0x42F},        {canmsg_erase_mx25, 0x430, 0x416},
    {canmsg_set_addr_mx25, 0x440, 0x417},        {canmsg_write_mx25, 0x420, 0x415},
    {canmsg_whoami, 0x010, 0x123},               {canmsg_mx25_nack_wire_id, 0x257, 0x257},
};
// clang-format on

TEST(Selectors, EveryCacheState)
{
    enum How { Empty, Cached, CachedThenReset };
    struct State {
        How how;
        fwversion_t fw;
        bool legacy_map;
        bool at_least_0_2_12;
    };
    const State states[] = {
        {Empty, {}, false, false},
        {Cached, unit_at(0, 0, 0).version, true, false}, // a legacy WHOAMI reply
        {Cached, unit_at(0, 1, 99).version, true, false},
        {Cached, unit_at(0, 2, 11, 255).version, true, false},
        {Cached, unit_at(0, 2, 12).version, false, true},
        {Cached, unit_at(0, 2, 12, 5).version, false, true},
        {Cached, unit_at(0, 3, 0).version, false, true},
        {Cached, unit_at(1, 0, 0).version, false, true},
        {CachedThenReset, unit_at(1, 0, 0).version, false, false}, // the old version is still stored
    };
    for (const State& s : states) {
        reset_whoami_fwversion_cache();
        if (s.how != Empty) {
            cache_whoami_fwversion(s.fw);
        }
        if (s.how == CachedThenReset) {
            reset_whoami_fwversion_cache();
        }
        const std::string name = std::to_string(s.how) + " " + std::to_string(s.fw.version);
        EXPECT_EQ(use_legacy_can_map(), s.legacy_map) << name;
        EXPECT_EQ(device_firmware_at_least_0_2_12(), s.at_least_0_2_12) << name;
        EXPECT_EQ(device_ack_payload_format(), s.at_least_0_2_12 ? Compact4Byte : Legacy6Byte) << name;
        for (const Selector& sel : kSelectors) {
            EXPECT_EQ(sel.fn(), s.legacy_map ? sel.legacy : sel.current) << name << " " << sel.current;
        }
    }
    reset_whoami_fwversion_cache();
}

} // namespace
