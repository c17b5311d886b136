// Connection set-up and the WHOAMI probe: the exact progress lines, which unit generations are
// recognised, and what the version cache holds afterwards.
#include <cstdio>

#include "link_fixture.h"

namespace {

using namespace linktest;
using sim::Direction;
using sim::FaultKind;

using Connection = Link;

std::string attempt_line()
{
    char buf[80];
    std::snprintf(buf, sizeof buf, "Attempting to connect to USB HID device 0x%04X:0x%04X", vendor_id, product_id);
    return buf;
}

const char* const kVerifying = "USB HID device connected, verifying with serial number request...";
const char* const kRetryLegacy = "get_serialnumber: current WHOAMI (0x010) failed; retrying legacy WHOAMI (0x123).";
const char* const kCanAttempt = "Attempting to connect to CAN FD interface: can0";
const char* const kCanFailed = "Failed to connect to CAN FD interface";

bool establish(CommsManager& comms, std::vector<std::string>* lines)
{
    bool ok = false;
    *lines = printed([&] { ok = comms.establish_connection(); });
    return ok;
}

TEST_F(Connection, CurrentUnits)
{
    struct Case {
        sim::UnitConfig cfg;
        const char* success;
        bool legacy_map;
    };
    sim::UnitConfig at_0_2_11 = current_unit(0, 2, 11, 3);
    at_0_2_11.serial = 0xCAFEBABE;
    const Case cases[] = {
        {current_unit(0, 2, 12),
         "Successfully connected to USB HID device! Serial number: 0x12345678, firmware 0.2.12 (rc 0)", false},
        {at_0_2_11, "Successfully connected to USB HID device! Serial number: 0xCAFEBABE, firmware 0.2.11 (rc 3)",
         true},
    };
    for (const Case& c : cases) {
        sim::unplug_all();
        cache_whoami_fwversion(version(9, 9, 9)); // a stale version must not survive the attempt
        unit = std::make_shared<sim::VirtualUnit>(c.cfg);
        sim::plug(unit);
        std::vector<std::string> lines;
        EXPECT_TRUE(establish(comms, &lines));
        EXPECT_EQ(lines, (std::vector<std::string>{attempt_line(), kVerifying, c.success, kCanAttempt, kCanFailed,
                                                   "Connected via USB HID"}));
        EXPECT_TRUE(comms.isConnected());
        EXPECT_EQ(use_legacy_can_map(), c.legacy_map);
        EXPECT_EQ(g_whoami_fwversion.version, c.cfg.version.version);
        EXPECT_EQ(ids(Direction::ToUnit), std::vector<uint32_t>{CANMSG_WHOAMI});
        EXPECT_EQ(reports(Direction::ToUnit).at(0), (std::vector<uint8_t>{0x05, 0x10, 0, 0, 0, 2, 0xEF, 0x15}));
    }
}

TEST_F(Connection, LegacyUnit)
{
    sim::UnitConfig cfg = legacy_unit();
    cfg.serial = 0x0A0B0C0D;
    unit = std::make_shared<sim::VirtualUnit>(cfg);
    sim::plug(unit);
    std::vector<std::string> lines;
    EXPECT_TRUE(establish(comms, &lines)); // the silent current probe costs its 2 s
    EXPECT_EQ(lines, (std::vector<std::string>{
                         attempt_line(), kVerifying, kRetryLegacy,
                         "Successfully connected to USB HID device! Serial number: 0x0A0B0C0D, firmware 0.0.0 (rc 0)",
                         kCanAttempt, kCanFailed, "Connected via USB HID"}));
    EXPECT_TRUE(device_whoami_fwversion_known());
    EXPECT_TRUE(use_legacy_can_map());
    EXPECT_EQ(ids(Direction::ToUnit), (std::vector<uint32_t>{CANMSG_WHOAMI, LEGACY_CANMSG_WHOAMI}));
}

TEST_F(Connection, NoUsableInterface)
{
    const std::vector<std::string> expected = {attempt_line(), "Failed to connect to USB HID device", kCanAttempt,
                                               kCanFailed, "Failed to connect via both USB HID and CAN FD"};
    std::vector<std::string> lines;
    EXPECT_FALSE(establish(comms, &lines));
    EXPECT_EQ(lines, expected);

    unit = std::make_shared<sim::VirtualUnit>();
    sim::plug(unit, 0x0001); // the unit, but only on another usage page
    EXPECT_FALSE(establish(comms, &lines));
    EXPECT_EQ(lines, expected);
    EXPECT_FALSE(comms.isConnected());
    EXPECT_EQ(sim::open_handle_count(), 0);
    EXPECT_TRUE(unit->log().empty());
}

TEST_F(Connection, UnitAnsweringNeitherWhoami)
{
    unit = std::make_shared<sim::VirtualUnit>();
    unit->inject(fault(FaultKind::Ignore, sim::kAnyId, 0, -1));
    sim::plug(unit);
    std::vector<std::string> lines;
    const auto t0 = Clock::now();
    EXPECT_FALSE(establish(comms, &lines));
    EXPECT_GE(ms_since(t0), 4000); // two probes of 2 s each
    EXPECT_EQ(lines,
              (std::vector<std::string>{attempt_line(), kVerifying, kRetryLegacy,
                                        "get_serialnumber: No valid WHOAMI response before timeout.",
                                        "Failed to get serial number from USB HID device - disconnecting", kCanAttempt,
                                        kCanFailed, "Failed to connect via both USB HID and CAN FD"}));
    EXPECT_FALSE(comms.isConnected());
    EXPECT_EQ(sim::open_handle_count(), 0);
    EXPECT_FALSE(device_whoami_fwversion_known());
}

TEST_F(Connection, ProbeMatchesStandardBitsAndLengthCode)
{
    attach(current_unit(0, 3, 0, 1));
    // A reply of the wrong length is passed over; the probe's own reply is queued behind it.
    unit->inject(fault(FaultKind::BadLengthCode, CANMSG_WHOAMI, CAN_12_BYTES));
    send(frame(CANMSG_WHOAMI, CAN_2_BYTES, {0xEF, 0x15}));
    fwversion_t fw{};
    std::vector<std::string> lines = printed([&] { EXPECT_EQ(get_serialnumber(&comms, USB_HID, &fw), 0x12345678u); });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(fw.version, version(0, 3, 0, 1).version);
    EXPECT_EQ(ids(Direction::FromUnit), (std::vector<uint32_t>{CANMSG_WHOAMI, CANMSG_WHOAMI}));

    // Only the 11 standard bits are compared: a request sent as 0x810 takes the 0x010 reply.
    reset_whoami_fwversion_cache();
    unit->set_serial(0x00C0FFEE);
    send(frame(CANMSG_WHOAMI, CAN_2_BYTES, {0xEF, 0x15}));
    EXPECT_EQ(probe_whoami(&comms, USB_HID, 0x810, nullptr, true), 0x00C0FFEEu);
    EXPECT_EQ(ids(Direction::ToUnit).back(), 0x810u);
    EXPECT_TRUE(device_firmware_at_least_0_2_12());
}

TEST_F(Connection, LegacyProbeReadsLittleEndianSerial)
{
    sim::UnitConfig cfg = legacy_unit();
    cfg.serial = 0x12345678;
    attach(cfg);
    cache_whoami_fwversion(version(1, 2, 3));
    fwversion_t fw = version(7, 7, 7);
    EXPECT_EQ(probe_whoami(&comms, USB_HID, LEGACY_CANMSG_WHOAMI, &fw, true), 0x12345678u);
    EXPECT_EQ(fw.version, 0u);
    EXPECT_TRUE(use_legacy_can_map());
}

TEST_F(Connection, ProbeFailures)
{
    // Closed transport or unknown interface: nothing sent, nothing printed.
    EXPECT_TRUE(printed([&] {
                    EXPECT_EQ(probe_whoami(&comms, USB_HID, CANMSG_WHOAMI, nullptr, true), 0xFFFFFFFFu);
                    EXPECT_EQ(probe_whoami(&comms, CAN_FD, CANMSG_WHOAMI, nullptr, true), 0xFFFFFFFFu);
                    EXPECT_EQ(get_serialnumber(nullptr, USB_HID, nullptr), 0xFFFFFFFFu);
                }).empty());

    attach();
    cache_whoami_fwversion(version(0, 2, 11));
    EXPECT_TRUE(printed([&] {
                    EXPECT_EQ(probe_whoami(&comms, static_cast<COMM_INTERFACE_t>(7), CANMSG_WHOAMI, nullptr, true),
                              0xFFFFFFFFu);
                }).empty());

    unit->inject(fault(FaultKind::WriteError, CANMSG_WHOAMI));
    EXPECT_EQ(printed([&] { EXPECT_EQ(probe_whoami(&comms, USB_HID, CANMSG_WHOAMI, nullptr, true), 0xFFFFFFFFu); }),
              std::vector<std::string>{"get_serialnumber: Failed to send message to device."});

    unit->inject(fault(FaultKind::ReadError, CANMSG_WHOAMI));
    const auto lines =
        printed([&] { EXPECT_EQ(probe_whoami(&comms, USB_HID, CANMSG_WHOAMI, nullptr, true), 0xFFFFFFFFu); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("get_serialnumber: Error reading response from device (", 0), 0u) << lines[0];

    // A failed probe leaves the cached version as it was.
    EXPECT_TRUE(use_legacy_can_map());
    EXPECT_EQ(g_whoami_fwversion.version, version(0, 2, 11).version);
}

} // namespace
