// The virtual unit's rules that the other tests lean on without being able to see them fail: its
// flash behaves as NOR (a fresh flash holds old data, an erase clears exactly its block, a write
// over unerased bytes is refused and recorded), and each generation answers only its own identity
// request. Requests are built here byte by byte and go through hid_*: no protocol code of the tool.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <memory>
#include <vector>

#include "sim/hid_backend.h"
#include "tests/support/unit.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Output report 05, identifier (LE), length code, payload.
Bytes out_report(uint32_t id, uint8_t code, Bytes payload)
{
    payload.insert(payload.begin(), {0x05, uint8_t(id), uint8_t(id >> 8), 0, 0, code});
    return payload;
}

class VirtualUnit : public ::testing::Test {
protected:
    void attach(sim::Generation generation = sim::Generation::Current)
    {
        unit = support::plug_unit({generation});
        dev.reset(hid_open_path("sim:12345678:0"));
        ASSERT_NE(dev, nullptr);
    }
    void TearDown() override { sim::unplug_all(); }
    // Sends a request; the identifiers of the replies ready at once, and the last reply.
    std::vector<uint32_t> ask(const Bytes& request)
    {
        EXPECT_EQ(hid_write(dev.get(), request.data(), request.size()), int(request.size()));
        std::vector<uint32_t> ids;
        for (int n; (n = hid_read_timeout(dev.get(), last.data(), last.size(), 0)) > 0;) {
            ids.push_back(last[2] | last[3] << 8);
        }
        return ids;
    }
    // The status byte of a flash acknowledgement of the current map (0x0F0: op, address, status).
    int flash_status(const Bytes& request) { return ask(request) == std::vector<uint32_t>{0x0F0} ? last[12] : -1; }

    std::shared_ptr<sim::VirtualUnit> unit;
    std::unique_ptr<hid_device, void (*)(hid_device*)> dev{nullptr, hid_close};
    std::vector<uint8_t> last = std::vector<uint8_t>(128);
};

TEST_F(VirtualUnit, FlashBehavesAsNor)
{
    attach();
    EXPECT_EQ(flash_status(out_report(0x420, 4, {0x12, 0x34, 0x56, 0x78})), 0); // over old data
    EXPECT_EQ(unit->nor_faults().size(), 4u);
    EXPECT_EQ(ask(out_report(0x430, 3, {0xBE, 0x01, 0x00})), (std::vector<uint32_t>{0x0E0, 0x0F0})); // block 1
    EXPECT_EQ(unit->flash(0xFFFF, 2), (Bytes{0x00, 0xFF}));
    EXPECT_EQ(unit->flash(0x1FFFF, 2), (Bytes{0xFF, 0x00}));
    EXPECT_EQ(flash_status(out_report(0x440, 4, {0x00, 0x00, 0x01, 0x00})), 1);
    EXPECT_EQ(flash_status(out_report(0x420, 2, {0xF0, 0x3C})), 1);
    EXPECT_EQ(flash_status(out_report(0x440, 4, {0x01, 0x00, 0x01, 0x00})), 1);
    EXPECT_EQ(flash_status(out_report(0x420, 1, {0x0F})), 0); // over 0x3C: bits only clear, and refused
    EXPECT_EQ(unit->flash(0x10000, 3), (Bytes{0xF0, 0x0C, 0xFF}));
    const auto faults = unit->nor_faults();
    ASSERT_EQ(faults.size(), 5u);
    EXPECT_TRUE(faults[4].address == 0x10001 && faults[4].before == 0x3C && faults[4].written == 0x0F);
}

TEST_F(VirtualUnit, EachGenerationAnswersOnlyItsOwnIdentityRequest)
{
    for (const bool legacy : {false, true}) {
        attach(legacy ? sim::Generation::Legacy : sim::Generation::Current);
        const uint32_t own = legacy ? 0x123 : 0x010, other = legacy ? 0x010 : 0x123;
        EXPECT_EQ(ask(out_report(other, 2, {0xEF, 0x15})), std::vector<uint32_t>{});
        EXPECT_EQ(ask(out_report(own, 2, {0xEF, 0x16})), std::vector<uint32_t>{}); // no protocol tag
        EXPECT_EQ(ask(out_report(own, 2, {0xEF, 0x15})), std::vector<uint32_t>{own});
    }
}

} // namespace
