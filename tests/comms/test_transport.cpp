// USB report encoding and decoding against the virtual hidapi backend, opening rules, the inert
// CAN FD transport and the manager's routing.
#include "link_fixture.h"

namespace {

using namespace linktest;
using sim::Direction;
using sim::FaultKind;

using Transport = Link;

TEST_F(Transport, EncodesOutputReports)
{
    attach();
    USBHID* usb = comms.getUSBHID();

    COMMS_MSG_t empty = frame(0x12345678, CAN_0_BYTES);
    empty.iface = CAN_FD;
    std::memset(empty.data, 0xAA, sizeof empty.data);
    EXPECT_EQ(usb->write(empty), 6);

    COMMS_MSG_t twelve = frame(0x7FF, CAN_12_BYTES);
    twelve.iface = CAN_FD;
    for (int i = 0; i < 64; ++i) {
        twelve.data[i] = static_cast<uint8_t>(i + 1);
    }
    EXPECT_EQ(usb->write(twelve), 18);

    const uint8_t raw[] = {0xDE, 0xAD};
    EXPECT_EQ(usb->write(raw, sizeof raw), 3);

    const auto out = reports(Direction::ToUnit);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], (std::vector<uint8_t>{0x05, 0x78, 0x56, 0x34, 0x12, 0x00}));
    EXPECT_EQ(out[1], (std::vector<uint8_t>{0x05, 0xFF, 0x07, 0, 0, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(out[2], (std::vector<uint8_t>{0x05, 0xDE, 0xAD}));
}

TEST_F(Transport, DecodesInputReports)
{
    attach();
    Settings_t s = unit->working_settings();
    s.units.units_value = 0xA1B2C3D4;
    unit->load_settings(s);
    USBHID* usb = comms.getUSBHID();
    const COMMS_MSG_t read_units = frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES, {0});

    struct Case {
        const char* name;
        std::vector<sim::Fault> faults;
        int result;
        CAN_MSG_LEN_t code;
        size_t value_bytes; // bytes of the 4-byte value that the report still holds
    };
    const Case cases[] = {
        {"whole report", {}, 71, CAN_4_BYTES, 4},
        {"header only", {fault(FaultKind::ShortReport, sim::kAnyId, 7)}, 7, CAN_4_BYTES, 0},
        {"cut inside the value", {fault(FaultKind::ShortReport, sim::kAnyId, 9)}, 9, CAN_4_BYTES, 2},
        {"code 15, 20 payload bytes",
         {fault(FaultKind::BadLengthCode, sim::kAnyId, 15), fault(FaultKind::ShortReport, sim::kAnyId, 27)},
         27,
         CAN_64_BYTES,
         4},
        {"code 15, whole report", {fault(FaultKind::BadLengthCode, sim::kAnyId, 15)}, 71, CAN_64_BYTES, 4},
        {"code beyond 15",
         {fault(FaultKind::BadLengthCode, sim::kAnyId, 0xC4)},
         71,
         static_cast<CAN_MSG_LEN_t>(0xC4),
         0},
    };
    const uint8_t value[4] = {0xD4, 0xC3, 0xB2, 0xA1};
    for (const Case& c : cases) {
        unit->clear_faults();
        for (const auto& f : c.faults) {
            unit->inject(f);
        }
        ASSERT_EQ(usb->write(read_units), 7);
        COMMS_MSG_t got;
        std::memset(&got, 0xAA, sizeof got);
        ASSERT_EQ(usb->read(&got), c.result) << c.name;
        EXPECT_EQ(got.iface, USB_HID) << c.name;
        EXPECT_EQ(uint32_t{got.can_ID}, uint32_t{CANMSG_SEND_USER_SETTING}) << c.name;
        EXPECT_EQ(got.msg_len, c.code) << c.name;
        uint8_t expected[64] = {};
        std::memcpy(expected, value, c.value_bytes);
        EXPECT_EQ(std::memcmp(got.data, expected, sizeof expected), 0) << c.name;
        EXPECT_EQ(got.padding[0] | got.padding[1], 0) << c.name;
    }

    // Too short to hold a frame header: an error, and the caller's frame is left alone.
    for (uint32_t len : {6u, 1u}) {
        unit->clear_faults();
        unit->inject(fault(FaultKind::ShortReport, sim::kAnyId, len));
        ASSERT_EQ(usb->write(read_units), 7);
        COMMS_MSG_t got;
        std::memset(&got, 0xAA, sizeof got);
        const COMMS_MSG_t before = got;
        EXPECT_EQ(usb->read(&got), -1) << len;
        EXPECT_EQ(std::memcmp(&got, &before, sizeof got), 0) << len;
    }
}

TEST_F(Transport, SilentUnitLeavesFrameAlone)
{
    attach();
    COMMS_MSG_t got;
    std::memset(&got, 0x5A, sizeof got);
    const COMMS_MSG_t before = got;
    const auto t0 = Clock::now();
    EXPECT_EQ(comms.getUSBHID()->read(&got), 0);
    EXPECT_GE(ms_since(t0), 1000);
    EXPECT_EQ(std::memcmp(&got, &before, sizeof got), 0);
}

TEST_F(Transport, OpensOnlyTheVendorInterfaceOnce)
{
    USBHID* usb = comms.getUSBHID();
    EXPECT_FALSE(comms.connectUSB(vendor_id, product_id)); // nothing plugged

    unit = std::make_shared<sim::VirtualUnit>();
    sim::plug(unit, 0x0001); // keyboard-style interface of the same unit
    EXPECT_FALSE(comms.connectUSB(vendor_id, product_id));
    EXPECT_FALSE(usb->isConnected());
    EXPECT_EQ(sim::open_handle_count(), 0);
    COMMS_MSG_t f = frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES);
    EXPECT_EQ(usb->write(f), -1);
    EXPECT_EQ(usb->read(&f), -1);

    // With the vendor interface listed after the other one, the walk finds it.
    sim::plug(unit);
    ASSERT_TRUE(comms.connectUSB(vendor_id, product_id));
    ASSERT_TRUE(comms.connectUSB(vendor_id, product_id)); // the first handle is closed, not leaked
    EXPECT_EQ(sim::open_handle_count(), 1);
    EXPECT_EQ(usb->write(f), 7);
    EXPECT_EQ(usb->read(&f), 71);
    EXPECT_EQ(uint32_t{f.can_ID}, uint32_t{CANMSG_SEND_USER_SETTING});

    usb->disconnect();
    EXPECT_EQ(sim::open_handle_count(), 0);
    EXPECT_FALSE(comms.isConnected());
}

TEST_F(Transport, CanFdNeverConnects)
{
    CANFD can;
    EXPECT_FALSE(can.connect("can0"));
    EXPECT_FALSE(can.isConnected());
    COMMS_MSG_t f;
    std::memset(&f, 0x33, sizeof f);
    const COMMS_MSG_t before = f;
    EXPECT_EQ(can.read(&f), -1);
    EXPECT_EQ(std::memcmp(&f, &before, sizeof f), 0);
    EXPECT_EQ(can.write(f), -1);
    EXPECT_EQ(can.write(f.data, 4), -1);
    can.disconnect();
    EXPECT_FALSE(can.isConnected());
    EXPECT_FALSE(comms.connectCANFD("can0"));
}

TEST_F(Transport, ManagerRouting)
{
    EXPECT_FALSE(comms.isConnected());
    EXPECT_EQ(comms.getActiveInterface(), USB_HID);
    COMMS_MSG_t f = frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES, {VNE_INDEX});
    EXPECT_EQ(printed([&] { EXPECT_EQ(comms.write(f), -1); }), std::vector<std::string>{"No interface connected."});
    EXPECT_TRUE(printed([&] { EXPECT_EQ(comms.read(&f), -1); }).empty());

    attach();
    EXPECT_EQ(comms.read(nullptr), -1);
    f.iface = CAN_FD; // ignored: USB carries everything while it is connected
    EXPECT_EQ(comms.write(f), 7);
    EXPECT_EQ(f.iface, CAN_FD);
    COMMS_MSG_t reply;
    EXPECT_EQ(comms.read(&reply), 71);
    EXPECT_EQ(uint32_t{reply.can_ID}, uint32_t{CANMSG_SEND_USER_SETTING});
    EXPECT_EQ(comms.getActiveInterface(), USB_HID);
}

} // namespace
