// Remote reads, writes and stores: the frames on the wire for both identifier maps, what each
// state of the version cache really uses, failure lines, and one manager shared by several threads.
#include <atomic>
#include <thread>

#include "efis_shared/get_set.h"
#include "link_fixture.h"

namespace {

using namespace linktest;
using Values = Link;

TEST_F(Values, FramesOnBothMaps)
{
    // Low identifier bytes (all are 0x3xx): settings read, set, save; calibration read, set, save.
    for (const auto& [cfg, ids] : {std::pair{unit_at(0, 2, 12), Bytes{0x70, 0x90, 0xA0, 0x30, 0x50, 0x60}},
                                   std::pair{unit_at(0, 2, 11), Bytes{0x76, 0x78, 0x79, 0x54, 0x56, 0x57}}}) {
        attach(cfg);
        Settings_t own = unit->working_settings(); // what the unit checksums before it commits
        own.magic = kSettingsMagic;
        own.crc32 = 0;
        own.vspeeds.VRef = 0x44;
        const uint32_t crc = settings_CalcCRC(&own);
        EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, APPROACHSPEED_INDEX, 0x11223344), 0);
        EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, APPROACHSPEED_INDEX), 0x44u);
        EXPECT_EQ(store_value(&comms, SETTINGS_COMMS, crc), 0);
        EXPECT_EQ(set_value(&comms, SENSOR_COMMS, LSM_ACC_OFFSET_X_INDEX, 0x3F800000), 0);
        EXPECT_EQ(get_value(&comms, SENSOR_COMMS, LSM_ACC_OFFSET_X_INDEX), 0x3F800000u);
        EXPECT_EQ(store_value(&comms, SENSOR_COMMS, 0xDEADBEEF), 0);

        const auto b = [&](int k) { return static_cast<uint8_t>(crc >> (8 * k)); };
        EXPECT_EQ(reports(Direction::ToUnit), (std::vector<Bytes>{{5, ids[1], 3, 0, 0, 5, 7, 0x44, 0x33, 0x22, 0x11},
                                                                  {5, ids[0], 3, 0, 0, 1, 7},
                                                                  {5, ids[2], 3, 0, 0, 4, b(0), b(1), b(2), b(3)},
                                                                  {5, ids[4], 3, 0, 0, 5, 1, 0, 0, 0x80, 0x3F},
                                                                  {5, ids[3], 3, 0, 0, 1, 1},
                                                                  {5, ids[5], 3, 0, 0, 4, 0xEF, 0xBE, 0xAD, 0xDE}}));
        EXPECT_EQ(unit->stored_settings().vspeeds.VRef, 0x44);
        EXPECT_EQ(unit->calibration().LSM_CAL.acc_offset.x, 1.0f);
        EXPECT_EQ(unit->calibration_saves(), std::vector<uint32_t>{0xDEADBEEF});
    }
}

// The map a set, a read and a flash acknowledgement use on the wire in each cache state, and
// whether the unit's general acknowledgement is understood.
TEST_F(Values, CacheStateDecidesWireForms)
{
    enum How { ConnectOnly, Establish, LegacyProbe, EstablishThenReset };
    struct Row {
        sim::UnitConfig cfg;
        How how;
        std::vector<uint32_t> sent; // set, read, set-address
        uint32_t reply_id;
        int set_result;
    };
    const std::vector<uint32_t> current = {0x390, 0x370, 0x440}, legacy = {0x378, 0x376, 0x417};
    const Row rows[] = {
        {unit_at(0, 2, 12), ConnectOnly, current, 0x380, -1}, // empty cache: the 6-byte form meets a 4-byte ack
        {legacy_unit(), LegacyProbe, legacy, 0x377, 0},
        {unit_at(0, 2, 11), Establish, legacy, 0x377, 0},
        {unit_at(0, 2, 12, 5), Establish, current, 0x380, 0},
        {unit_at(0, 3, 0), Establish, current, 0x380, 0},
        {unit_at(1, 0, 0), Establish, current, 0x380, 0},
        {unit_at(0, 2, 12), EstablishThenReset, current, 0x380, -1},
    };
    for (const Row& r : rows) {
        attach(r.cfg, false);
        printed([&] {
            if (r.how == Establish || r.how == EstablishThenReset) {
                EXPECT_TRUE(comms.establish_connection());
            }
            if (r.how == LegacyProbe) {
                EXPECT_EQ(probe_whoami(&comms, USB_HID, LEGACY_CANMSG_WHOAMI, nullptr, true), 0x12345678u);
            }
        });
        if (r.how == EstablishThenReset) {
            reset_whoami_fwversion_cache();
        }
        unit->clear_log();
        const Lines lines =
            printed([&] { EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, VNE_INDEX, 140), r.set_result); });
        EXPECT_EQ(lines.size(), r.set_result == 0 ? 0u : 1u);
        if (r.set_result != 0) {
            EXPECT_EQ(lines.at(0), "ACK validation failed: msg_len mismatch (expected CAN_6_BYTES, got 0x04)");
        }
        EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, VNE_INDEX), 140u); // the unit took the write either way
        send(frame(r.sent[2], CAN_4_BYTES, {0x00, 0x00, 0x01, 0x00}));
        uint32_t address = 0; // both flash forms take the unit's own acknowledgement
        EXPECT_TRUE(wait_for_mx25_ack(&comms, nullptr, &address));
        EXPECT_EQ(address, 0x10000u);
        EXPECT_EQ(ids(Direction::ToUnit), r.sent) << r.cfg.version.version;
        EXPECT_EQ(ids(Direction::FromUnit).at(1), r.reply_id) << r.cfg.version.version;
    }
}

TEST_F(Values, ReplyMatching)
{
    attach(unit_at(0, 2, 12));
    Settings_t s = unit->working_settings();
    s.vspeeds.Vn0 = 0x55;
    s.vspeeds.Vne = 0x66;
    unit->load_settings(s);

    // The reply names no index: whatever 0x380 frame comes first is the answer.
    send(frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES, {VN0_INDEX}));
    EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, VNE_INDEX), 0x55u);
    COMMS_MSG_t late;
    ASSERT_GT(comms.read(&late), 0); // the reply to get_value's own request
    EXPECT_EQ(late.data[0], 0x66);

    // Replies too short for a value are passed over, including codes that carry no bytes at all.
    for (uint32_t code : {3u, 0x20u, 0xFFu}) {
        unit->inject(fault(FaultKind::BadLengthCode, code));
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
    EXPECT_EQ(printed([&] { // not connected: only get_value says so
                  EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, 0), 0xFFFFFFFFu);
                  EXPECT_EQ(get_value(nullptr, SETTINGS_COMMS, 0), 0xFFFFFFFFu);
                  EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, 0, 1), -1);
                  EXPECT_EQ(store_value(nullptr, SETTINGS_COMMS, 1), -1);
              }),
              (Lines{"CommsManager not connected.", "CommsManager not connected."}));

    attach(unit_at(0, 2, 12));
    unit->inject(fault(FaultKind::WriteError, 0, 3));
    EXPECT_EQ(printed([&] {
                  EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, 0), 0xFFFFFFFFu);
                  EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, 0, 1), -1);
                  EXPECT_EQ(store_value(&comms, SETTINGS_COMMS, 1), -1);
              }),
              Lines{"Failed to send COMMS_MSG_t to device."});
    unit->inject(fault(FaultKind::ReadError));
    uint32_t v = 0x77;
    EXPECT_EQ(printed([&] { EXPECT_FALSE(read_value(&comms, SETTINGS_COMMS, 0, &v)); }),
              Lines{"Error reading response from device."});
    EXPECT_EQ(v, 0x77u);

    attach(unit_at(0, 2, 12));
    unit->inject(fault(FaultKind::NoReply, 0, 2));
    auto t0 = Clock::now();
    EXPECT_EQ(printed([&] { EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, 0), 0xFFFFFFFFu); }),
              Lines{"No response received from device (timeout or no data)."});
    EXPECT_GE(ms_since(t0), 1000);
    unit->set_chatter(true); // frames keep coming, none of them the reply
    t0 = Clock::now();
    EXPECT_EQ(printed([&] { EXPECT_FALSE(read_value(&comms, SETTINGS_COMMS, 0, nullptr)); }),
              Lines{"get_value: timeout waiting for response (expected CAN ID 0x380)."});
    EXPECT_GE(ms_since(t0), 500);
}

// Two threads exchanging on one manager and a third keeping the link across several exchanges:
// every reply reaches the thread that asked, and the wire shows whole exchanges only.
TEST_F(Values, SharedManager)
{
    attach(unit_at(0, 2, 12));
    constexpr int kRounds = 150, kHeld = 20;
    std::atomic<int> failures{0};
    std::atomic<bool> refused{false};
    const auto exchange = [&](uint8_t index, uint32_t v) {
        uint32_t got = 0;
        if (set_value(&comms, SETTINGS_COMMS, index, v) != 0 || !read_value(&comms, SETTINGS_COMMS, index, &got) ||
            got != v) {
            ++failures;
        }
    };
    const auto hammer = [&](uint8_t index) {
        for (int i = 0; i < kRounds; ++i) {
            exchange(index, index * 0x01000000u + static_cast<uint32_t>(i));
        }
    };
    const auto holder = [&] {
        for (int round = 0; round < kHeld; ++round) {
            LinkHold hold = comms.hold();
            const size_t before = unit->log().size();
            for (uint32_t k = 0; k < 3; ++k) {
                exchange(OWNSHIP_ICAO_INDEX, 0xC0DE00u + static_cast<uint32_t>(round) * 4 + k);
            }
            std::thread([&] { refused = refused || !comms.try_hold().owns_lock(); }).join();
            const auto log = unit->log(); // nobody else got a frame in meanwhile
            failures += static_cast<int>(log.size() - before != 12);
            for (size_t i = before; i < log.size(); ++i) {
                failures += log[i].direction == Direction::ToUnit && log[i].frame.data[0] != OWNSHIP_ICAO_INDEX;
            }
        }
    };
    std::thread a(hammer, SKY_COLOR_0_INDEX), b(hammer, GROUND_COLOR_1_INDEX), c(holder);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(refused.load());

    const auto log = unit->log(); // strictly request, reply, request, reply
    ASSERT_EQ(log.size(), size_t{2 * 2 * (2 * kRounds + 3 * kHeld)});
    for (size_t i = 0; i < log.size(); i += 2) {
        const uint32_t req = log[i].frame.can_ID, rep = log[i + 1].frame.can_ID;
        ASSERT_EQ(log[i].direction, Direction::ToUnit) << i;
        ASSERT_EQ(log[i + 1].direction, Direction::FromUnit) << i;
        ASSERT_EQ(rep, req == CANMSG_SET_USER_SETTING ? uint32_t{CANMSG_ACK} : uint32_t{CANMSG_SEND_USER_SETTING}) << i;
        if (req == CANMSG_SET_USER_SETTING) {
            ASSERT_EQ(log[i + 1].frame.data[1] | log[i + 1].frame.data[2] << 8, CANMSG_SET_USER_SETTING) << i;
        }
    }
}

} // namespace
