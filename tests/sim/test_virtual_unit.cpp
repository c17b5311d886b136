// The virtual unit checked against the report and payload layouts, byte by byte. Requests are built
// by hand here and go through the hid_* functions, so nothing of the tool's protocol code is used.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "efis_shared/get_set.h"
#include "sim/demo_unit.h"
#include "sim/hid_backend.h"
#include "tests/sim/reports.h"

namespace {

using namespace sim_test;
using Clock = std::chrono::steady_clock;
using K = sim::FaultKind;
using namespace std::chrono_literals;

// clang-format off
// The legacy acknowledgement forms; VirtualUnitGen picks them for a unit on the legacy map.
Bytes legacy_ack(uint32_t id, bool ok) { return in_report(ok ? 0x255 : 0x254, 6, cat(le32(id), {0xEF, 0x15})); }
Bytes legacy_mx25(uint8_t op, uint32_t at, bool ok) { return in_report(ok ? 0x256 : 0x257, 5, cat({op}, le32(at))); }
// The map follows the version on a current unit: legacy below 0.2.12, the rc byte aside.
struct GenCase { const char* name; sim::Generation generation; uint32_t version; bool legacy_map; };
void PrintTo(const GenCase& c, std::ostream* os) { *os << c.name; }
const Bytes kHeartbeatPrefix = {0x06, 0x00, 0x50, 0x07, 0x00, 0x00, 0x08};
bool is_heartbeat(const Bytes& r) { return r.size() == 71 && Bytes(r.begin(), r.begin() + 7) == kHeartbeatPrefix; }
// clang-format on

class VirtualUnitTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (dev != nullptr) {
            hid_close(dev);
        }
        dev = nullptr;
        sim::unplug_all();
    }
    // A fresh unit alone on the bus, opened.
    void attach(sim::UnitConfig config = {})
    {
        TearDown(); // a fresh bus
        unit = std::make_shared<sim::VirtualUnit>(config);
        sim::plug(unit);
        dev = hid_open_path("sim:12345678:0");
        ASSERT_NE(dev, nullptr);
    }
    void send(const Bytes& r) { ASSERT_EQ(hid_write(dev, r.data(), r.size()), int(r.size())); }
    Bytes recv(int ms = 20) { return sim_test::recv(dev, ms); }
    Replies ask(const Bytes& request) { return sim_test::ask(dev, request); }
    void erase_block(uint16_t block) { ask(out_report(0x430, 3, {0xBE, uint8_t(block), uint8_t(block >> 8)})); }
    void set_address(uint32_t a) { ask(out_report(0x440, 4, le32(a))); }
    // "path/usage page " for each interface listed.
    static std::string list(uint16_t vid, uint16_t pid)
    {
        std::ostringstream out;
        hid_device_info* all = hid_enumerate(vid, pid);
        for (hid_device_info* d = all; d != nullptr; d = d->next) {
            out << d->path << '/' << std::hex << d->usage_page << ' ';
        }
        hid_free_enumeration(all);
        return out.str();
    }

    hid_device* dev = nullptr;
    std::shared_ptr<sim::VirtualUnit> unit;
};

class VirtualUnitGen : public VirtualUnitTest, public ::testing::WithParamInterface<GenCase> {
protected:
    void SetUp() override { attach({.generation = GetParam().generation, .version = {GetParam().version}}); }
    // Identifiers and acknowledgements of the map this unit uses.
    const bool legacy = GetParam().legacy_map;
    uint32_t id(uint32_t current, uint32_t legacy_id) const { return legacy ? legacy_id : current; }
    Bytes ack(uint32_t id, bool ok) const { return legacy ? legacy_ack(id, ok) : sim_test::ack(id, ok); }
    Bytes mx25(uint8_t op, uint32_t at, bool ok) const
    {
        return legacy ? legacy_mx25(op, at, ok) : sim_test::mx25(op, at, ok);
    }
};

// clang-format off
INSTANTIATE_TEST_SUITE_P(VirtualUnit, VirtualUnitGen, ::testing::Values(
    GenCase{"Current_0_2_12", sim::Generation::Current, 0x00020C00, false},
    GenCase{"Current_0_2_12_rc5", sim::Generation::Current, 0x00020C05, false},
    GenCase{"Current_0_3_0", sim::Generation::Current, 0x00030000, false},
    GenCase{"Current_1_0_0", sim::Generation::Current, 0x01000000, false},
    GenCase{"Current_0_2_11_rc255", sim::Generation::Current, 0x00020BFF, true},
    GenCase{"Current_0_1_99", sim::Generation::Current, 0x00016300, true},
    GenCase{"Legacy", sim::Generation::Legacy, 0x00020C00, true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_P(VirtualUnitGen, AnswersOnlyItsOwnWhoami)
{
    const bool current = GetParam().generation == sim::Generation::Current;
    const uint32_t mine = current ? 0x010 : 0x123;
    EXPECT_EQ(ask(out_report(current ? 0x123 : 0x010, 2, {0xEF, 0x15})), Replies{});
    EXPECT_EQ(ask(out_report(mine, 2, {0xEF, 0x16})), Replies{});         // no marker
    EXPECT_EQ(ask(out_report(mine | 0x800, 2, {0xEF, 0x15})), Replies{}); // exact identifiers only
    const Bytes reply = current ? in_report(0x010, 8, cat({0x12, 0x34, 0x56, 0x78}, le32(GetParam().version)))
                                : in_report(0x123, 8, {0xEF, 0x15, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12});
    EXPECT_EQ(ask(out_report(mine, 2, {0xEF, 0x15})), Replies{reply});
}

TEST_P(VirtualUnitGen, ReadsAndWritesValues)
{
    Settings_t s = unit->working_settings();
    s.vspeeds.Vne = 160;
    unit->load_settings(s);
    SENSOR_CALIB_t c{};
    c.LSM_CAL.acc_offset.y = 1.0f; // index 2
    unit->load_calibration(c);
    EXPECT_EQ(ask(out_report(id(0x370, 0x376), 1, {6})), Replies{in_report(id(0x380, 0x377), 4, le32(160))});
    EXPECT_EQ(ask(out_report(id(0x330, 0x354), 1, {2})), Replies{in_report(id(0x340, 0x355), 4, le32(0x3F800000))});
    const uint32_t set = id(0x390, 0x378), set_calib = id(0x350, 0x356);
    EXPECT_EQ(ask(out_report(set, 5, {7, 0x44, 0x33, 0x22, 0x11})), Replies{ack(set, true)});
    EXPECT_EQ(unit->working_settings().vspeeds.VRef, 0x44);
    EXPECT_EQ(unit->stored_settings().vspeeds.VRef, 0); // a write does not store
    EXPECT_EQ(ask(out_report(set, 5, {36, 1, 0, 0, 0})), Replies{ack(set, false)});
    EXPECT_EQ(ask(out_report(set_calib, 5, {76, 0xAA, 0xBB, 0xCC, 0xDD})), Replies{ack(set_calib, true)});
    EXPECT_EQ(unit->calibration().oat_crc, 0xDDCCBBAAu);
    // The other map's identifiers mean nothing to this unit.
    EXPECT_EQ(ask(out_report(id(0x376, 0x370), 1, {6})), Replies{});
}

TEST_P(VirtualUnitGen, SavesCommitOnlyAMatchingChecksumAndRebootTakesItsByte)
{
    const uint32_t save = id(0x3A0, 0x379);
    ask(out_report(id(0x390, 0x378), 5, {24, 9, 0, 0, 0})); // brightness 9
    Settings_t expected = unit->working_settings();
    expected.crc32 = 0;
    const uint32_t crc = expected.crc32 = settings_CalcCRC(&expected);
    const Bytes erased = mx25(0xAE, sim::kSettingsSectorAddress, true);
    EXPECT_EQ(ask(out_report(save, 4, le32(crc ^ 1))), (Replies{erased, ack(save, false)}));
    EXPECT_EQ(unit->stored_settings().backlight_brightness, 0u);
    EXPECT_EQ(ask(out_report(save, 4, le32(crc))), (Replies{erased, ack(save, true)}));
    const Settings_t stored = unit->stored_settings();
    EXPECT_EQ(std::memcmp(&stored, &expected, sizeof stored), 0);
    EXPECT_TRUE(unit->saves().size() == 2 && !unit->saves()[0].committed && unit->saves()[1].committed);

    EXPECT_EQ(ask(out_report(id(0x360, 0x357), 4, le32(0xCAFE))), Replies{ack(id(0x360, 0x357), true)});
    EXPECT_EQ(unit->calibration_saves(), std::vector<uint32_t>{0xCAFE});
    EXPECT_EQ(ask(out_report(id(0x3B0, 0x399), 1, {0x48})), Replies{});
    EXPECT_TRUE(unit->last_reboot_byte() == 0x48 && unit->reboot_count() == 1);
    EXPECT_TRUE(unit->present()); // no restart time set: it stays on the bus
}

TEST_P(VirtualUnitGen, FlashCommands)
{
    const uint32_t erase = id(0x430, 0x416), get_part = id(0x730, 0x287), db = id(0x450, 0x42F);
    const uint32_t set_addr = id(0x440, 0x417), write = id(0x420, 0x415);
    EXPECT_EQ(ask(out_report(get_part, 0)), (Replies{ack(get_part, true), mx25(0xAC, 0xB1B1B1B1, true)}));
    unit->set_partition(0xB3B3B3B3);
    EXPECT_EQ(ask(out_report(get_part, 0)).back(), mx25(0xAC, 0xB3B3B3B3, true));
    const auto erased = [&](uint8_t op, uint32_t at, bool ok) { return Replies{ack(erase, true), mx25(op, at, ok)}; };
    EXPECT_EQ(ask(out_report(erase, 3, {0xBE, 0x40, 0x03})), erased(0xBE, 0x03400000, true)); // block 832
    EXPECT_EQ(unit->flash(0x033FFFFF, 3), (Bytes{0x00, 0xFF, 0xFF}));
    EXPECT_EQ(unit->flash(0x0340FFFF, 2), (Bytes{0xFF, 0x00}));
    EXPECT_EQ(ask(out_report(erase, 3, {0xAE, 0x03, 0x00})), erased(0xAE, 0x3000, true)); // sector 3
    EXPECT_EQ(unit->flash(0x2FFF, 2), (Bytes{0x00, 0xFF}));
    EXPECT_EQ(unit->flash(0x3FFF, 2), (Bytes{0xFF, 0x00}));
    EXPECT_EQ(ask(out_report(erase, 3, {0xBE, 0x00, 0x04})), erased(0xBE, 0x04000000, false)); // past the end
    EXPECT_EQ(ask(out_report(erase, 3, {0x12, 0x01, 0x00})), erased(0x12, 0, false));          // unknown op
    EXPECT_EQ(unit->erase_count(), 2u);
    EXPECT_EQ(ask(out_report(set_addr, 4, le32(0x03400000))), Replies{mx25(0xA1, 0x03400000, true)});
    EXPECT_EQ(ask(out_report(set_addr, 4, le32(0x04000000))), Replies{mx25(0xA1, 0x04000000, false)});
    // Code 11 carries 20 bytes; the USB stack pads the short report with zeros.
    EXPECT_EQ(ask(out_report(write, 11, Bytes(17, 0x5A))), Replies{mx25(0xAA, 0x03400000, true)});
    EXPECT_EQ(unit->write_pointer(), 0x03400014u);
    EXPECT_EQ(unit->flash(0x03400000, 21), cat(Bytes(17, 0x5A), {0, 0, 0, 0xFF}));
    EXPECT_EQ(ask(out_report(db, 1, {0xDC})), Replies{ack(db, true)});
    EXPECT_FALSE(unit->airport_db_open());
    EXPECT_EQ(ask(out_report(db, 1, {0xDA})), Replies{});
    EXPECT_TRUE(unit->airport_db_open());
}

TEST_F(VirtualUnitTest, FlashBehavesAsNor)
{
    attach();
    // A fresh flash holds old data: a write that skips the erase is refused and every byte recorded.
    EXPECT_EQ(ask(out_report(0x420, 4, {0x12, 0x34, 0x56, 0x78})), Replies{mx25(0xAA, 0, false)});
    ASSERT_EQ(unit->nor_faults().size(), 4u);
    erase_block(0);
    set_address(0);
    EXPECT_EQ(ask(out_report(0x420, 2, {0xF0, 0x3C})), Replies{mx25(0xAA, 0, true)});
    set_address(1);
    // Over 0x3C: bits only clear, and the write is refused.
    EXPECT_EQ(ask(out_report(0x420, 1, {0x0F})), Replies{mx25(0xAA, 1, false)});
    EXPECT_EQ(unit->flash(0, 3), (Bytes{0xF0, 0x0C, 0xFF}));
    const auto faults = unit->nor_faults();
    ASSERT_EQ(faults.size(), 5u);
    EXPECT_TRUE(faults[4].address == 1 && faults[4].before == 0x3C && faults[4].written == 0x0F);

    // Past the end: refused, nothing written, pointer kept.
    set_address(0x03FFFFF0);
    EXPECT_EQ(ask(out_report(0x420, 15, Bytes(64, 0))), Replies{mx25(0xAA, 0x03FFFFF0, false)});
    EXPECT_EQ(unit->write_pointer(), 0x03FFFFF0u);
    EXPECT_EQ(unit->flash(0x03FFFFF0, 64), Bytes(16, 0x00));
    EXPECT_EQ(ask(out_report(0x430, 3, {0xCE, 0, 0})), (Replies{ack(0x430, true), mx25(0xCE, 0, true)})); // chip
    EXPECT_EQ(unit->flash(0, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(unit->flash(0x03FFFFFF, 1), (Bytes{0xFF}));
}

TEST_F(VirtualUnitTest, EnumerationAndHandles)
{
    EXPECT_EQ(hid_enumerate(0, 0), nullptr);
    auto a = std::make_shared<sim::VirtualUnit>();
    sim::plug(a, 0x0001); // the same unit on another usage page, listed first
    sim::plug(a);
    sim::plug(std::make_shared<sim::VirtualUnit>(), sim::kUnitUsagePage, 0x1234, 0x0001);
    // Paths name the serial and the interface; another unit with the same serial is told apart.
    EXPECT_EQ(list(vendor_id, product_id), "sim:12345678:0/1 sim:12345678:1/ff00 ");
    EXPECT_EQ(list(0x1234, 0), "sim:12345678-2:0/ff00 ");
    const int open_before = sim::open_handle_count();
    hid_device* h = hid_open_path("sim:12345678:1");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(hid_open_path("sim:12345678:7"), nullptr);
    EXPECT_EQ(sim::open_handle_count(), open_before + 1);
    // A handle keeps its unit alive after the bus lets go, and fails from then on.
    std::weak_ptr<sim::VirtualUnit> weak = a;
    a.reset();
    sim::unplug_all();
    EXPECT_FALSE(weak.expired());
    EXPECT_EQ(hid_write(h, kWhoami.data(), kWhoami.size()), -1);
    uint8_t buf[80];
    EXPECT_EQ(hid_read_timeout(h, buf, sizeof buf, 0), -1);
    hid_close(h);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(sim::open_handle_count(), open_before);
}

// Lower bounds only: a loaded machine may be late, never early.
TEST_F(VirtualUnitTest, ReadsWaitForRealAndLatencyPacesReplies)
{
    attach();
    auto t0 = Clock::now();
    EXPECT_EQ(recv(50), Bytes{});
    EXPECT_GE(Clock::now() - t0, 50ms);
    unit->set_latency(30ms);
    t0 = Clock::now();
    send(out_report(0x730, 0)); // two replies
    EXPECT_EQ(recv(500), ack(0x730, true));
    EXPECT_GE(Clock::now() - t0, 30ms);
    EXPECT_FALSE(recv(500).empty());
    EXPECT_GE(Clock::now() - t0, 60ms);
    unit->set_latency(0us);
    unit->inject({.kind = K::Delay, .param = 40});
    t0 = Clock::now();
    send(out_report(0x730, 0));
    EXPECT_FALSE(recv(500).empty());
    EXPECT_GE(Clock::now() - t0, 40ms);
    EXPECT_FALSE(recv(0).empty()); // the second reply is not delayed again
    // A blocking read waits for a reply written from another thread, and fails when the unit goes.
    std::thread other([&] {
        std::this_thread::sleep_for(20ms);
        hid_write(dev, kWhoami.data(), kWhoami.size());
        std::this_thread::sleep_for(20ms);
        sim::unplug_all();
    });
    uint8_t buf[128];
    EXPECT_EQ(hid_read(dev, buf, sizeof buf), 71);
    EXPECT_EQ(hid_read(dev, buf, sizeof buf), -1);
    other.join();
}

// Each kind against a block erase, which draws both acknowledgements, on a fresh unit. Heartbeats
// are compared by their prefix.
TEST_F(VirtualUnitTest, FaultsShapeTheReplies)
{
    const Bytes erase = out_report(0x430, 3, {0xBE, 0x00, 0x00});
    const Bytes ok = ack(0x430, true), erased = mx25(0xBE, 0, true), hb = kHeartbeatPrefix;
    Bytes bad_code = erased, cut = Bytes(ok.begin(), ok.begin() + 10);
    bad_code[6] = 9; // the length code
    // clang-format off
    struct Case { const char* what; sim::Fault fault; Replies replies; bool carried_out; };
    const Case cases[] = {
        {"NoReply", {.kind = K::NoReply}, {}, true},
        {"NoReply to the second", {.kind = K::NoReply, .reply_index = 1}, {ok}, true},
        {"another identifier", {.kind = K::Nack, .can_id = 0x390}, {ok, erased}, true},
        {"skipped", {.kind = K::Nack, .skip = 1}, {ok, erased}, true},
        {"Ignore", {.kind = K::Ignore}, {}, false},
        {"Nack", {.kind = K::Nack}, {ack(0x430, false), mx25(0xBE, 0, false)}, false},
        {"WrongOp", {.kind = K::WrongOp, .param = 0xAA}, {ok, mx25(0xAA, 0, true)}, true},
        {"WrongAddress", {.kind = K::WrongAddress, .param = 0x1234}, {ok, mx25(0xBE, 0x1234, true)}, true},
        {"WrongAckId", {.kind = K::WrongAckId, .param = 0x390}, {ack(0x390, true), erased}, true},
        {"UnrelatedBefore", {.kind = K::UnrelatedBefore, .param = 2}, {hb, hb, ok, erased}, true},
        {"ShortReport", {.kind = K::ShortReport, .param = 10, .reply_index = 0}, {cut, erased}, true},
        {"BadLengthCode", {.kind = K::BadLengthCode, .param = 9, .reply_index = 1}, {ok, bad_code}, true},
        {"ReadError", {.kind = K::ReadError}, {kFailed, ok, erased}, true},
        {"WriteError", {.kind = K::WriteError}, {kFailed}, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        attach();
        unit->inject(c.fault);
        Replies got = ask(erase);
        std::replace_if(got.begin(), got.end(), is_heartbeat, hb);
        EXPECT_EQ(got, c.replies);
        EXPECT_EQ(unit->erase_count(), c.carried_out ? 1u : 0u);
        EXPECT_EQ(unit->requests().size(), c.fault.kind == K::WriteError ? 0u : 1u); // a failed write never arrives
    }
    // skip and times: the second and third matching requests are hit, then the fault is spent.
    attach();
    unit->inject({.kind = K::NoReply, .can_id = 0x430, .skip = 1, .times = 2});
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(ask(erase).size(), i == 1 || i == 2 ? 0u : 2u) << i;
    }
}

// The unit is unplugged by the third write of an upload: that frame is taken but not carried out.
TEST_F(VirtualUnitTest, VanishingMidUpload)
{
    attach();
    unit->inject({.kind = K::Vanish, .can_id = 0x420, .skip = 2});
    erase_block(0);
    const Bytes write = out_report(0x420, 15, Bytes(64, 0x11));
    EXPECT_EQ(ask(write), Replies{mx25(0xAA, 0, true)});
    EXPECT_EQ(ask(write), Replies{mx25(0xAA, 64, true)});
    send(write);
    EXPECT_TRUE(unit->vanished());
    EXPECT_EQ(recv(), kFailed);
    EXPECT_EQ(ask(kWhoami), Replies{kFailed});
    EXPECT_EQ(hid_enumerate(0, 0), nullptr);
    EXPECT_EQ(hid_open_path("sim:12345678:0"), nullptr);
    EXPECT_EQ(unit->requests().size(), 4u); // erase and three writes
    EXPECT_EQ(unit->flash(0x80, 1), Bytes{0xFF});
}

TEST_F(VirtualUnitTest, ChatterMalformedReportsAndTheLog)
{
    attach();
    unit->set_chatter(true);
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(is_heartbeat(recv(0)));
    }
    send(kWhoami);
    EXPECT_EQ(recv(0).at(2), 0x10); // a queued reply goes first
    unit->set_chatter(false);
    EXPECT_EQ(recv(0), Bytes{});
    // Malformed reports are logged but not handled.
    unit->clear_log();
    const Bytes wrong_number = {0x04, 0x10, 0, 0, 0, 0x02, 0xEF, 0x15}, too_short = {0x05, 0x10, 0, 0, 0};
    EXPECT_EQ(ask(wrong_number), Replies{});
    EXPECT_EQ(ask(too_short), Replies{});
    const Bytes read6 = out_report(0x370, 1, {6});
    const Replies reply = ask(read6);
    const auto log = unit->log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_TRUE(log[0].bytes == wrong_number && log[1].bytes == too_short && log[2].bytes == read6);
    EXPECT_TRUE(log[3].direction == sim::Direction::FromUnit && Replies{log[3].bytes} == reply);
    const auto requests = unit->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].can_ID == 0x370 && requests[0].msg_len == CAN_1_BYTES && requests[0].data[0] == 6);
    unit->set_logging(false);
    ask(read6);
    EXPECT_EQ(unit->log().size(), 4u);
}

TEST_F(VirtualUnitTest, DemoUnitIsConsistentAndAnswers)
{
    const Settings_t s = sim::make_demo_unit()->working_settings();
    EXPECT_TRUE(s.crc32 == settings_CalcCRC(&s) && s.magic == 0x5F564551u && s.num_elements == 31u);
    sim::install_demo_unit();
    EXPECT_EQ(list(vendor_id, product_id), "sim:00C0FFEE:0/ff00 ");
    dev = hid_open_path("sim:00C0FFEE:0");
    ASSERT_NE(dev, nullptr);
    send(kWhoami);
    EXPECT_EQ(recv(500), in_report(0x010, 8, {0x00, 0xC0, 0xFF, 0xEE, 0x00, 0x0C, 0x02, 0x00}));
}

} // namespace
