// Remote reads, writes and stores: the frames on the wire for both identifier maps, which map and
// acknowledgement form each cache state really uses, failure lines, and one manager shared by
// several threads.
#include <atomic>
#include <thread>

#include "efis_shared/get_set.h"
#include "link_fixture.h"

namespace {

using namespace linktest;
using sim::Direction;
using sim::FaultKind;
using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

using Values = Link;

// The checksum a save must carry for the unit to commit its working record.
uint32_t unit_checksum(const sim::VirtualUnit& u)
{
    Settings_t s = u.working_settings();
    s.magic = kSettingsMagic;
    s.crc32 = 0;
    return settings_CalcCRC(&s);
}

TEST_F(Values, FramesOnBothMaps)
{
    struct Map {
        sim::UnitConfig cfg;
        uint8_t read_s, set_s, save_s, read_c, set_c, save_c; // low identifier bytes (all are 0x3xx)
    };
    const Map maps[] = {{current_unit(0, 2, 12), 0x70, 0x90, 0xA0, 0x30, 0x50, 0x60},
                        {current_unit(0, 2, 11), 0x76, 0x78, 0x79, 0x54, 0x56, 0x57}};
    for (const Map& m : maps) {
        sim::unplug_all();
        attach_at(m.cfg);
        EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, APPROACHSPEED_INDEX, 0x11223344), 0);
        EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, APPROACHSPEED_INDEX), 0x44u);
        const uint32_t crc = unit_checksum(*unit);
        EXPECT_EQ(store_value(&comms, SETTINGS_COMMS, crc), 0);
        EXPECT_EQ(set_value(&comms, SENSOR_COMMS, LSM_ACC_OFFSET_X_INDEX, 0x3F800000), 0);
        EXPECT_EQ(get_value(&comms, SENSOR_COMMS, LSM_ACC_OFFSET_X_INDEX), 0x3F800000u);
        EXPECT_EQ(store_value(&comms, SENSOR_COMMS, 0xDEADBEEF), 0);

        const uint8_t c0 = crc & 0xFF, c1 = (crc >> 8) & 0xFF, c2 = (crc >> 16) & 0xFF, c3 = crc >> 24;
        EXPECT_EQ(reports(Direction::ToUnit),
                  (std::vector<Bytes>{{0x05, m.set_s, 0x03, 0, 0, 5, 7, 0x44, 0x33, 0x22, 0x11},
                                      {0x05, m.read_s, 0x03, 0, 0, 1, 7},
                                      {0x05, m.save_s, 0x03, 0, 0, 4, c0, c1, c2, c3},
                                      {0x05, m.set_c, 0x03, 0, 0, 5, 1, 0x00, 0x00, 0x80, 0x3F},
                                      {0x05, m.read_c, 0x03, 0, 0, 1, 1},
                                      {0x05, m.save_c, 0x03, 0, 0, 4, 0xEF, 0xBE, 0xAD, 0xDE}}));
        EXPECT_EQ(unit->stored_settings().vspeeds.VRef, 0x44);
        EXPECT_EQ(unit->calibration().LSM_CAL.acc_offset.x, 1.0f);
        EXPECT_EQ(unit->calibration_saves(), std::vector<uint32_t>{0xDEADBEEF});
    }
}

// What each state of the version cache puts on the wire and which acknowledgement it accepts.
TEST_F(Values, CacheStateDecidesWireForms)
{
    enum class How { ConnectOnly, Establish, LegacyProbe, EstablishThenReset };
    struct Row {
        const char* name;
        sim::UnitConfig cfg;
        How how;
        uint32_t set_id, read_id, reply_id, set_addr_id;
        int set_result;
        Lines set_lines;
    };
    const Lines six_byte_form_on_compact_ack = {
        "ACK validation failed: msg_len mismatch (expected CAN_6_BYTES, got 0x04)"};
    const Row rows[] = {
        {"empty", current_unit(0, 2, 12), How::ConnectOnly, 0x390, 0x370, 0x380, 0x440, -1,
         six_byte_form_on_compact_ack},
        {"legacy reply", legacy_unit(), How::LegacyProbe, 0x378, 0x376, 0x377, 0x417, 0, {}},
        {"0.2.11", current_unit(0, 2, 11), How::Establish, 0x378, 0x376, 0x377, 0x417, 0, {}},
        {"0.2.12 rc 5", current_unit(0, 2, 12, 5), How::Establish, 0x390, 0x370, 0x380, 0x440, 0, {}},
        {"0.3.0", current_unit(0, 3, 0), How::Establish, 0x390, 0x370, 0x380, 0x440, 0, {}},
        {"1.0.0", current_unit(1, 0, 0), How::Establish, 0x390, 0x370, 0x380, 0x440, 0, {}},
        {"after reset", current_unit(0, 2, 12), How::EstablishThenReset, 0x390, 0x370, 0x380, 0x440, -1,
         six_byte_form_on_compact_ack},
    };
    for (const Row& r : rows) {
        sim::unplug_all();
        reset_whoami_fwversion_cache();
        unit = std::make_shared<sim::VirtualUnit>(r.cfg);
        sim::plug(unit);
        printed([&] {
            if (r.how == How::Establish || r.how == How::EstablishThenReset) {
                EXPECT_TRUE(comms.establish_connection()) << r.name;
            } else {
                EXPECT_TRUE(comms.connectUSB(vendor_id, product_id)) << r.name;
            }
        });
        if (r.how == How::LegacyProbe) {
            ASSERT_NE(probe_whoami(&comms, USB_HID, LEGACY_CANMSG_WHOAMI, nullptr, true), 0xFFFFFFFFu) << r.name;
        }
        if (r.how == How::EstablishThenReset) {
            reset_whoami_fwversion_cache();
        }
        unit->clear_log();

        int result = 1;
        EXPECT_EQ(printed([&] { result = set_value(&comms, SETTINGS_COMMS, VNE_INDEX, 140); }), r.set_lines) << r.name;
        EXPECT_EQ(result, r.set_result) << r.name;
        EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, VNE_INDEX), 140u) << r.name; // the unit took the write either way
        // The flash acknowledgement form: legacy forms accept a unified frame of 6 bytes too.
        send(frame(r.set_addr_id, CAN_4_BYTES, {0x00, 0x00, 0x01, 0x00}));
        uint32_t address = 0;
        EXPECT_TRUE(wait_for_mx25_ack(&comms, nullptr, &address)) << r.name;
        EXPECT_EQ(address, 0x10000u) << r.name;

        EXPECT_EQ(ids(Direction::ToUnit), (std::vector<uint32_t>{r.set_id, r.read_id, r.set_addr_id})) << r.name;
        const auto from = ids(Direction::FromUnit);
        ASSERT_EQ(from.size(), 3u) << r.name;
        EXPECT_EQ(from[1], r.reply_id) << r.name;
    }
}

TEST_F(Values, ReplyMatching)
{
    attach_at(current_unit(0, 2, 12));
    Settings_t s = unit->working_settings();
    s.vspeeds.Vn0 = 0x55;
    s.vspeeds.Vne = 0x66;
    unit->load_settings(s);

    // The reply names no index: whatever 0x380 frame comes first is the answer.
    send(frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES, {VN0_INDEX}));
    EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, VNE_INDEX), 0x55u);
    COMMS_MSG_t late;
    ASSERT_GT(comms.read(&late), 0); // the reply to get_value's own request is still queued
    EXPECT_EQ(late.data[0], 0x66);

    // Replies too short for a value are passed over, including codes that carry no bytes at all.
    for (uint32_t code : {3u, 0x20u, 0xFFu}) {
        unit->inject(fault(FaultKind::BadLengthCode, CANMSG_REQUEST_USER_SETTING, code));
        send(frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES, {VN0_INDEX}));
        uint32_t v = 0;
        EXPECT_TRUE(read_value(&comms, SETTINGS_COMMS, VNE_INDEX, &v)) << code;
        EXPECT_EQ(v, 0x66u) << code;
    }

    // A stored all-ones word is a value, not a failure.
    ASSERT_EQ(set_value(&comms, SETTINGS_COMMS, AIRPLANE_COLOR_INDEX, 0xFFFFFFFF), 0);
    uint32_t white = 0;
    EXPECT_TRUE(read_value(&comms, SETTINGS_COMMS, AIRPLANE_COLOR_INDEX, &white));
    EXPECT_EQ(white, 0xFFFFFFFFu);
}

TEST_F(Values, Failures)
{
    // Not connected: only get_value says so.
    EXPECT_EQ(printed([&] {
                  EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, 0), 0xFFFFFFFFu);
                  EXPECT_EQ(get_value(nullptr, SETTINGS_COMMS, 0), 0xFFFFFFFFu);
                  EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, 0, 1), -1);
                  EXPECT_EQ(store_value(&comms, SETTINGS_COMMS, 1), -1);
                  EXPECT_EQ(set_value(nullptr, SETTINGS_COMMS, 0, 1), -1);
              }),
              (Lines{"CommsManager not connected.", "CommsManager not connected."}));

    attach_at(current_unit(0, 2, 12));
    unit->inject(fault(FaultKind::WriteError, sim::kAnyId, 0, 3));
    EXPECT_EQ(printed([&] {
                  EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, 0), 0xFFFFFFFFu);
                  EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, 0, 1), -1);
                  EXPECT_EQ(store_value(&comms, SETTINGS_COMMS, 1), -1);
              }),
              Lines{"Failed to send COMMS_MSG_t to device."});

    unit->inject(fault(FaultKind::ReadError, sim::kAnyId));
    uint32_t v = 0x77;
    EXPECT_EQ(printed([&] { EXPECT_FALSE(read_value(&comms, SETTINGS_COMMS, 0, &v)); }),
              Lines{"Error reading response from device."});
    EXPECT_EQ(v, 0x77u);

    sim::unplug_all();
    attach_at(current_unit(0, 2, 12));
    unit->inject(fault(FaultKind::NoReply, sim::kAnyId));
    auto t0 = Clock::now();
    EXPECT_EQ(printed([&] { EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, 0), 0xFFFFFFFFu); }),
              Lines{"No response received from device (timeout or no data)."});
    EXPECT_GE(ms_since(t0), 1000);

    unit->inject(fault(FaultKind::NoReply, sim::kAnyId));
    unit->set_chatter(true);
    t0 = Clock::now();
    EXPECT_EQ(printed([&] { EXPECT_FALSE(read_value(&comms, SETTINGS_COMMS, 0, nullptr)); }).back(),
              "get_value: timeout waiting for response (expected CAN ID 0x380).");
    EXPECT_GE(ms_since(t0), 500);
}

// Two threads exchanging on one manager, and a third keeping the link across several exchanges:
// every reply reaches the thread that asked for it.
TEST_F(Values, SharedManager)
{
    attach_at(current_unit(0, 2, 12));
    constexpr int kRounds = 150;
    std::atomic<int> failures{0};
    std::atomic<bool> try_hold_refused{false};

    auto hammer = [&](uint8_t index, uint32_t base) {
        for (int i = 0; i < kRounds; ++i) {
            const uint32_t v = base + static_cast<uint32_t>(i);
            uint32_t got = 0;
            if (set_value(&comms, SETTINGS_COMMS, index, v) != 0 || !read_value(&comms, SETTINGS_COMMS, index, &got) ||
                got != v) {
                ++failures;
            }
        }
    };
    auto holder = [&] {
        for (int round = 0; round < 20; ++round) {
            LinkHold hold = comms.hold();
            const size_t before = unit->log().size();
            for (uint32_t k = 0; k < 3; ++k) {
                const uint32_t v = 0xC0DE0000u + static_cast<uint32_t>(round) * 16 + k;
                uint32_t got = 0;
                if (set_value(&comms, SETTINGS_COMMS, OWNSHIP_ICAO_INDEX, v) != 0 ||
                    !read_value(&comms, SETTINGS_COMMS, OWNSHIP_ICAO_INDEX, &got) || got != v) {
                    ++failures;
                }
            }
            std::thread probe([&] { try_hold_refused = try_hold_refused || !comms.try_hold().owns_lock(); });
            probe.join();
            // Nobody else got a frame in while the link was held.
            const auto log = unit->log();
            for (size_t i = before; i < log.size(); ++i) {
                if (log[i].direction == Direction::ToUnit && log[i].frame.data[0] != OWNSHIP_ICAO_INDEX) {
                    ++failures;
                }
            }
            if (log.size() - before != 12) {
                ++failures;
            }
        }
    };
    std::thread a(hammer, SKY_COLOR_0_INDEX, 0xA0000000u);
    std::thread b(hammer, GROUND_COLOR_1_INDEX, 0xB0000000u);
    std::thread c(holder);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(try_hold_refused.load());

    // On the wire: strictly request, reply, request, reply, each reply of the request's kind.
    const auto log = unit->log();
    ASSERT_EQ(log.size(), size_t{2 * (2 * 2 * kRounds + 20 * 3 * 2)});
    for (size_t i = 0; i < log.size(); i += 2) {
        const COMMS_MSG_t& req = log[i].frame;
        const COMMS_MSG_t& rep = log[i + 1].frame;
        ASSERT_EQ(log[i].direction, Direction::ToUnit) << i;
        ASSERT_EQ(log[i + 1].direction, Direction::FromUnit) << i;
        if (req.can_ID == CANMSG_SET_USER_SETTING) {
            ASSERT_EQ(uint32_t{rep.can_ID}, uint32_t{CANMSG_ACK}) << i;
            ASSERT_EQ(rep.data[1] | rep.data[2] << 8, CANMSG_SET_USER_SETTING) << i;
        } else {
            ASSERT_EQ(uint32_t{req.can_ID}, uint32_t{CANMSG_REQUEST_USER_SETTING}) << i;
            ASSERT_EQ(uint32_t{rep.can_ID}, uint32_t{CANMSG_SEND_USER_SETTING}) << i;
        }
    }
}

} // namespace
