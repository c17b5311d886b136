// Remote reads, writes and stores: the frames on the wire for both identifier maps, what each
// state of the version cache really uses, which replies are taken, and one manager shared by
// several threads.
#include <atomic>
#include <thread>

#include "efis_shared/get_set.h"
#include "link_fixture.h"

namespace {

using namespace linktest;
using Values = Link;

// Reads, sets and stores of both records, byte for byte on the wire, in each state of the version
// cache: the state picks the identifier map (low bytes below; all are 0x3xx) and the form of the
// acknowledgement, the 6-byte form while no version is known.
TEST_F(Values, FramesInEachCacheState)
{
    enum Cache { Empty, Kept, Reset }; // Reset: emptied after a version was cached
    struct Row {
        sim::UnitConfig cfg;
        Cache cache;
        Bytes id; // settings read, set, save; calibration read, set, save
    };
    const Bytes current = {0x70, 0x90, 0xA0, 0x30, 0x50, 0x60}, legacy = {0x76, 0x78, 0x79, 0x54, 0x56, 0x57};
    const Row rows[] = {
        {unit_at(0, 2, 12), Empty, current},   {kLegacy, Kept, legacy},
        {unit_at(0, 1, 99), Kept, legacy},     {unit_at(0, 2, 11, 255), Kept, legacy},
        {unit_at(0, 2, 12, 5), Kept, current}, {unit_at(0, 3, 0), Kept, current},
        {unit_at(1, 0, 0), Kept, current},     {unit_at(0, 2, 12), Reset, current},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);
        attach(r.cfg, r.cache != Empty);
        if (r.cache == Reset) {
            reset_whoami_fwversion_cache();
        }
        Settings_t own = unit->working_settings(); // what the unit checksums before it commits
        own.magic = kSettingsMagic;
        own.crc32 = 0;
        own.vspeeds.VRef = 0x44;
        const uint32_t crc = settings_CalcCRC(&own);
        const int ok = r.cache == Kept ? 0 : -1; // the unit carries out every request either way
        printed([&] {
            EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, APPROACHSPEED_INDEX, 0x11223344), ok);
            EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, APPROACHSPEED_INDEX), 0x44u);
            EXPECT_EQ(store_value(&comms, SETTINGS_COMMS, crc), ok);
            EXPECT_EQ(set_value(&comms, SENSOR_COMMS, LSM_ACC_OFFSET_X_INDEX, 0x3F800000), ok);
            EXPECT_EQ(get_value(&comms, SENSOR_COMMS, LSM_ACC_OFFSET_X_INDEX), 0x3F800000u);
            EXPECT_EQ(store_value(&comms, SENSOR_COMMS, 0xDEADBEEF), ok);
        });
        const Bytes& id = r.id;
        const auto b = [&](int k) { return static_cast<uint8_t>(crc >> (8 * k)); };
        EXPECT_EQ(reports(Direction::ToUnit), (std::vector<Bytes>{{5, id[1], 3, 0, 0, 5, 7, 0x44, 0x33, 0x22, 0x11},
                                                                  {5, id[0], 3, 0, 0, 1, 7},
                                                                  {5, id[2], 3, 0, 0, 4, b(0), b(1), b(2), b(3)},
                                                                  {5, id[4], 3, 0, 0, 5, 1, 0, 0, 0x80, 0x3F},
                                                                  {5, id[3], 3, 0, 0, 1, 1},
                                                                  {5, id[5], 3, 0, 0, 4, 0xEF, 0xBE, 0xAD, 0xDE}}));
        EXPECT_EQ(unit->stored_settings().vspeeds.VRef, 0x44); // the checksum matched
    }
}

TEST_F(Values, Replies)
{
    printed([&] { EXPECT_EQ(get_value(nullptr, SETTINGS_COMMS, 0), 0xFFFFFFFFu); });
    EXPECT_EQ(set_value(nullptr, SETTINGS_COMMS, 0, 1) + store_value(nullptr, SETTINGS_COMMS, 1), -2);
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
    uint32_t v = 0;
    EXPECT_TRUE(read_value(&comms, SETTINGS_COMMS, AIRPLANE_COLOR_INDEX, &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);

    // An unanswered read ends after 1 s; neither it nor a failed one touches the caller's value.
    const auto t0 = Clock::now();
    for (const FaultKind kind : {FaultKind::NoReply, FaultKind::ReadError}) {
        unit->inject(fault(kind));
        EXPECT_EQ(printed([&] { EXPECT_FALSE(read_value(&comms, SETTINGS_COMMS, 0, &v)); }),
                  Lines{kind == FaultKind::NoReply ? "No response received from device (timeout or no data)."
                                                   : "Error reading response from device."});
        EXPECT_EQ(v, 0xFFFFFFFFu);
    }
    EXPECT_GE(ms_since(t0), 1000);
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
        for (int i = 0; i < kRounds && failures == 0; ++i) { // a broken link fails fast
            exchange(index, index * 0x01000000u + static_cast<uint32_t>(i));
        }
    };
    const auto holder = [&] {
        for (int round = 0; round < kHeld && failures == 0; ++round) {
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
    }
}

} // namespace
