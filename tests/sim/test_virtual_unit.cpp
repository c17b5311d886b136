// The virtual unit checked against the report and payload layouts, byte by byte. Requests are built
// by hand here and go through the hid_* functions, so nothing of the tool's protocol code is used.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "efis_shared/get_set.h"
#include "sim/demo_unit.h"
#include "sim/hid_backend.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

Bytes le32(uint32_t v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

Bytes cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Output report: 05, identifier LE, length code, payload.
Bytes out_report(uint32_t id, uint8_t code, const Bytes& payload = {})
{
    return cat(cat({0x05}, le32(id)), cat({code}, payload));
}

// Input report: 06, iface 0, identifier LE, length code, 64 payload bytes.
Bytes in_report(uint32_t id, uint8_t code, Bytes payload = {})
{
    payload.resize(64, 0);
    return cat(cat({0x06, 0x00}, le32(id)), cat({code}, payload));
}

const Bytes kHeartbeatPrefix = {0x06, 0x00, 0x50, 0x07, 0x00, 0x00, 0x08};

class VirtualUnitTest : public ::testing::Test {
protected:
    void SetUp() override { sim::unplug_all(); }
    void TearDown() override
    {
        if (dev != nullptr) {
            hid_close(dev);
        }
        sim::unplug_all();
    }
    void attach(sim::UnitConfig config = {})
    {
        unit = std::make_shared<sim::VirtualUnit>(config);
        sim::plug(unit);
        dev = hid_open_path("sim:0");
        ASSERT_NE(dev, nullptr);
    }
    void send(const Bytes& r) { ASSERT_EQ(hid_write(dev, r.data(), r.size()), int(r.size())); }
    Bytes recv(int ms = 20)
    {
        uint8_t buf[128];
        const int n = hid_read_timeout(dev, buf, sizeof buf, ms);
        return n > 0 ? Bytes(buf, buf + n) : Bytes{};
    }
    void expect_silence() { EXPECT_EQ(recv(0), Bytes{}); }
    void erase_block(uint16_t block) // current-map unit only
    {
        send(out_report(0x430, 3, {0xBE, uint8_t(block), uint8_t(block >> 8)}));
        recv();
        recv();
    }

    hid_device* dev = nullptr;
    std::shared_ptr<sim::VirtualUnit> unit;
};

struct GenCase {
    const char* name;
    sim::Generation generation;
    uint8_t patch;
    bool legacy;
};

void PrintTo(const GenCase& c, std::ostream* os)
{
    *os << c.name;
}

class VirtualUnitGen : public VirtualUnitTest, public ::testing::WithParamInterface<GenCase> {
protected:
    void SetUp() override
    {
        VirtualUnitTest::SetUp();
        sim::UnitConfig c;
        c.generation = GetParam().generation;
        c.version.version = 0x00020000u | (uint32_t{GetParam().patch} << 8);
        c.serial = 0x12345678;
        attach(c);
    }
    uint32_t id(uint32_t current, uint32_t legacy) const { return GetParam().legacy ? legacy : current; }
    Bytes ack(uint32_t acked, bool ok) const
    {
        if (GetParam().legacy) {
            return in_report(ok ? 0x255 : 0x254, 6, cat(le32(acked), {0xEF, 0x15}));
        }
        return in_report(0x0E0, 4, {0x00, uint8_t(acked), uint8_t(acked >> 8), uint8_t(ok ? 1 : 0)});
    }
    Bytes mx25(uint8_t op, uint32_t address, bool ok) const
    {
        if (GetParam().legacy) {
            return in_report(ok ? 0x256 : 0x257, 5, cat({op}, le32(address)));
        }
        return in_report(0x0F0, 6, cat(cat({op}, le32(address)), {uint8_t(ok ? 1 : 0)}));
    }
};

INSTANTIATE_TEST_SUITE_P(VirtualUnit, VirtualUnitGen,
                         ::testing::Values(GenCase{"Current_0_2_12", sim::Generation::Current, 12, false},
                                           GenCase{"Current_0_2_11", sim::Generation::Current, 11, true},
                                           GenCase{"Legacy", sim::Generation::Legacy, 12, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(VirtualUnitGen, AnswersOnlyItsOwnWhoami)
{
    const bool current = GetParam().generation == sim::Generation::Current;
    const uint32_t mine = current ? 0x010 : 0x123;
    send(out_report(current ? 0x123 : 0x010, 2, {0xEF, 0x15}));
    send(out_report(mine, 2, {0xEF, 0x16}));         // no marker
    send(out_report(mine | 0x800, 2, {0xEF, 0x15})); // exact identifiers only
    expect_silence();
    send(out_report(mine, 2, {0xEF, 0x15}));
    if (current) {
        EXPECT_EQ(recv(), in_report(0x010, 8, {0x12, 0x34, 0x56, 0x78, 0x00, GetParam().patch, 0x02, 0x00}));
    } else {
        EXPECT_EQ(recv(), in_report(0x123, 8, {0xEF, 0x15, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12}));
    }
}

TEST_P(VirtualUnitGen, ReadsAndWritesValues)
{
    Settings_t s = unit->working_settings();
    s.vspeeds.Vne = 160;
    unit->load_settings(s);
    SENSOR_CALIB_t c{};
    c.LSM_CAL.acc_offset.y = 1.0f; // index 2
    unit->load_calibration(c);

    send(out_report(id(0x370, 0x376), 1, {6}));
    EXPECT_EQ(recv(), in_report(id(0x380, 0x377), 4, le32(160)));
    send(out_report(id(0x330, 0x354), 1, {2}));
    EXPECT_EQ(recv(), in_report(id(0x340, 0x355), 4, le32(0x3F800000)));

    send(out_report(id(0x390, 0x378), 5, {7, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(recv(), ack(id(0x390, 0x378), true));
    EXPECT_EQ(unit->working_settings().vspeeds.VRef, 0x44);
    EXPECT_EQ(unit->stored_settings().vspeeds.VRef, 0); // a write does not store
    send(out_report(id(0x390, 0x378), 5, {36, 1, 0, 0, 0}));
    EXPECT_EQ(recv(), ack(id(0x390, 0x378), false));

    send(out_report(id(0x350, 0x356), 5, {76, 0xAA, 0xBB, 0xCC, 0xDD}));
    EXPECT_EQ(recv(), ack(id(0x350, 0x356), true));
    EXPECT_EQ(unit->calibration().oat_crc, 0xDDCCBBAAu);
    // The other map's identifiers mean nothing to this unit.
    send(out_report(id(0x376, 0x370), 1, {6}));
    expect_silence();
}

TEST_P(VirtualUnitGen, SaveCommitsOnlyAMatchingChecksum)
{
    const uint32_t save = id(0x3A0, 0x379);
    send(out_report(id(0x390, 0x378), 5, {24, 9, 0, 0, 0})); // brightness 9
    recv();
    Settings_t expected = unit->working_settings();
    expected.magic = 0x5F564551;
    expected.crc32 = 0;
    const uint32_t crc = settings_CalcCRC(&expected);
    expected.crc32 = crc;

    send(out_report(save, 4, le32(crc ^ 1)));
    EXPECT_EQ(recv(), mx25(0xAE, sim::kSettingsSectorAddress, true));
    EXPECT_EQ(recv(), ack(save, false));
    EXPECT_EQ(unit->stored_settings().backlight_brightness, 0u);

    send(out_report(save, 4, le32(crc)));
    EXPECT_EQ(recv(), mx25(0xAE, sim::kSettingsSectorAddress, true));
    EXPECT_EQ(recv(), ack(save, true));
    const Settings_t stored = unit->stored_settings();
    EXPECT_EQ(std::memcmp(&stored, &expected, sizeof stored), 0);

    const auto saves = unit->saves();
    ASSERT_EQ(saves.size(), 2u);
    EXPECT_TRUE(!saves[0].matched && !saves[0].committed && saves[0].crc_received == (crc ^ 1));
    EXPECT_TRUE(saves[1].matched && saves[1].committed && saves[1].crc_own == crc);

    send(out_report(id(0x360, 0x357), 4, le32(0xCAFE)));
    EXPECT_EQ(recv(), ack(id(0x360, 0x357), true));
    EXPECT_EQ(unit->calibration_saves(), std::vector<uint32_t>{0xCAFE});

    send(out_report(id(0x3B0, 0x399), 1, {0x48}));
    expect_silence();
    EXPECT_EQ(unit->last_reboot_byte(), std::optional<uint8_t>(0x48));
    EXPECT_EQ(unit->reboot_count(), 1);
}

TEST_P(VirtualUnitGen, FlashCommands)
{
    const uint32_t erase = id(0x430, 0x416), get_part = id(0x730, 0x287), db = id(0x450, 0x42F);
    send(out_report(get_part, 0));
    EXPECT_EQ(recv(), ack(get_part, true));
    EXPECT_EQ(recv(), mx25(0xAC, 0xB1B1B1B1, true));
    unit->set_partition(0xB3B3B3B3);
    send(out_report(get_part, 0));
    recv();
    EXPECT_EQ(recv(), mx25(0xAC, 0xB3B3B3B3, true));

    send(out_report(erase, 3, {0xBE, 0x40, 0x03})); // block 832
    EXPECT_EQ(recv(), ack(erase, true));
    EXPECT_EQ(recv(), mx25(0xBE, 0x03400000, true));
    EXPECT_EQ(unit->flash(0x033FFFFF, 3), (Bytes{0x00, 0xFF, 0xFF}));
    EXPECT_EQ(unit->flash(0x0340FFFF, 2), (Bytes{0xFF, 0x00}));
    send(out_report(erase, 3, {0xAE, 0x03, 0x00})); // sector 3
    EXPECT_EQ(recv(), ack(erase, true));
    EXPECT_EQ(recv(), mx25(0xAE, 0x3000, true));
    EXPECT_EQ(unit->flash(0x2FFF, 2), (Bytes{0x00, 0xFF}));
    EXPECT_EQ(unit->flash(0x3FFF, 2), (Bytes{0xFF, 0x00}));
    send(out_report(erase, 3, {0xBE, 0x00, 0x04})); // block 1024: past the end
    EXPECT_EQ(recv(), ack(erase, true));
    EXPECT_EQ(recv(), mx25(0xBE, 0x04000000, false));
    send(out_report(erase, 3, {0x12, 0x01, 0x00})); // unknown op
    EXPECT_EQ(recv(), ack(erase, true));
    EXPECT_EQ(recv(), mx25(0x12, 0, false));
    EXPECT_EQ(unit->erase_count(), 2u);

    send(out_report(id(0x440, 0x417), 4, le32(0x03400000)));
    EXPECT_EQ(recv(), mx25(0xA1, 0x03400000, true));
    send(out_report(id(0x440, 0x417), 4, le32(0x04000000)));
    EXPECT_EQ(recv(), mx25(0xA1, 0x04000000, false));
    EXPECT_EQ(unit->write_pointer(), 0x03400000u);
    Bytes data(17, 0x5A);
    data.resize(20, 0); // code 11 carries 20 bytes
    send(out_report(id(0x420, 0x415), 11, data));
    EXPECT_EQ(recv(), mx25(0xAA, 0x03400000, true));
    EXPECT_EQ(unit->write_pointer(), 0x03400014u);
    EXPECT_EQ(unit->flash(0x03400000, 21), cat(data, {0xFF}));

    send(out_report(db, 1, {0xDC}));
    EXPECT_EQ(recv(), ack(db, true));
    EXPECT_FALSE(unit->airport_db_open());
    send(out_report(db, 1, {0xDA}));
    expect_silence();
    EXPECT_TRUE(unit->airport_db_open());
}

TEST_F(VirtualUnitTest, VersionPicksTheMapByMajorMinorPatch)
{
    attach();
    const struct {
        uint8_t major, minor, patch, rc;
        bool current_map;
    } cases[] = {
        {1, 0, 0, 0, true}, {0, 3, 0, 0, true}, {0, 2, 12, 5, true}, {0, 2, 11, 255, false}, {0, 1, 99, 0, false}};
    for (const auto& c : cases) {
        unit->set_version(c.major, c.minor, c.patch, c.rc);
        send(out_report(c.current_map ? 0x376 : 0x370, 1, {254}));
        expect_silence();
        send(out_report(c.current_map ? 0x370 : 0x376, 1, {254}));
        EXPECT_EQ(recv(), in_report(c.current_map ? 0x380 : 0x377, 4, le32(1)))
            << int(c.major) << '.' << int(c.minor) << '.' << int(c.patch);
    }
}

TEST_F(VirtualUnitTest, FlashBehavesAsNor)
{
    attach();
    send(out_report(0x420, 4, {0x12, 0x34, 0x56, 0x78})); // fresh flash holds old data
    EXPECT_EQ(recv(), in_report(0x0F0, 6, {0xAA, 0, 0, 0, 0, 0}));
    ASSERT_EQ(unit->nor_faults().size(), 4u);
    EXPECT_EQ(unit->nor_faults()[1].address, 1u);
    EXPECT_EQ(unit->nor_faults()[1].written, 0x34);

    erase_block(0);
    send(out_report(0x440, 4, le32(0)));
    recv();
    send(out_report(0x420, 2, {0xF0, 0x3C}));
    EXPECT_EQ(recv(), in_report(0x0F0, 6, {0xAA, 0, 0, 0, 0, 1}));
    send(out_report(0x440, 4, le32(1)));
    recv();
    send(out_report(0x420, 1, {0x0F})); // over 0x3C: bits only clear, and it is reported
    EXPECT_EQ(recv(), in_report(0x0F0, 6, {0xAA, 1, 0, 0, 0, 0}));
    EXPECT_EQ(unit->flash(0, 3), (Bytes{0xF0, 0x0C, 0xFF}));
    const auto faults = unit->nor_faults();
    ASSERT_EQ(faults.size(), 5u);
    EXPECT_TRUE(faults[4].address == 1 && faults[4].before == 0x3C && faults[4].written == 0x0F);

    // A short output report is zero-padded: code 15 writes 64 bytes whatever arrived.
    erase_block(1);
    send(out_report(0x440, 4, le32(0x10000)));
    recv();
    send(out_report(0x420, 15, {1, 2, 3}));
    EXPECT_EQ(recv(), in_report(0x0F0, 6, {0xAA, 0x00, 0x00, 0x01, 0x00, 1}));
    EXPECT_EQ(unit->flash(0x10000, 4), (Bytes{1, 2, 3, 0}));
    EXPECT_EQ(unit->flash(0x1003F, 2), (Bytes{0, 0xFF}));
    EXPECT_EQ(unit->write_pointer(), 0x10040u);

    // Past the end: refused, nothing written, pointer kept.
    send(out_report(0x440, 4, le32(0x03FFFFF0)));
    recv();
    send(out_report(0x420, 15, Bytes(64, 0)));
    EXPECT_EQ(recv(), in_report(0x0F0, 6, {0xAA, 0xF0, 0xFF, 0xFF, 0x03, 0}));
    EXPECT_EQ(unit->write_pointer(), 0x03FFFFF0u);
    EXPECT_EQ(unit->flash(0x03FFFFF0, 64).size(), 16u);

    send(out_report(0x430, 3, {0xCE, 0x00, 0x00}));
    EXPECT_EQ(recv(), in_report(0x0E0, 4, {0x00, 0x30, 0x04, 1}));
    EXPECT_EQ(recv(), in_report(0x0F0, 6, {0xCE, 0, 0, 0, 0, 1}));
    EXPECT_EQ(unit->flash(0, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(unit->flash(0x03FFFFFF, 1), (Bytes{0xFF}));
}

TEST_F(VirtualUnitTest, EnumerationAndHandles)
{
    const int inits = sim::hid_init_count();
    EXPECT_EQ(hid_init(), 0);
    EXPECT_EQ(sim::hid_init_count(), inits + 1);
    hid_exit();
    EXPECT_EQ(hid_enumerate(0, 0), nullptr);

    auto a = std::make_shared<sim::VirtualUnit>(sim::UnitConfig{.serial = 0x00C0FFEE});
    auto b = std::make_shared<sim::VirtualUnit>();
    sim::plug(a, 0x0001); // the same unit on another usage page, listed first
    sim::plug(a);
    sim::plug(b, sim::kUnitUsagePage, 0x1234, 0x0001);

    hid_device_info* all = hid_enumerate(0, 0);
    int count = 0;
    for (hid_device_info* d = all; d != nullptr; d = d->next) {
        ++count;
    }
    EXPECT_EQ(count, 3);
    hid_free_enumeration(all);

    hid_device_info* mine = hid_enumerate(vendor_id, product_id);
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(mine->next, nullptr);
    EXPECT_EQ(mine->next->next, nullptr);
    EXPECT_STREQ(mine->path, "sim:0");
    EXPECT_EQ(mine->usage_page, 0x0001);
    EXPECT_STREQ(mine->next->path, "sim:1");
    EXPECT_EQ(mine->next->usage_page, 0xFF00);
    EXPECT_EQ(mine->next->interface_number, 1);
    EXPECT_EQ(std::wstring(mine->next->serial_number), L"00C0FFEE");
    EXPECT_EQ(mine->next->bus_type, HID_API_BUS_USB);
    hid_free_enumeration(mine);
    hid_device_info* other = hid_enumerate(0x1234, 0);
    ASSERT_NE(other, nullptr);
    EXPECT_STREQ(other->path, "sim:2");
    hid_free_enumeration(other);

    const int open_before = sim::open_handle_count();
    hid_device* h1 = hid_open_path("sim:1");
    hid_device* h2 = hid_open_path("sim:2");
    ASSERT_TRUE(h1 != nullptr && h2 != nullptr);
    EXPECT_EQ(hid_open_path("sim:7"), nullptr);
    EXPECT_EQ(sim::open_handle_count(), open_before + 2);
    hid_close(h2);
    EXPECT_EQ(sim::open_handle_count(), open_before + 1);

    // A handle keeps its unit alive after the bus lets go, and fails from then on.
    std::weak_ptr<sim::VirtualUnit> weak = a;
    a.reset();
    sim::unplug_all();
    EXPECT_FALSE(weak.expired());
    const Bytes r = out_report(0x010, 2, {0xEF, 0x15});
    EXPECT_EQ(hid_write(h1, r.data(), r.size()), -1);
    uint8_t buf[80];
    EXPECT_EQ(hid_read_timeout(h1, buf, sizeof buf, 0), -1);
    hid_close(h1);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(sim::open_handle_count(), open_before);
}

TEST_F(VirtualUnitTest, ReadsWaitForRealAndLatencyPacesReplies)
{
    attach();
    auto t0 = Clock::now();
    EXPECT_EQ(recv(50), Bytes{});
    EXPECT_GE(Clock::now() - t0, 50ms);

    unit->set_latency(30ms);
    t0 = Clock::now();
    send(out_report(0x730, 0)); // two replies
    EXPECT_EQ(recv(500), in_report(0x0E0, 4, {0x00, 0x30, 0x07, 1}));
    EXPECT_GE(Clock::now() - t0, 30ms);
    EXPECT_FALSE(recv(500).empty());
    EXPECT_GE(Clock::now() - t0, 60ms);

    unit->set_latency(0us);
    unit->inject({.kind = sim::FaultKind::Delay, .param = 40});
    t0 = Clock::now();
    send(out_report(0x730, 0));
    EXPECT_FALSE(recv(500).empty());
    EXPECT_GE(Clock::now() - t0, 40ms);
    EXPECT_FALSE(recv(0).empty()); // the second reply is not delayed again

    // A blocking read waits for a reply written from another thread, and fails when the unit goes.
    std::thread writer([&] {
        std::this_thread::sleep_for(20ms);
        const Bytes r = out_report(0x010, 2, {0xEF, 0x15});
        hid_write(dev, r.data(), r.size());
    });
    uint8_t buf[128];
    EXPECT_EQ(hid_read(dev, buf, sizeof buf), 71);
    writer.join();
    std::thread unplugger([&] {
        std::this_thread::sleep_for(20ms);
        sim::unplug_all();
    });
    EXPECT_EQ(hid_read(dev, buf, sizeof buf), -1);
    unplugger.join();
}

TEST_F(VirtualUnitTest, FaultsShapeTheReplies)
{
    using sim::FaultKind;
    attach();
    const Bytes get_part = out_report(0x730, 0);
    const Bytes ack = in_report(0x0E0, 4, {0x00, 0x30, 0x07, 1});
    const Bytes part = in_report(0x0F0, 6, {0xAC, 0xB1, 0xB1, 0xB1, 0xB1, 1});

    unit->inject({.kind = FaultKind::NoReply, .can_id = 0x730, .reply_index = 1});
    send(get_part);
    EXPECT_EQ(recv(), ack);
    expect_silence();

    // skip and times: the second and third matching requests are hit, then the fault is spent.
    unit->inject({.kind = FaultKind::NoReply, .can_id = 0x730, .skip = 1, .times = 2});
    for (int i = 0; i < 4; ++i) {
        send(get_part);
        EXPECT_EQ(recv().empty(), i == 1 || i == 2) << i;
        recv();
    }
    unit->clear_faults();

    unit->inject({.kind = FaultKind::WrongOp, .param = 0xAA});
    unit->inject({.kind = FaultKind::WrongAddress, .param = 0x1234});
    unit->inject({.kind = FaultKind::WrongAckId, .param = 0x390});
    send(get_part);
    EXPECT_EQ(recv(), in_report(0x0E0, 4, {0x00, 0x90, 0x03, 1}));
    EXPECT_EQ(recv(), in_report(0x0F0, 6, {0xAA, 0x34, 0x12, 0, 0, 1}));

    unit->inject({.kind = FaultKind::UnrelatedBefore, .param = 2});
    unit->inject({.kind = FaultKind::ShortReport, .param = 10, .reply_index = 0});
    unit->inject({.kind = FaultKind::BadLengthCode, .param = 9, .reply_index = 1});
    send(get_part);
    for (int i = 0; i < 2; ++i) {
        const Bytes hb = recv();
        ASSERT_EQ(hb.size(), 71u);
        EXPECT_EQ(Bytes(hb.begin(), hb.begin() + 7), kHeartbeatPrefix);
    }
    EXPECT_EQ(recv(), Bytes(ack.begin(), ack.begin() + 10));
    Bytes bad = part;
    bad[6] = 9;
    EXPECT_EQ(recv(), bad);
    unit->clear_faults();

    // Nack and Ignore: the operation is not carried out.
    unit->inject({.kind = FaultKind::Nack, .can_id = 0x390});
    send(out_report(0x390, 5, {24, 7, 0, 0, 0}));
    EXPECT_EQ(recv(), in_report(0x0E0, 4, {0x00, 0x90, 0x03, 0}));
    unit->inject({.kind = FaultKind::Ignore, .can_id = 0x390});
    send(out_report(0x390, 5, {24, 7, 0, 0, 0}));
    expect_silence();
    EXPECT_EQ(unit->working_settings().backlight_brightness, 0u);
    unit->inject({.kind = FaultKind::Nack, .can_id = 0x430});
    send(out_report(0x430, 3, {0xBE, 0x00, 0x00}));
    EXPECT_EQ(recv(), in_report(0x0E0, 4, {0x00, 0x30, 0x04, 0}));
    EXPECT_EQ(recv(), in_report(0x0F0, 6, {0xBE, 0, 0, 0, 0, 0}));
    EXPECT_EQ(unit->erase_count(), 0u);
}

TEST_F(VirtualUnitTest, LinkFaultsAndVanishing)
{
    using sim::FaultKind;
    attach();
    const Bytes whoami = out_report(0x010, 2, {0xEF, 0x15});
    unit->inject({.kind = FaultKind::WriteError, .can_id = 0x010});
    EXPECT_EQ(hid_write(dev, whoami.data(), whoami.size()), -1);
    EXPECT_TRUE(unit->requests().empty()); // the unit never saw it
    expect_silence();

    unit->inject({.kind = FaultKind::ReadError});
    send(whoami);
    uint8_t buf[128];
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 20), -1);
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 20), 71); // the reply still follows
    unit->inject({.kind = FaultKind::ReadError});
    send(whoami);
    sim::VirtualUnit::InputReport report;
    ASSERT_TRUE(unit->next_input_report(Clock::now() + 20ms, &report));
    EXPECT_TRUE(report.read_error);
    ASSERT_TRUE(unit->next_input_report(Clock::now() + 20ms, &report));
    EXPECT_EQ(report.bytes, in_report(0x010, 8, {0x12, 0x34, 0x56, 0x78, 0x00, 0x0C, 0x02, 0x00}));

    // Vanishing on the third write of an upload: the frame is taken, then everything fails.
    unit->inject({.kind = FaultKind::Vanish, .can_id = 0x420, .skip = 2});
    erase_block(0);
    for (int i = 0; i < 2; ++i) {
        send(out_report(0x420, 15, Bytes(64, 0x11)));
        EXPECT_FALSE(recv().empty());
    }
    send(out_report(0x420, 15, Bytes(64, 0x11)));
    EXPECT_TRUE(unit->vanished());
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 20), -1);
    EXPECT_EQ(hid_write(dev, whoami.data(), whoami.size()), -1);
    EXPECT_EQ(hid_enumerate(0, 0), nullptr);
    EXPECT_EQ(hid_open_path("sim:0"), nullptr);
    EXPECT_EQ(unit->requests().size(), 6u); // two whoami, erase and three writes
}

TEST_F(VirtualUnitTest, ChatterMalformedReportsAndTheLog)
{
    attach();
    unit->set_chatter(true);
    for (int i = 0; i < 50; ++i) {
        const Bytes r = recv(0);
        ASSERT_EQ(r.size(), 71u);
        ASSERT_EQ(Bytes(r.begin(), r.begin() + 7), kHeartbeatPrefix);
    }
    send(out_report(0x010, 2, {0xEF, 0x15}));
    const Bytes first = recv(0);
    ASSERT_EQ(first.size(), 71u);
    EXPECT_EQ(first[2], 0x10); // a queued reply goes first
    unit->set_chatter(false);
    expect_silence();

    unit->clear_log();
    const Bytes wrong_number = {0x04, 0x10, 0x00, 0x00, 0x00, 0x02, 0xEF, 0x15};
    const Bytes too_short = {0x05, 0x10, 0x00, 0x00, 0x00};
    send(wrong_number);
    send(too_short);
    expect_silence();
    EXPECT_TRUE(unit->requests().empty());

    const Bytes read6 = out_report(0x370, 1, {6});
    send(read6);
    const Bytes reply = recv();
    const auto log = unit->log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].bytes, wrong_number);
    EXPECT_EQ(log[1].bytes, too_short);
    EXPECT_TRUE(log[2].direction == sim::Direction::ToUnit && log[2].bytes == read6);
    EXPECT_EQ(uint32_t{log[2].frame.can_ID}, 0x370u);
    EXPECT_EQ(log[2].frame.msg_len, CAN_1_BYTES);
    EXPECT_EQ(log[2].frame.data[0], 6);
    EXPECT_TRUE(log[3].direction == sim::Direction::FromUnit && log[3].bytes == reply);
    EXPECT_EQ(uint32_t{log[3].frame.can_ID}, 0x380u);
    const auto requests = unit->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(uint32_t{requests[0].can_ID}, 0x370u);

    unit->set_logging(false);
    send(read6);
    recv();
    EXPECT_EQ(unit->log().size(), 4u);
}

TEST_F(VirtualUnitTest, DemoUnitIsConsistentAndAnswers)
{
    const Settings_t s = sim::make_demo_unit()->working_settings();
    EXPECT_EQ(s.crc32, settings_CalcCRC(&s));
    EXPECT_EQ(s.magic, 0x5F564551u);
    EXPECT_EQ(s.num_elements, 31u);
    EXPECT_EQ(std::memcmp(s.registration, "N12345\0\0\0\0\0\0", 12), 0);
    EXPECT_EQ(s.units.units_value, 0xAAu);

    sim::install_demo_unit();
    hid_device_info* info = hid_enumerate(vendor_id, product_id);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->usage_page, 0xFF00);
    hid_free_enumeration(info);
    dev = hid_open_path("sim:0");
    ASSERT_NE(dev, nullptr);
    send(out_report(0x010, 2, {0xEF, 0x15}));
    EXPECT_EQ(recv(500), in_report(0x010, 8, {0x00, 0xC0, 0xFF, 0xEE, 0x00, 0x0C, 0x02, 0x00}));
}

} // namespace
