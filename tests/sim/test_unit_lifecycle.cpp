// The virtual unit's life on the bus: its cable pulled and plugged in, on demand and on a schedule,
// several units side by side, the restart after the reboot frame and the image it may start, and
// what the sim programs read from the environment.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "efis_shared/get_set.h"
#include "sim/demo_unit.h"
#include "sim/environment.h"
#include "sim/hid_backend.h"
#include "tests/sim/reports.h"

namespace {

using namespace sim_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const Bytes kReboot = out_report(0x3B0, 1, {0x48});

// Polls until `done`, for at most five seconds: never reached when all is well, long enough for a
// loaded machine.
template <typename F> bool eventually(F done)
{
    const auto until = Clock::now() + 5s;
    while (!done()) {
        if (Clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

bool sent(hid_device* h, const Bytes& report)
{
    return hid_write(h, report.data(), report.size()) == int(report.size());
}

std::vector<std::string> listed()
{
    std::vector<std::string> out;
    hid_device_info* all = hid_enumerate(0, 0);
    for (hid_device_info* d = all; d != nullptr; d = d->next) {
        out.emplace_back(d->path);
    }
    hid_free_enumeration(all);
    return out;
}

uint32_t whoami_serial(hid_device* h)
{
    const Replies r = ask(h, kWhoami);
    return r.size() == 1 && r[0].size() == 71 ? uint32_t(r[0][7]) << 24 | r[0][8] << 16 | r[0][9] << 8 | r[0][10] : 0;
}

// A firmware file: the 64-byte header, then `encrypted_size` bytes.
Bytes image(uint32_t version, uint32_t encrypted_size)
{
    firmware_header_t h{};
    h.magic = 0x53494645;
    h.version = version;
    h.total_size = 64 + encrypted_size;
    h.encrypted_size = encrypted_size;
    Bytes out(sizeof h);
    std::memcpy(out.data(), &h, sizeof h);
    for (uint32_t i = 0; i < encrypted_size; ++i) {
        out.push_back(uint8_t(i * 7 + 1));
    }
    return out;
}

// Public helpers: the table of upload cases calls them from lambdas.
class UnitLife : public ::testing::Test {
public:
    void TearDown() override
    {
        for (hid_device* h : handles) {
            hid_close(h);
        }
        handles.clear();
        sim::unplug_all();
    }
    hid_device* open(const std::string& path)
    {
        hid_device* h = hid_open_path(path.c_str());
        if (h != nullptr) {
            handles.push_back(h);
        }
        return h;
    }
    // Writes `bytes` from `address` in 64-byte frames, as send_fw does; the block at `erase` first.
    void write(hid_device* h, uint32_t address, const Bytes& bytes, std::optional<uint16_t> erase = std::nullopt)
    {
        if (erase) {
            ASSERT_EQ(ask(h, out_report(0x430, 3, {0xBE, uint8_t(*erase), uint8_t(*erase >> 8)})).size(), 2u);
        }
        ASSERT_EQ(ask(h, out_report(0x440, 4, le32(address))), Replies{mx25(0xA1, address, true)});
        for (size_t at = 0; at < bytes.size(); at += 64) {
            ASSERT_EQ(at + 64 <= bytes.size() ? 0u : 1u, 0u) << "whole frames only";
            ask(h, out_report(0x420, 15, Bytes(bytes.begin() + at, bytes.begin() + at + 64)));
        }
    }
    // The demo unit, restarting at once, opened.
    hid_device* demo(std::shared_ptr<sim::VirtualUnit>* unit)
    {
        *unit = sim::make_demo_unit();
        (*unit)->set_restart_time(0ms);
        sim::plug(*unit);
        return open("sim:00C0FFEE:0");
    }
    // Sends the reboot frame and waits until the unit is back.
    void restart(hid_device* h, const sim::VirtualUnit& unit, const Bytes& reboot = kReboot)
    {
        ASSERT_TRUE(sent(h, reboot));
        ASSERT_TRUE(eventually([&] { return unit.present(); }));
    }

    std::vector<hid_device*> handles;
    static constexpr uint32_t kBank1 = 0x03400000;
    static constexpr uint32_t kBank2 = 0x03800000;
};

TEST_F(UnitLife, CableOnDemand)
{
    auto unit = std::make_shared<sim::VirtualUnit>();
    sim::plug(unit);
    const std::string path = "sim:12345678:0";
    hid_device* old = open(path);
    ASSERT_NE(old, nullptr);

    // A reply queued when the cable goes is lost with it.
    ASSERT_EQ(hid_write(old, kWhoami.data(), kWhoami.size()), int(kWhoami.size()));
    unit->unplug_cable();
    EXPECT_FALSE(unit->present());
    EXPECT_EQ(listed(), std::vector<std::string>{});
    EXPECT_EQ(hid_open_path(path.c_str()), nullptr);
    EXPECT_EQ(ask(old, kWhoami), Replies{kFailed});
    unit->plug_in_cable();
    EXPECT_EQ(listed(), std::vector<std::string>{path});
    hid_device* fresh = open(path);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(recv(fresh, 0), Bytes{});
    EXPECT_EQ(whoami_serial(fresh), 0x12345678u);
    // The handle from before stays dead, as a removed hidraw node's does.
    EXPECT_EQ(ask(old, kWhoami), Replies{kFailed});

    // A reader blocked for long ends as soon as the cable is pulled.
    std::thread puller([&] {
        std::this_thread::sleep_for(50ms);
        unit->unplug_cable();
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(recv(fresh, 20000), kFailed);
    EXPECT_LT(Clock::now() - t0, 5s);
    puller.join();
}

// Each "not there yet" is asserted only while the clock says it must hold: a loaded machine may
// get there late, never early.
TEST_F(UnitLife, ScheduledPresence)
{
    auto late = std::make_shared<sim::VirtualUnit>(sim::UnitConfig{.serial = 0x0000A1A1});
    auto leaving = std::make_shared<sim::VirtualUnit>(sim::UnitConfig{.serial = 0x0000B2B2});
    sim::plug(late);
    sim::plug(leaving);
    hid_device* old = open("sim:0000B2B2:0");
    ASSERT_NE(old, nullptr);
    const auto start = Clock::now();
    late->schedule_presence({.present_after = 100ms}, start);
    leaving->schedule_presence({.unplug_at = 150ms, .replug_at = 350ms}, start);
    const auto before = [&](auto t) { return Clock::now() < start + t; };

    if (const bool there = late->present(); before(100ms)) {
        EXPECT_FALSE(there);
        EXPECT_EQ(hid_open_path("sim:0000A1A1:0"), nullptr);
    }
    // Nobody but the reader looks at the unit: the read itself notices the time to leave.
    EXPECT_EQ(recv(old, 20000), kFailed);
    EXPECT_GE(Clock::now() - start, 150ms);
    EXPECT_LT(Clock::now() - start, 5s);
    if (const std::vector<std::string> now = listed(); before(350ms)) {
        EXPECT_EQ(now, std::vector<std::string>{"sim:0000A1A1:0"});
    }

    ASSERT_TRUE(eventually([&] { return listed().size() == 2; }));
    EXPECT_GE(Clock::now() - start, 350ms);
    hid_device* fresh = open("sim:0000B2B2:0");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(whoami_serial(fresh), 0x0000B2B2u);
    EXPECT_EQ(ask(old, kWhoami), Replies{kFailed});
}

TEST_F(UnitLife, SeveralUnitsEachTheirOwn)
{
    auto units = sim::make_units({.serials = {0x00C0FFEE, 0x0BADF00D}});
    ASSERT_EQ(units.size(), 2u);
    sim::plug(units[0]);
    sim::plug(units[1]);
    EXPECT_EQ(listed(), (std::vector<std::string>{"sim:00C0FFEE:0", "sim:0BADF00D:0"}));
    hid_device* a = open("sim:00C0FFEE:0");
    hid_device* b = open("sim:0BADF00D:0");
    ASSERT_TRUE(a != nullptr && b != nullptr);
    EXPECT_EQ(whoami_serial(a), 0x00C0FFEEu);
    EXPECT_EQ(whoami_serial(b), 0x0BADF00Du);
    EXPECT_EQ(ask(b, out_report(0x390, 5, {6, 150, 0, 0, 0})), Replies{ack(0x390, true)}); // vne
    EXPECT_EQ(units[1]->working_settings().vspeeds.Vne, 150);
    EXPECT_EQ(units[0]->working_settings().vspeeds.Vne, 160);

    // The path follows the serial, not the order of plugging.
    sim::unplug_all();
    sim::plug(units[1]);
    sim::plug(units[0]);
    EXPECT_EQ(listed(), (std::vector<std::string>{"sim:0BADF00D:0", "sim:00C0FFEE:0"}));
    EXPECT_EQ(whoami_serial(open("sim:0BADF00D:0")), 0x0BADF00Du);
}

TEST_F(UnitLife, RestartLeavesAndComesBackWithoutWhatWasNotCommitted)
{
    auto unit = sim::make_demo_unit();
    unit->set_restart_time(200ms);
    sim::plug(unit);
    hid_device* old = open("sim:00C0FFEE:0");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(ask(old, out_report(0x390, 5, {6, 150, 0, 0, 0})), Replies{ack(0x390, true)}); // vne, not saved

    const auto t0 = Clock::now();
    EXPECT_TRUE(sent(old, kReboot));
    EXPECT_TRUE(unit->last_reboot_byte() == 0x48 && unit->reboot_count() == 1);
    if (const std::vector<std::string> now = listed(); Clock::now() < t0 + 200ms) {
        EXPECT_TRUE(unit->restarting());
        EXPECT_EQ(now, std::vector<std::string>{});
    }
    EXPECT_EQ(ask(old, kWhoami), Replies{kFailed});
    ASSERT_TRUE(eventually([&] { return unit->present(); }));
    EXPECT_GE(Clock::now() - t0, 200ms);
    EXPECT_EQ(unit->restart_count(), 1);
    EXPECT_FALSE(unit->last_restart_started_image());
    EXPECT_EQ(unit->config().version.version, 0x00020C00u);
    EXPECT_EQ(unit->working_settings().vspeeds.Vne, 160);
    EXPECT_EQ(ask(old, kWhoami), Replies{kFailed});
    EXPECT_EQ(whoami_serial(open("sim:00C0FFEE:0")), 0x00C0FFEEu);
}

TEST_F(UnitLife, CompleteImageStartsFromTheNamedBank)
{
    std::shared_ptr<sim::VirtualUnit> unit;
    hid_device* h = demo(&unit);
    ASSERT_NE(h, nullptr);
    const Settings_t before = unit->stored_settings();
    write(h, kBank1, image(0x00030100, 128), 832);
    const auto images = unit->complete_images();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_TRUE(images[0].bank == partition_1 && images[0].header.version == 0x00030100u);

    restart(h, *unit);
    EXPECT_TRUE(unit->last_restart_started_image());
    EXPECT_EQ(unit->config().version.version, 0x00030100u);
    EXPECT_EQ(unit->config().partition, partition_2);
    const Settings_t after = unit->stored_settings();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_TRUE(unit->complete_images().empty()); // written before this start

    // The next update goes to the other bank and names the first again.
    h = open("sim:00C0FFEE:0");
    ASSERT_EQ(ask(h, out_report(0x730, 0)).back(), mx25(0xAC, partition_2, true));
    write(h, kBank2, image(0x00030200, 64), 896);
    restart(h, *unit);
    EXPECT_EQ(unit->config().version.version, 0x00030200u);
    EXPECT_EQ(unit->config().partition, partition_1);
    EXPECT_EQ(unit->restart_count(), 2);
}

TEST_F(UnitLife, NoStartWithoutACompleteImageWrittenSinceTheLastStart)
{
    const Bytes full = image(0x00030100, 128);
    const Bytes header_only(full.begin(), full.begin() + 64);
    const Bytes short_body(full.begin(), full.end() - 64);
    struct Case {
        const char* what;
        std::function<void(UnitLife&, hid_device*, sim::VirtualUnit&)> upload;
    };
    const Case cases[] = {
        {"header only", [&](UnitLife& t, hid_device* h, sim::VirtualUnit&) { t.write(h, kBank1, header_only, 832); }},
        {"bytes missing", [&](UnitLife& t, hid_device* h, sim::VirtualUnit&) { t.write(h, kBank1, short_body, 832); }},
        {"the other bank", [&](UnitLife& t, hid_device* h, sim::VirtualUnit&) { t.write(h, kBank2, full, 896); }},
        {"first block erased before the last start",
         [&](UnitLife& t, hid_device* h, sim::VirtualUnit& u) {
             t.write(h, kBank1, {}, 832);
             t.restart(h, u);
             h = t.open("sim:00C0FFEE:0");
             t.write(h, kBank1, full); // onto erased cells, so no write faults
         }},
        {"a frame written twice",
         [&](UnitLife& t, hid_device* h, sim::VirtualUnit&) {
             t.write(h, kBank1, full, 832);
             t.write(h, kBank1, header_only);
         }},
        {"rejected",
         [&](UnitLife& t, hid_device* h, sim::VirtualUnit& u) {
             u.set_reject_images(true);
             t.write(h, kBank1, full, 832);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::shared_ptr<sim::VirtualUnit> unit;
        hid_device* h = demo(&unit);
        ASSERT_NE(h, nullptr);
        c.upload(*this, h, *unit);
        const int restarts = unit->restart_count();
        h = open("sim:00C0FFEE:0");
        restart(h, *unit);
        EXPECT_EQ(unit->restart_count(), restarts + 1);
        EXPECT_FALSE(unit->last_restart_started_image());
        EXPECT_EQ(unit->config().version.version, 0x00020C00u);
        EXPECT_EQ(unit->config().partition, partition_1);
        TearDown();
    }
}

TEST_F(UnitLife, WhatANewImageFinds)
{
    // Record version alone: the stored record with that version and a checksum that verifies.
    std::shared_ptr<sim::VirtualUnit> unit;
    hid_device* h = demo(&unit);
    unit->set_update_record_version(7);
    sim::ImageStart seen;
    unit->on_image_start([&](sim::ImageStart& start) {
        seen = start;
        start.calibration.version = 9; // the new image migrated its calibration
    });
    write(h, kBank1, image(0x00030100, 64), 832);
    restart(h, *unit);
    Settings_t s = unit->stored_settings();
    EXPECT_TRUE(s.version == 7 && s.vspeeds.Vne == 160 && s.crc32 == settings_CalcCRC(&s));
    const Settings_t working = unit->working_settings();
    EXPECT_EQ(std::memcmp(&s, &working, sizeof s), 0);
    EXPECT_TRUE(seen.previous.version == 0x00020C00u && seen.version.version == 0x00030100u);
    EXPECT_EQ(unit->calibration().version, 9u);
    TearDown();
    handles.clear();

    // Reset: the blank record of a fresh unit, with the new version.
    h = demo(&unit);
    unit->set_update_resets_settings(true);
    unit->set_update_record_version(7);
    write(h, kBank1, image(0x00030100, 64), 832);
    restart(h, *unit);
    s = unit->stored_settings();
    EXPECT_TRUE(s.version == 7 && s.vspeeds.Vne == 0 && s.num_elements == 31 && s.crc32 == settings_CalcCRC(&s));
    TearDown();
    handles.clear();

    // A legacy unit that starts 0.2.12 or later answers the current identity request.
    h = demo(&unit);
    write(h, kBank1, image(0x00020C00, 64), 832);
    unit->set_generation(sim::Generation::Legacy);
    restart(h, *unit, out_report(0x399, 1, {0x48}));
    EXPECT_EQ(unit->config().generation, sim::Generation::Current);
}

// What a program keeps between runs: a unit restarting is kept as it comes back, and an image
// written in one run starts after a reboot in the next.
TEST_F(UnitLife, RetainedAndRestored)
{
    auto unit = sim::make_demo_unit();
    unit->set_restart_time(1h);
    sim::plug(unit);
    hid_device* h = open("sim:00C0FFEE:0");
    ASSERT_NE(h, nullptr);
    write(h, kBank1, image(0x00030100, 64), 832);
    const sim::Retained written = unit->retained();
    ASSERT_EQ(written.images.size(), 1u);
    EXPECT_EQ(written.images[0].header.version, 0x00030100u);
    ask(h, out_report(0x390, 5, {6, 150, 0, 0, 0}));
    ASSERT_TRUE(sent(h, kReboot));
    const sim::Retained restarting = unit->retained();
    EXPECT_TRUE(restarting.version.version == 0x00030100u && restarting.partition == partition_2);
    EXPECT_TRUE(restarting.images.empty());
    EXPECT_EQ(restarting.working.vspeeds.Vne, 160);
    TearDown();
    handles.clear();

    std::shared_ptr<sim::VirtualUnit> next;
    h = demo(&next);
    next->restore(written);
    EXPECT_EQ(next->flash(kBank1 + 4, 4), le32(0x00030100));
    restart(h, *next);
    EXPECT_EQ(next->config().version.version, 0x00030100u);
}

TEST_F(UnitLife, HooksAtFirstOpenAndLastClose)
{
    int opened = 0;
    int closed = 0;
    sim::plug(std::make_shared<sim::VirtualUnit>(),
              sim::PlugOptions{.hooks = {[&](sim::VirtualUnit&) { ++opened; }, [&](sim::VirtualUnit&) { ++closed; }}});
    hid_device* a = hid_open_path("sim:12345678:0");
    hid_device* b = hid_open_path("sim:12345678:0");
    ASSERT_TRUE(a != nullptr && b != nullptr);
    EXPECT_EQ(opened, 1);
    hid_close(a);
    EXPECT_EQ(closed, 0);
    hid_close(b);
    EXPECT_EQ(closed, 1);
    // A handle closed after its unit left the bus still ends the plug's use.
    a = hid_open_path("sim:12345678:0");
    EXPECT_EQ(opened, 2);
    sim::unplug_all();
    hid_close(a);
    EXPECT_EQ(closed, 2);
}

TEST(SimEnvironment, ReadsTheVariablesAndNamesWhatItIgnores)
{
    std::map<std::string, std::string> vars;
    const sim::EnvironmentLookup lookup = [&](const char* name) -> const char* {
        const auto it = vars.find(name);
        return it == vars.end() ? nullptr : it->second.c_str();
    };
    std::vector<std::string> problems;
    sim::SimEnvironment env = sim::read_environment(&problems, lookup);
    EXPECT_TRUE(env.serials.empty() && !env.presence.present_after && !env.presence.unplug_at);
    EXPECT_TRUE(env.restart_time == 2000ms && !env.reject_images && !env.update_resets_settings);
    EXPECT_TRUE(problems.empty());

    vars = {{"EFIS_SIM_SERIALS", "0x00C0FFEE,0badf00d"},
            {"EFIS_SIM_PRESENT_AFTER_MS", "100"},
            {"EFIS_SIM_UNPLUG_AT_MS", "200"},
            {"EFIS_SIM_REPLUG_AT_MS", "300"},
            {"EFIS_SIM_RESTART_MS", "250"},
            {"EFIS_SIM_REJECT_IMAGES", "1"},
            {"EFIS_SIM_UPDATE_RESETS_SETTINGS", "1"},
            {"EFIS_SIM_UPDATE_RECORD_VERSION", "7"}};
    env = sim::read_environment(&problems, lookup);
    EXPECT_EQ(env.serials, (std::vector<uint32_t>{0x00C0FFEE, 0x0BADF00D}));
    EXPECT_TRUE(env.presence.present_after == 100ms && env.presence.unplug_at == 200ms &&
                env.presence.replug_at == 300ms);
    EXPECT_TRUE(env.restart_time == 250ms && env.reject_images && env.update_resets_settings);
    EXPECT_EQ(env.update_record_version, 7u);
    EXPECT_TRUE(problems.empty());

    vars = {{"EFIS_SIM_SERIALS", "0x00C0FFEE,0x00c0ffee"},
            {"EFIS_SIM_RESTART_MS", "-5"},
            {"EFIS_SIM_UNPLUG_AT_MS", "2s"},
            {"EFIS_SIM_REJECT_IMAGES", "yes"},
            {"EFIS_SIM_UPDATE_RECORD_VERSION", ""}};
    env = sim::read_environment(&problems, lookup);
    EXPECT_TRUE(env.serials.empty() && !env.presence.unplug_at && env.restart_time == 2000ms);
    EXPECT_TRUE(!env.reject_images && !env.update_record_version);
    EXPECT_EQ(problems.size(), 5u);
    EXPECT_EQ(problems[0], "EFIS_SIM_SERIALS=0x00C0FFEE,0x00c0ffee is not a list of distinct serial numbers such as "
                           "0x00C0FFEE,0x0BADF00D; ignored");
    for (const char* bad : {"", ",", "0x", "0x123456789", "12,zz"}) {
        vars = {{"EFIS_SIM_SERIALS", bad}};
        EXPECT_TRUE(sim::read_environment(nullptr, lookup).serials.empty()) << bad;
    }
}

} // namespace
