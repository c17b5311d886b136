// USB report encoding and decoding against the virtual hidapi backend, which interface is opened,
// the inert CAN FD transport and the manager's routing.
#include "link_fixture.h"

namespace {

using namespace linktest;
using Transport = Link;

TEST_F(Transport, EncodesOutputReports)
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
}

TEST_F(Transport, DecodesInputReports)
{
    attach();
    Settings_t s = unit->working_settings();
    s.units.units_value = 0xA1B2C3D4;
    unit->load_settings(s);
    USBHID* usb = comms.getUSBHID();
    struct Case {
        uint32_t cut;  // report cut to this many bytes (0: whole)
        uint32_t code; // length code put in the report (0: the reply's own, 4)
        int result;
        size_t value_bytes; // bytes of the 4-byte value the frame ends up with
    };
    const Case cases[] = {{0, 0, 71, 4},  {7, 0, 7, 0},     {9, 0, 9, 2},  {27, 15, 27, 4},
                          {0, 15, 71, 4}, {0, 0xC4, 71, 0}, {6, 0, -1, 0}, {1, 0, -1, 0}};
    for (const Case& c : cases) {
        unit->clear_faults();
        if (c.cut != 0) {
            unit->inject(fault(FaultKind::ShortReport, c.cut));
        }
        if (c.code != 0) {
            unit->inject(fault(FaultKind::BadLengthCode, c.code));
        }
        ASSERT_EQ(usb->write(frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES, {0})), 7);
        COMMS_MSG_t got;
        std::memset(&got, 0xAA, sizeof got);
        COMMS_MSG_t expected = got; // a report too short for a header leaves the frame alone
        if (c.result > 0) {
            expected = frame(CANMSG_SEND_USER_SETTING, static_cast<CAN_MSG_LEN_t>(c.code ? c.code : 4));
            std::memcpy(expected.data, "\xD4\xC3\xB2\xA1", c.value_bytes);
        }
        EXPECT_EQ(usb->read(&got), c.result) << c.cut << " " << c.code;
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << c.cut << " " << c.code;
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
    sim::plug(unit, 0x0001); // the unit, on another usage page only
    EXPECT_FALSE(comms.connectUSB(vendor_id, product_id));
    EXPECT_EQ(sim::open_handle_count(), 0);
    COMMS_MSG_t f = frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES);
    EXPECT_EQ(usb->write(f), -1);
    EXPECT_EQ(usb->read(&f), -1);

    sim::plug(unit); // listed after the other interface: the walk goes on to it
    ASSERT_TRUE(comms.connectUSB(vendor_id, product_id));
    ASSERT_TRUE(comms.connectUSB(vendor_id, product_id)); // closes the first handle
    EXPECT_EQ(sim::open_handle_count(), 1);
    EXPECT_EQ(usb->write(f), 7);
    EXPECT_EQ(usb->read(&f), 71);
    usb->disconnect();
    EXPECT_EQ(sim::open_handle_count(), 0);
    EXPECT_FALSE(comms.isConnected());
}

TEST_F(Transport, CanFdAndRouting)
{
    CANFD can;
    COMMS_MSG_t f = frame(CANMSG_REQUEST_USER_SETTING, CAN_1_BYTES, {VNE_INDEX});
    const COMMS_MSG_t before = f;
    EXPECT_FALSE(can.connect("can0"));
    EXPECT_FALSE(can.isConnected());
    EXPECT_EQ(can.read(&f), -1);
    EXPECT_EQ(std::memcmp(&f, &before, sizeof f), 0);
    EXPECT_EQ(can.write(f), -1);
    EXPECT_EQ(can.write(f.data, 1), -1);
    EXPECT_FALSE(comms.connectCANFD("can0"));

    EXPECT_EQ(comms.getActiveInterface(), USB_HID);
    EXPECT_EQ(printed([&] { EXPECT_EQ(comms.write(f), -1); }), Lines{"No interface connected."});
    EXPECT_TRUE(printed([&] { EXPECT_EQ(comms.read(&f), -1); }).empty());

    attach();
    f.iface = CAN_FD; // USB carries everything while it is connected
    EXPECT_EQ(comms.write(f), 7);
    EXPECT_EQ(comms.read(nullptr), -1);
    EXPECT_EQ(comms.read(&f), 71);
    EXPECT_EQ(uint32_t{f.can_ID}, uint32_t{CANMSG_SEND_USER_SETTING});
}

} // namespace
