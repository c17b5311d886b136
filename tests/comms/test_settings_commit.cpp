// Committing the settings record and the reboot command, in both generations: the frame on the
// wire, the step a failed save stops at, and what the unit holds afterwards.
#include "efis_shared/get_set.h"
#include "link_fixture.h"

namespace {

using namespace linktest;
using SettingsCommit = Link;

struct Generation {
    const char* name;
    sim::UnitConfig cfg;
    uint32_t save, reboot, read, reply; // identifiers, written out so that a wrong map shows
};
const Generation kGenerations[] = {
    {"0.2.12", unit_at(0, 2, 12), 0x3A0, 0x3B0, 0x370, 0x380},
    {"legacy", kLegacy, 0x379, 0x399, 0x376, 0x377},
};

// The checksum the unit computes over its working record before it commits.
uint32_t unit_checksum(const sim::VirtualUnit& unit)
{
    Settings_t own = unit.working_settings();
    own.magic = kSettingsMagic;
    own.crc32 = 0;
    return settings_CalcCRC(&own);
}

TEST_F(SettingsCommit, StoreStopsAtTheFailedStep)
{
    StoreSettingsStep step = StoreSettingsStep::None;
    EXPECT_EQ(store_settings(nullptr, 0, &step), -1);
    EXPECT_EQ(step, StoreSettingsStep::NotConnected);
    step = StoreSettingsStep::None;
    EXPECT_EQ(store_settings(&comms, 0, &step), -1); // never connected
    EXPECT_EQ(step, StoreSettingsStep::NotConnected);

    enum Fault { None, WriteFails, NoFlashAck, WrongChecksum };
    struct Case {
        Fault fault;
        StoreSettingsStep step;
        bool committed;
    };
    const Case cases[] = {
        {None, StoreSettingsStep::None, true},
        {WriteFails, StoreSettingsStep::Send, false},
        {NoFlashAck, StoreSettingsStep::Erase, true},       // the unit commits; only its erase report is lost
        {WrongChecksum, StoreSettingsStep::Confirm, false}, // refused by the final acknowledgement
    };
    for (const Generation& g : kGenerations) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(g.name) + " case " + std::to_string(&c - cases));
            attach(g.cfg);
            const Settings_t before = unit->stored_settings();
            ASSERT_EQ(set_value(&comms, SETTINGS_COMMS, VNE_INDEX, 171), 0); // the working record moves ahead
            unit->clear_log();
            const uint32_t crc = unit_checksum(*unit) + (c.fault == WrongChecksum ? 1 : 0);
            if (c.fault == WriteFails) {
                unit->inject({FaultKind::WriteError, g.save});
            } else if (c.fault == NoFlashAck) {
                unit->inject({FaultKind::NoReply, g.save, 0, 1, 0, 0});
            }

            step = StoreSettingsStep::NotConnected;
            int result = 0;
            const Lines lines = printed([&] { result = store_settings(&comms, crc, &step); });
            EXPECT_EQ(result, c.step == StoreSettingsStep::None ? 0 : -1);
            EXPECT_EQ(step, c.step);
            EXPECT_TRUE(c.step != StoreSettingsStep::None || lines.empty()); // a good save logs nothing

            const auto b = [&](int k) { return static_cast<uint8_t>(crc >> (8 * k)); };
            const Bytes save_frame = {5, uint8_t(g.save), uint8_t(g.save >> 8), 0, 0, 4, b(0), b(1), b(2), b(3)};
            EXPECT_EQ(reports(Direction::ToUnit),
                      c.fault == WriteFails ? std::vector<Bytes>{} : std::vector<Bytes>{save_frame});
            const Settings_t stored = unit->stored_settings();
            EXPECT_EQ(stored.crc32, c.committed ? crc : before.crc32);
            EXPECT_EQ(stored.vspeeds.Vne, c.committed ? 171 : before.vspeeds.Vne);
        }
    }
    // Without a place for the step, the result alone.
    attach(kGenerations[0].cfg);
    EXPECT_EQ(store_settings(&comms, unit_checksum(*unit)), 0);
}

TEST_F(SettingsCommit, RebootSendsOneFrameAndWaitsForNothing)
{
    EXPECT_FALSE(send_reboot(nullptr));
    EXPECT_FALSE(send_reboot(&comms)); // never connected
    for (const Generation& g : kGenerations) {
        SCOPED_TRACE(g.name);
        attach(g.cfg);
        send(frame(g.read, CAN_1_BYTES, {VNE_INDEX})); // its reply queues
        unit->clear_log();
        EXPECT_TRUE(send_reboot(&comms));
        EXPECT_EQ(reports(Direction::ToUnit),
                  (std::vector<Bytes>{{5, uint8_t(g.reboot), uint8_t(g.reboot >> 8), 0, 0, 1, 0x48}}));
        EXPECT_EQ(unit->reboot_count(), 1);
        EXPECT_EQ(unit->last_reboot_byte(), uint8_t{0x48});
        // The earlier reply is still there: the reboot read nothing.
        COMMS_MSG_t reply;
        ASSERT_GT(comms.read(&reply), 0);
        const uint32_t reply_id = reply.can_ID; // packed: copied, never bound by reference
        EXPECT_EQ(reply_id, g.reply);

        unit->inject({FaultKind::WriteError, g.reboot});
        EXPECT_FALSE(send_reboot(&comms));
        EXPECT_EQ(unit->reboot_count(), 1);
    }
}

} // namespace
