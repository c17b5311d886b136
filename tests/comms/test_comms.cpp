// The device link against the virtual unit, for both generations: the connection set-up and its
// identity probe, both forms of both acknowledgements (through whole, cut and mislabelled reports),
// value frames in each state of the version cache, the settings commit and reboot, one manager
// shared by threads, and the log sink.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "comms/comms.h"
#include "comms/device_log.h"
#include "efis_shared/get_set.h"
#include "sim/hid_backend.h"
#include "tests/support/stream_capture.h"
#include "tests/support/unit.h"
#include "tests/support/wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Reports = std::vector<Bytes>;
using sim::FaultKind;

// Runs fn with standard output captured; what it printed.
template <class F> std::string printed(F&& fn)
{
    support::StreamCapture out(1);
    fn();
    return out.text();
}

sim::UnitConfig unit_at(uint8_t major, uint8_t minor, uint8_t patch, uint8_t rc = 0,
                        sim::Generation generation = sim::Generation::Current)
{
    return {generation, {uint32_t{major} << 24 | uint32_t{minor} << 16 | uint32_t{patch} << 8 | rc}};
}
const sim::UnitConfig kLegacy = unit_at(0, 0, 0, 0, sim::Generation::Legacy);
const sim::UnitConfig kCompact = unit_at(0, 2, 12), kSixByte = unit_at(0, 2, 11);

COMMS_MSG_t frame(uint32_t id, CAN_MSG_LEN_t code, std::initializer_list<uint8_t> data = {})
{
    COMMS_MSG_t f{};
    f.can_ID = id;
    f.msg_len = code;
    std::copy(data.begin(), data.end(), f.data);
    return f;
}

// times 0: a fault that never strikes
sim::Fault fault(FaultKind kind, uint32_t param = 0, int times = 1)
{
    return sim::Fault{kind, sim::kAnyId, 0, times, param, -1};
}
const sim::Fault kNone = fault(FaultKind::NoReply, 0, 0);

class Link : public ::testing::Test {
protected:
    void SetUp() override { reset_whoami_fwversion_cache(); }
    void TearDown() override
    {
        set_device_log_sink(nullptr, nullptr);
        sim::unplug_all();
    }
    // A fresh unit alone on the bus, opened without a probe; `cache` stores its version as the
    // probe would.
    void attach(const sim::UnitConfig& cfg = {}, bool cache = true)
    {
        unit = support::plug_unit(cfg);
        ASSERT_TRUE(comms.connectUSB(vendor_id, product_id));
        if (cache) {
            cache_whoami_fwversion(cfg.version);
        }
    }
    // Puts a request on the wire without waiting, so that its replies queue ahead of the next ones.
    void send(const COMMS_MSG_t& f) { ASSERT_GT(comms.write(f), 0); }
    Reports sent() const { return support::sent_reports(*unit); }

    CommsManager comms;
    std::shared_ptr<sim::VirtualUnit> unit;
};

// Every outcome of the set-up; the legacy unit costs 2 s, the unit answering no probe 4 s.
TEST_F(Link, EstablishPrintsEachOutcome)
{
    char attempt[80];
    std::snprintf(attempt, sizeof attempt, "Attempting to connect to USB HID device 0x%04X:0x%04X\n", vendor_id,
                  product_id);
    const std::string verifying = "USB HID device connected, verifying with serial number request...\n",
                      retry = "get_serialnumber: current WHOAMI (0x010) failed; retrying legacy WHOAMI (0x123).\n",
                      serial = "Successfully connected to USB HID device! Serial number: 0x12345678, firmware ",
                      no_usb = "Failed to connect to USB HID device\n";
    const uint16_t vendor = sim::kUnitUsagePage;
    // The unit on usage page `page` (0: nothing plugged), answering no probe at all when deaf, and
    // what is printed between the attempt and the CAN FD lines.
    const struct {
        sim::UnitConfig cfg;
        uint16_t page;
        bool deaf;
        std::string usb;
    } cases[] = {
        // clang-format off
        {unit_at(0, 2, 12), vendor, false, verifying + serial + "0.2.12 (rc 0)\n"},
        {unit_at(0, 2, 11, 3), vendor, false, verifying + serial + "0.2.11 (rc 3)\n"},
        {kLegacy, vendor, false, verifying + retry + serial + "0.0.0 (rc 0)\n"},
        {{}, 0, false, no_usb},
        {{}, 0x0001, false, no_usb}, // the unit, but on another usage page
        {{}, vendor, true, verifying + retry + "get_serialnumber: No valid WHOAMI response before timeout.\n"
                           "Failed to get serial number from USB HID device - disconnecting\n"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        sim::unplug_all();
        unit.reset();
        cache_whoami_fwversion(unit_at(9, 9, 9).version); // a stale version must not outlive the attempt
        if (c.page != 0) {
            unit = std::make_shared<sim::VirtualUnit>(c.cfg);
            sim::plug(unit, c.page);
            unit->inject(fault(FaultKind::Ignore, 0, c.deaf ? -1 : 0));
        }
        bool connected = false;
        const std::string out = printed([&] { connected = comms.establish_connection(); });
        const bool ok = c.usb.find(serial) != std::string::npos;
        EXPECT_EQ(out, attempt + c.usb +
                           "Attempting to connect to CAN FD interface: can0\n"
                           "Failed to connect to CAN FD interface\n" +
                           (ok ? "Connected via USB HID\n" : "Failed to connect via both USB HID and CAN FD\n"));
        EXPECT_EQ(connected, ok);
        EXPECT_EQ(sim::open_handle_count(), ok ? 1 : 0);
        EXPECT_EQ(comms.unitSerial(), ok ? 0x12345678u : 0u);
        EXPECT_EQ(device_whoami_fwversion_known(), ok);
        EXPECT_EQ(use_legacy_can_map(), ok && c.cfg.version.version < 0x00020C00);
        EXPECT_TRUE(!ok || g_whoami_fwversion.version == c.cfg.version.version);
    }
}

// Two requests (a set, or a set-address to 0x1000, then the same with 0x2000 for the address)
// queue their acknowledgements, and the fault strikes the first. A caller's op and address are
// left alone (0x11, 7) unless a flash acknowledgement fills them. A unit that never stops sending
// unrelated frames cannot hold a wait beyond its deadline (3 s).
TEST_F(Link, BothFormsOfBothAcknowledgements)
{
    struct Case { // flash or general acknowledgement; outcome, op and address handed back, line printed
        sim::UnitConfig cfg;
        bool flash;
        sim::Fault fault;
        bool ok;
        uint8_t op;
        uint32_t address;
        std::string line;
        bool chatter = false;
    };
    const std::string len = "ACK validation failed: msg_len mismatch (expected CAN_", mx = "wait_for_mx25_ack: ";
    // clang-format off
    const Case cases[] = {
        {kCompact, false, kNone, true, 0x11, 7, ""},
        {kCompact, false, fault(FaultKind::UnrelatedBefore, 3), true, 0x11, 7, ""},
        {kCompact, false, fault(FaultKind::Nack), false, 0x11, 7, "NACK received for command CAN ID 0x390."},
        {kCompact, false, fault(FaultKind::WrongAckId, 0x10391), false, 0x11, 7, "ACK validation failed: payload can_ID mismatch (expected 0x390, got 0x391)"},
        {kCompact, false, fault(FaultKind::BadLengthCode, 6), false, 0x11, 7, len + "4_BYTES, got 0x06)"},
        {kCompact, false, fault(FaultKind::ReadError), false, 0x11, 7, "Error reading ACK from device."},
        {kCompact, false, fault(FaultKind::ShortReport, 7), false, 0x11, 7, "ACK validation failed: payload can_ID mismatch (expected 0x390, got 0x000)"}, // a header alone
        {kCompact, false, fault(FaultKind::ShortReport, 6), false, 0x11, 7, "Error reading ACK from device."}, // less than a header
        {kCompact, false, fault(FaultKind::NoReply, 0, 2), false, 0x11, 7, "No ACK received from device (timeout or no data)."}, // neither answered: 1 s
        {kCompact, false, fault(FaultKind::NoReply, 0, 2), false, 0x11, 7, "No ACK received from device (timeout or no data).", true},
        {kSixByte, false, kNone, true, 0x11, 7, ""},
        {kSixByte, false, fault(FaultKind::UnrelatedBefore, 2), true, 0x11, 7, ""},
        {kSixByte, false, fault(FaultKind::Nack), true, 0x11, 7, ""}, // the NACK frame does not decide the wait
        {kSixByte, false, fault(FaultKind::WrongAckId, 0x379), false, 0x11, 7, "ACK validation failed: data can_ID mismatch (expected 0x00000378, got 0x00000379)"},
        {kSixByte, false, fault(FaultKind::BadLengthCode, 4), false, 0x11, 7, len + "6_BYTES, got 0x04)"},
        {kSixByte, false, fault(FaultKind::ShortReport, 12), false, 0x11, 7, // the report ends before the 0x15
         "ACK validation failed: data[4-5] mismatch (expected 0xEF 0x15, got 0xEF 0x00)"},
        {kSixByte, false, fault(FaultKind::ReadError), false, 0x11, 7, "Error reading ACK from device."},
        {kCompact, true, kNone, true, OP_SETADDR, 0x1000, ""},
        {kCompact, true, fault(FaultKind::Nack), false, OP_SETADDR, 0x1000, mx + "MX25 NACK (op=0xA1)"},
        {kCompact, true, fault(FaultKind::WrongOp, OP_WRITE), true, OP_WRITE, 0x1000, ""}, // the caller compares
        {kCompact, true, fault(FaultKind::BadLengthCode, 5), true, OP_SETADDR, 0x2000, ""},
        {kCompact, true, fault(FaultKind::ReadError), false, 0x11, 7, mx + "Error reading response from device."},
        {kSixByte, true, kNone, true, OP_SETADDR, 0x1000, ""},
        {kSixByte, true, fault(FaultKind::UnrelatedBefore, 2), true, OP_SETADDR, 0x1000, ""},
        {kSixByte, true, fault(FaultKind::Nack), false, 0x11, 7, mx + "Operation failed (MX25 NACK)"},
        {kSixByte, true, fault(FaultKind::NoReply, 0, 2), false, 0x11, 7, mx + "No response received (timeout or no data).", true},
        {kSixByte, true, fault(FaultKind::BadLengthCode, 4), true, OP_SETADDR, 0x2000, ""},
        {kSixByte, true, fault(FaultKind::BadLengthCode, 0x10), true, OP_SETADDR, 0x2000, ""}, // carries no bytes at all
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        attach(c.cfg);
        unit->inject(c.fault);
        unit->set_chatter(c.chatter);
        const bool compact = c.cfg.version.version == kCompact.version.version;
        const uint32_t id = c.flash ? (compact ? 0x440 : 0x417) : (compact ? 0x390 : 0x378);
        send(frame(id, CAN_5_BYTES, {0x00, 0x10}));
        send(frame(id, CAN_5_BYTES, {0x00, 0x20}));
        uint8_t op = 0x11;
        uint32_t address = 7;
        bool ok = !c.ok;
        EXPECT_EQ(printed([&] { ok = c.flash ? wait_for_mx25_ack(&comms, &op, &address) : wait_for_ack(&comms, id); }),
                  c.line.empty() ? "" : c.line + "\n");
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(op, c.op);
        EXPECT_EQ(address, c.address);
    }
}

// The checksum the unit computes over its working record before it commits.
uint32_t unit_checksum(const sim::VirtualUnit& unit)
{
    Settings_t own = unit.working_settings();
    own.magic = kSettingsMagic;
    own.crc32 = 0;
    return settings_CalcCRC(&own);
}

// Reads, sets and stores of both records, byte for byte on the wire, in each state of the version
// cache: the state picks the identifier map (low bytes below; all are 0x3xx) and the form of the
// acknowledgement, the 6-byte form while no version is known.
TEST_F(Link, ValueFramesInEachCacheState)
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
        ASSERT_EQ(set_value(&comms, SETTINGS_COMMS, APPROACHSPEED_INDEX, 0x11223344), r.cache == Kept ? 0 : -1);
        const uint32_t crc = unit_checksum(*unit);
        const int ok = r.cache == Kept ? 0 : -1; // the unit carries out every request either way
        printed([&] {
            EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, APPROACHSPEED_INDEX), 0x44u);
            EXPECT_EQ(store_value(&comms, SETTINGS_COMMS, crc), ok);
            EXPECT_EQ(set_value(&comms, SENSOR_COMMS, LSM_ACC_OFFSET_X_INDEX, 0x3F800000), ok);
            EXPECT_EQ(get_value(&comms, SENSOR_COMMS, LSM_ACC_OFFSET_X_INDEX), 0x3F800000u);
            EXPECT_EQ(store_value(&comms, SENSOR_COMMS, 0xDEADBEEF), ok);
        });
        const Bytes& id = r.id;
        const auto b = [&](int k) { return static_cast<uint8_t>(crc >> (8 * k)); };
        EXPECT_EQ(sent(), (Reports{{5, id[1], 3, 0, 0, 5, 7, 0x44, 0x33, 0x22, 0x11},
                                   {5, id[0], 3, 0, 0, 1, 7},
                                   {5, id[2], 3, 0, 0, 4, b(0), b(1), b(2), b(3)},
                                   {5, id[4], 3, 0, 0, 5, 1, 0, 0, 0x80, 0x3F},
                                   {5, id[3], 3, 0, 0, 1, 1},
                                   {5, id[5], 3, 0, 0, 4, 0xEF, 0xBE, 0xAD, 0xDE}}));
        EXPECT_EQ(unit->stored_settings().vspeeds.VRef, 0x44); // the checksum matched
    }
}

// The first reply of the awaited identifier that carries four bytes is the value; a failed read
// touches nothing of the caller's.
TEST_F(Link, ValueReplies)
{
    attach(kCompact);
    Settings_t s = unit->working_settings();
    s.vspeeds.Vn0 = 0x55;
    s.vspeeds.Vne = 0x66;
    unit->load_settings(s);
    // Other frames, and replies too short for a value (codes above 15 carry no bytes at all), are
    // passed over.
    for (const sim::Fault& f : {fault(FaultKind::UnrelatedBefore, 3), fault(FaultKind::BadLengthCode, 3),
                                fault(FaultKind::BadLengthCode, 0x20), fault(FaultKind::BadLengthCode, 0xFF)}) {
        unit->inject(f);
        if (f.kind == FaultKind::BadLengthCode) {
            send(frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES, {VN0_INDEX})); // its reply goes first
        }
        uint32_t v = 0;
        EXPECT_TRUE(read_value(&comms, SETTINGS_COMMS, VNE_INDEX, &v));
        EXPECT_EQ(v, 0x66u);
    }

    // A stored all-ones word is a value, not a failure.
    ASSERT_EQ(set_value(&comms, SETTINGS_COMMS, AIRPLANE_COLOR_INDEX, 0xFFFFFFFF), 0);
    uint32_t v = 0;
    EXPECT_TRUE(read_value(&comms, SETTINGS_COMMS, AIRPLANE_COLOR_INDEX, &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    // An unanswered read ends after 1 s, or after 0.5 s of a unit chattering without pause.
    for (const auto& [kind, chatter, line] :
         {std::tuple{FaultKind::NoReply, false, "No response received from device (timeout or no data)."},
          std::tuple{FaultKind::NoReply, true, "get_value: timeout waiting for response (expected CAN ID 0x380)."},
          std::tuple{FaultKind::ReadError, false, "Error reading response from device."}}) {
        unit->inject(fault(kind));
        unit->set_chatter(chatter);
        EXPECT_EQ(printed([&] { EXPECT_FALSE(read_value(&comms, SETTINGS_COMMS, 0, &v)); }), line + std::string("\n"));
        EXPECT_EQ(v, 0xFFFFFFFFu);
    }
}

// Both generations: the save frame carries the checksum, the save waits for the erase report and
// then the confirmation, and stops at the step that failed; the reboot sends one frame.
TEST_F(Link, SettingsCommitAndReboot)
{
    StoreSettingsStep step = StoreSettingsStep::None;
    EXPECT_EQ(store_settings(&comms, 0, &step), -1); // never connected
    EXPECT_EQ(step, StoreSettingsStep::NotConnected);
    enum Fault { None, WriteFails, NoFlashAck, WrongChecksum };
    // Identifiers written out, so that a wrong map shows.
    for (const auto& [cfg, save, reboot] :
         {std::tuple{kCompact, 0x3A0u, 0x3B0u}, std::tuple{kLegacy, 0x379u, 0x399u}}) {
        for (const auto& [fault, failed_at, committed] : {
                 std::tuple{None, StoreSettingsStep::None, true},
                 std::tuple{WriteFails, StoreSettingsStep::Send, false},
                 std::tuple{NoFlashAck, StoreSettingsStep::Erase, true}, // the unit commits; its erase report is lost
                 std::tuple{WrongChecksum, StoreSettingsStep::Confirm, false}, // refused by the final acknowledgement
             }) {
            SCOPED_TRACE(std::to_string(save) + " fault " + std::to_string(fault));
            attach(cfg);
            const Settings_t before = unit->stored_settings();
            ASSERT_EQ(set_value(&comms, SETTINGS_COMMS, VNE_INDEX, 171), 0); // the working record moves ahead
            unit->clear_log();
            const uint32_t crc = unit_checksum(*unit) + (fault == WrongChecksum ? 1 : 0);
            if (fault == WriteFails) {
                unit->inject({FaultKind::WriteError, save});
            } else if (fault == NoFlashAck) {
                unit->inject({FaultKind::NoReply, save, 0, 1, 0, 0});
            }
            int result = 0;
            const std::string out = printed([&] { result = store_settings(&comms, crc, &step); });
            EXPECT_TRUE(failed_at != StoreSettingsStep::None || out.empty()); // a good save logs nothing
            EXPECT_EQ(result, failed_at == StoreSettingsStep::None ? 0 : -1);
            EXPECT_EQ(step, failed_at);
            const auto b = [&](int k) { return static_cast<uint8_t>(crc >> (8 * k)); };
            const Bytes save_frame = {5, uint8_t(save), uint8_t(save >> 8), 0, 0, 4, b(0), b(1), b(2), b(3)};
            EXPECT_EQ(sent(), fault == WriteFails ? Reports{} : Reports{save_frame});
            EXPECT_EQ(unit->stored_settings().crc32, committed ? crc : before.crc32);
            EXPECT_EQ(unit->stored_settings().vspeeds.Vne, committed ? 171 : before.vspeeds.Vne);
        }
        unit->clear_log();
        EXPECT_TRUE(send_reboot(&comms));
        EXPECT_EQ(sent(), (Reports{{5, uint8_t(reboot), uint8_t(reboot >> 8), 0, 0, 1, 0x48}}));
        EXPECT_EQ(unit->last_reboot_byte(), uint8_t{0x48});
        unit->inject({FaultKind::WriteError, reboot});
        EXPECT_FALSE(send_reboot(&comms));
    }
}

// One manager shared by threads: every reply reaches the thread that asked, and a thread keeping
// the link across several exchanges sees no other thread's frame in between.
TEST_F(Link, SharedManager)
{
    attach(kCompact);
    std::atomic<int> failures{0};
    std::atomic<bool> refused{true};
    const auto exchange = [&](uint8_t index, uint32_t v) {
        uint32_t got = 0;
        failures += set_value(&comms, SETTINGS_COMMS, index, v) != 0 ||
                    !read_value(&comms, SETTINGS_COMMS, index, &got) || got != v;
    };
    std::thread other([&] {
        for (uint32_t i = 0; i < 150 && failures == 0; ++i) { // a broken link fails fast
            exchange(SKY_COLOR_0_INDEX, i);
        }
    });
    for (uint32_t round = 0; round < 20 && failures == 0; ++round) {
        exchange(GROUND_COLOR_1_INDEX, round);
        LinkHold hold = comms.hold();
        const size_t before = unit->log().size();
        exchange(OWNSHIP_ICAO_INDEX, round);
        exchange(OWNSHIP_ICAO_INDEX, round + 1);
        std::thread([&] { refused = refused && !comms.try_hold().owns_lock(); }).join();
        failures += unit->log().size() - before != 8;
    }
    other.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(refused.load());
}

// A replaced sink takes every line, a long one whole, and standard output none; once the default
// is back the lines go to standard output again.
TEST_F(Link, DeviceLogSink)
{
    std::string taken;
    const std::string path(3000, 'p');
    set_device_log_sink([](const char* text, void* user) { static_cast<std::string*>(user)->append(text); }, &taken);
    EXPECT_EQ(printed([&] {
                  EXPECT_EQ(comms.write(frame(CANMSG_WHOAMI, CAN_0_BYTES)), -1);
                  device_log("send_fw: Failed to open file %s: %s\n", path.c_str(), "No such file or directory");
              }),
              "");
    EXPECT_EQ(taken, "No interface connected.\nsend_fw: Failed to open file " + path + ": No such file or directory\n");
    set_device_log_sink(nullptr, &taken);
    EXPECT_EQ(printed([&] { comms.write(frame(CANMSG_WHOAMI, CAN_0_BYTES)); }), "No interface connected.\n");
}

} // namespace
