// USB report encoding and decoding against the virtual hidapi backend, which interface is opened,
// the inert CAN FD transport, the manager's routing, and the connection set-up with its WHOAMI
// probe: the exact progress lines and what the version cache holds afterwards.
#include <cstdio>

#include "link_fixture.h"

namespace {

using namespace linktest;
using Transport = Link;
using Connection = Link;

// Output reports carry the code's bytes only. Short input reports fill what they hold; a report
// too short for a header, or none at all (the last case, 1 s), leaves the caller's frame alone.
TEST_F(Transport, Reports)
{
    attach();
    USBHID* usb = comms.getUSBHID();
    COMMS_MSG_t f = frame(0x12345678, CAN_0_BYTES);
    f.iface = CAN_FD; // never sent
    for (int i = 0; i < 64; ++i) {
        f.data[i] = static_cast<uint8_t>(i + 1);
    }
    EXPECT_EQ(usb->write(f), 6);
    f.msg_len = CAN_12_BYTES;
    EXPECT_EQ(usb->write(f), 18);
    EXPECT_EQ(usb->write(f.data, 2), 3);
    EXPECT_EQ(reports(Direction::ToUnit),
              (std::vector<Bytes>{{0x05, 0x78, 0x56, 0x34, 0x12, 0},
                                  {0x05, 0x78, 0x56, 0x34, 0x12, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                                  {0x05, 1, 2}}));

    Settings_t s = unit->working_settings();
    s.units.units_value = 0xA1B2C3D4;
    unit->load_settings(s);
    struct Case {
        uint32_t cut;  // report cut to this many bytes (0: whole)
        uint32_t code; // length code put in the report (0: the reply's own, 4)
        int result;
        size_t value_bytes; // bytes of the 4-byte value the frame ends up with
    };
    const Case cases[] = {{0, 0, 71, 4},    {7, 0, 7, 0},  {9, 0, 9, 2},  {27, 15, 27, 4}, {0, 15, 71, 4},
                          {0, 0xC4, 71, 0}, {6, 0, -1, 0}, {1, 0, -1, 0}, {0, 0, 0, 0}};
    for (const Case& c : cases) {
        unit->clear_faults();
        unit->inject(fault(FaultKind::ShortReport, c.cut, c.cut != 0));
        unit->inject(fault(FaultKind::BadLengthCode, c.code, c.code != 0));
        unit->inject(fault(FaultKind::NoReply, 0, c.result == 0));
        ASSERT_EQ(usb->write(frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES, {0})), 7);
        COMMS_MSG_t got;
        std::memset(&got, 0xAA, sizeof got);
        COMMS_MSG_t expected = got;
        if (c.result > 0) {
            expected = frame(CANMSG_SEND_USER_SETTING, static_cast<CAN_MSG_LEN_t>(c.code ? c.code : 4));
            std::memcpy(expected.data, "\xD4\xC3\xB2\xA1", c.value_bytes);
        }
        const auto t0 = Clock::now();
        EXPECT_EQ(usb->read(&got), c.result) << c.cut << " " << c.code;
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << c.cut << " " << c.code;
        EXPECT_GE(ms_since(t0), c.result == 0 ? 1000 : 0);
    }
}

TEST_F(Transport, OpensOnlyTheVendorInterfaceAndRoutesThroughIt)
{
    CANFD can; // built without CAN FD support: every call fails
    COMMS_MSG_t f = frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES);
    EXPECT_FALSE(can.connect("can0") || can.isConnected() || comms.connectCANFD("can0"));
    EXPECT_EQ(can.read(&f), -1);
    EXPECT_EQ(can.write(f), -1);

    EXPECT_FALSE(comms.connectUSB(vendor_id, product_id)); // nothing plugged
    EXPECT_EQ(printed([&] { EXPECT_EQ(comms.write(f), -1); }), Lines{"No interface connected."});
    EXPECT_EQ(comms.read(&f), -1);
    unit = std::make_shared<sim::VirtualUnit>();
    sim::plug(unit, 0x0001); // listed first, on another usage page: the walk goes on to the next
    sim::plug(unit);
    ASSERT_TRUE(comms.connectUSB(vendor_id, product_id));
    ASSERT_TRUE(comms.connectUSB(vendor_id, product_id)); // closes the first handle
    EXPECT_EQ(sim::open_handle_count(), 1);
    EXPECT_EQ(comms.write(f), 7);
    EXPECT_EQ(comms.read(nullptr), -1);
    comms.getUSBHID()->disconnect();
    EXPECT_EQ(sim::open_handle_count(), 0);
    EXPECT_FALSE(comms.isConnected());
}

// Every outcome of the set-up; the legacy unit costs 2 s, the unit answering no probe 4 s.
TEST_F(Connection, EstablishPrintsEachOutcome)
{
    struct Case {
        sim::UnitConfig cfg;
        uint16_t page;   // 0: nothing plugged
        bool deaf;       // answers no WHOAMI at all
        bool legacy_map; // afterwards
        Lines usb;       // lines between the attempt and the CAN FD lines
        std::vector<Bytes> probes;
    };
    char attempt[80];
    std::snprintf(attempt, sizeof attempt, "Attempting to connect to USB HID device 0x%04X:0x%04X", vendor_id,
                  product_id);
    const std::string verifying = "USB HID device connected, verifying with serial number request...",
                      retry = "get_serialnumber: current WHOAMI (0x010) failed; retrying legacy WHOAMI (0x123).",
                      serial = "Successfully connected to USB HID device! Serial number: 0x12345678, firmware ";
    const Lines no_usb = {"Failed to connect to USB HID device"};
    const Bytes probe = {5, 0x10, 0, 0, 0, 2, 0xEF, 0x15}, legacy_probe = {5, 0x23, 1, 0, 0, 2, 0xEF, 0x15};
    const uint16_t vendor = sim::kUnitUsagePage;
    // clang-format off
    const Case cases[] = {
        {unit_at(0, 2, 12), vendor, false, false, {verifying, serial + "0.2.12 (rc 0)"}, {probe}},
        {unit_at(0, 2, 11, 3), vendor, false, true, {verifying, serial + "0.2.11 (rc 3)"}, {probe}},
        {kLegacy, vendor, false, true, {verifying, retry, serial + "0.0.0 (rc 0)"}, {probe, legacy_probe}},
        {{}, 0, false, false, no_usb, {}},
        {{}, 0x0001, false, false, no_usb, {}}, // the unit, but on another usage page
        {{}, vendor, true, false, {verifying, retry, "get_serialnumber: No valid WHOAMI response before timeout.",
                                   "Failed to get serial number from USB HID device - disconnecting"}, {probe, legacy_probe}},
    };
    // clang-format on
    for (const Case& c : cases) {
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
        const Lines lines = printed([&] { connected = comms.establish_connection(); });
        const bool ok = c.usb.back().starts_with(serial);
        Lines expected = {attempt};
        expected.insert(expected.end(), c.usb.begin(), c.usb.end());
        expected.insert(expected.end(),
                        {"Attempting to connect to CAN FD interface: can0", "Failed to connect to CAN FD interface",
                         ok ? "Connected via USB HID" : "Failed to connect via both USB HID and CAN FD"});
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(connected, ok);
        EXPECT_EQ(sim::open_handle_count(), ok ? 1 : 0);
        EXPECT_EQ(device_whoami_fwversion_known(), ok);
        EXPECT_EQ(use_legacy_can_map(), c.legacy_map);
        EXPECT_TRUE(!ok || g_whoami_fwversion.version == c.cfg.version.version);
        if (unit) {
            EXPECT_EQ(reports(Direction::ToUnit), c.probes);
        }
    }
}

// A reply of the wrong length is passed over; a probe that fails leaves the cache alone.
TEST_F(Connection, Probe)
{
    EXPECT_EQ(get_serialnumber(nullptr, USB_HID, nullptr), 0xFFFFFFFFu);
    attach(unit_at(0, 3, 0, 1), false);
    unit->inject(fault(FaultKind::BadLengthCode, CAN_12_BYTES));
    send(frame(CANMSG_WHOAMI, CAN_2_BYTES, {0xEF, 0x15})); // its malformed reply queues ahead
    fwversion_t fw{};
    EXPECT_TRUE(printed([&] { EXPECT_EQ(get_serialnumber(&comms, USB_HID, &fw), 0x12345678u); }).empty());
    EXPECT_EQ(fw.version, unit_at(0, 3, 0, 1).version.version);
    EXPECT_EQ(reports(Direction::FromUnit).size(), 2u);

    attach(unit_at(0, 2, 11));
    for (const FaultKind kind : {FaultKind::WriteError, FaultKind::ReadError}) {
        unit->inject(fault(kind));
        printed([&] { EXPECT_EQ(probe_whoami(&comms, USB_HID, CANMSG_WHOAMI, nullptr, true), 0xFFFFFFFFu); });
    }
    EXPECT_TRUE(use_legacy_can_map());
}

} // namespace
