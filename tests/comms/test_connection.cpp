// Connection set-up and the WHOAMI probe: the exact progress lines, which unit generations are
// recognised, and what the version cache holds afterwards.
#include <cstdio>

#include "link_fixture.h"

namespace {

using namespace linktest;

std::string attempt_line()
{
    char buf[80];
    std::snprintf(buf, sizeof buf, "Attempting to connect to USB HID device 0x%04X:0x%04X", vendor_id, product_id);
    return buf;
}

const char* const kVerifying = "USB HID device connected, verifying with serial number request...";
const char* const kRetry = "get_serialnumber: current WHOAMI (0x010) failed; retrying legacy WHOAMI (0x123).";
const char* const kCan1 = "Attempting to connect to CAN FD interface: can0";
const char* const kCan2 = "Failed to connect to CAN FD interface";
const char* const kViaUsb = "Connected via USB HID";
const char* const kNoLink = "Failed to connect via both USB HID and CAN FD";

class Connection : public Link {
protected:
    // Plugs a unit (nullptr: none) on the given usage page and runs the connection set-up.
    bool establish(std::shared_ptr<sim::VirtualUnit> u, Lines* lines, uint16_t page = sim::kUnitUsagePage)
    {
        sim::unplug_all();
        if (u) {
            sim::plug(u, page);
        }
        bool ok = false;
        *lines = printed([&] { ok = comms.establish_connection(); });
        return ok;
    }
};

TEST_F(Connection, UnitGenerations)
{
    struct Case {
        sim::UnitConfig cfg;
        Lines middle; // between the verifying line and the CAN FD lines
        std::vector<uint32_t> probes;
        bool legacy_map;
    };
    sim::UnitConfig old_current = unit_at(0, 2, 11, 3), legacy = legacy_unit();
    old_current.serial = 0xCAFEBABE;
    legacy.serial = 0x0A0B0C0D;
    const char* const ok = "Successfully connected to USB HID device! Serial number: ";
    const Case cases[] = {
        {unit_at(0, 2, 12), {ok + std::string("0x12345678, firmware 0.2.12 (rc 0)")}, {0x010}, false},
        {old_current, {ok + std::string("0xCAFEBABE, firmware 0.2.11 (rc 3)")}, {0x010}, true},
        // The current probe goes unanswered first: this case costs 2 s.
        {legacy, {kRetry, ok + std::string("0x0A0B0C0D, firmware 0.0.0 (rc 0)")}, {0x010, 0x123}, true},
    };
    for (const Case& c : cases) {
        cache_whoami_fwversion(unit_at(9, 9, 9).version); // a stale version must not outlive the attempt
        unit = std::make_shared<sim::VirtualUnit>(c.cfg);
        Lines lines;
        EXPECT_TRUE(establish(unit, &lines));
        Lines expected = {attempt_line(), kVerifying};
        expected.insert(expected.end(), c.middle.begin(), c.middle.end());
        expected.insert(expected.end(), {kCan1, kCan2, kViaUsb});
        EXPECT_EQ(lines, expected);
        EXPECT_TRUE(comms.isConnected());
        EXPECT_TRUE(device_whoami_fwversion_known());
        EXPECT_EQ(g_whoami_fwversion.version, c.cfg.version.version);
        EXPECT_EQ(use_legacy_can_map(), c.legacy_map);
        EXPECT_EQ(ids(Direction::ToUnit), c.probes);
        EXPECT_EQ(reports(Direction::ToUnit).at(0), (Bytes{0x05, 0x10, 0, 0, 0, 2, 0xEF, 0x15}));
    }
}

TEST_F(Connection, NoUsableInterface)
{
    const Lines expected = {attempt_line(), "Failed to connect to USB HID device", kCan1, kCan2, kNoLink};
    Lines lines;
    EXPECT_FALSE(establish(nullptr, &lines));
    EXPECT_EQ(lines, expected);
    unit = std::make_shared<sim::VirtualUnit>();
    EXPECT_FALSE(establish(unit, &lines, 0x0001)); // the unit, but on another usage page
    EXPECT_EQ(lines, expected);
    EXPECT_FALSE(comms.isConnected());
    EXPECT_TRUE(unit->log().empty());
}

TEST_F(Connection, UnitAnsweringNeitherWhoami)
{
    unit = std::make_shared<sim::VirtualUnit>();
    unit->inject(fault(FaultKind::Ignore, 0, -1));
    Lines lines;
    const auto t0 = Clock::now();
    EXPECT_FALSE(establish(unit, &lines));
    EXPECT_GE(ms_since(t0), 4000); // two probes of 2 s each
    EXPECT_EQ(lines,
              (Lines{attempt_line(), kVerifying, kRetry, "get_serialnumber: No valid WHOAMI response before timeout.",
                     "Failed to get serial number from USB HID device - disconnecting", kCan1, kCan2, kNoLink}));
    EXPECT_FALSE(comms.isConnected());
    EXPECT_EQ(sim::open_handle_count(), 0);
    EXPECT_FALSE(device_whoami_fwversion_known());
}

TEST_F(Connection, ProbeMatching)
{
    attach(unit_at(0, 3, 0, 1), false);
    // A reply of the wrong length is passed over; the probe's own reply is queued behind it.
    unit->inject(fault(FaultKind::BadLengthCode, CAN_12_BYTES));
    send(frame(CANMSG_WHOAMI, CAN_2_BYTES, {0xEF, 0x15}));
    fwversion_t fw{};
    EXPECT_TRUE(printed([&] { EXPECT_EQ(get_serialnumber(&comms, USB_HID, &fw), 0x12345678u); }).empty());
    EXPECT_EQ(fw.version, unit_at(0, 3, 0, 1).version.version);
    EXPECT_EQ(ids(Direction::FromUnit), (std::vector<uint32_t>{0x010, 0x010}));

    // Only the 11 standard bits are compared: a probe sent as 0x810 takes a 0x010 reply.
    reset_whoami_fwversion_cache();
    send(frame(CANMSG_WHOAMI, CAN_2_BYTES, {0xEF, 0x15}));
    EXPECT_EQ(probe_whoami(&comms, USB_HID, 0x810, nullptr, true), 0x12345678u);
    EXPECT_EQ(ids(Direction::ToUnit).back(), 0x810u);
    EXPECT_TRUE(device_firmware_at_least_0_2_12());
}

TEST_F(Connection, ProbeFailures)
{
    // Closed transport, no manager or unknown interface: nothing sent, nothing printed.
    EXPECT_TRUE(printed([&] {
                    EXPECT_EQ(probe_whoami(&comms, USB_HID, CANMSG_WHOAMI, nullptr, true), 0xFFFFFFFFu);
                    EXPECT_EQ(probe_whoami(&comms, CAN_FD, CANMSG_WHOAMI, nullptr, true), 0xFFFFFFFFu);
                    EXPECT_EQ(get_serialnumber(nullptr, USB_HID, nullptr), 0xFFFFFFFFu);
                }).empty());
    attach(unit_at(0, 2, 11));
    const auto bogus = static_cast<COMM_INTERFACE_t>(7);
    EXPECT_TRUE(printed([&] { EXPECT_EQ(probe_whoami(&comms, bogus, 0x010, nullptr, true), 0xFFFFFFFFu); }).empty());

    unit->inject(fault(FaultKind::WriteError));
    EXPECT_EQ(printed([&] { EXPECT_EQ(probe_whoami(&comms, USB_HID, 0x010, nullptr, true), 0xFFFFFFFFu); }),
              Lines{"get_serialnumber: Failed to send message to device."});
    unit->inject(fault(FaultKind::ReadError));
    const Lines lines = printed([&] { EXPECT_EQ(probe_whoami(&comms, USB_HID, 0x010, nullptr, true), 0xFFFFFFFFu); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("get_serialnumber: Error reading response from device (", 0), 0u) << lines[0];
    EXPECT_EQ(g_whoami_fwversion.version, unit_at(0, 2, 11).version.version); // failures leave the cache alone
    EXPECT_TRUE(use_legacy_can_map());
}

} // namespace
