// Shared set-up of the device-link tests: one manager, one virtual unit on the bus, the version
// cache emptied, and helpers to see what crossed the wire.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "comms/comms.h"
#include "sim/hid_backend.h"
#include "tests/support/unit.h"

namespace linktest {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
using sim::Direction;
using sim::FaultKind;

inline long long ms_since(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Runs fn with standard output captured; the lines it printed.
template <class F> Lines printed(F&& fn)
{
    testing::internal::CaptureStdout();
    fn();
    std::istringstream in(testing::internal::GetCapturedStdout());
    Lines out;
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

inline sim::UnitConfig unit_at(uint8_t major, uint8_t minor, uint8_t patch, uint8_t rc = 0,
                               sim::Generation generation = sim::Generation::Current)
{
    return {generation, {uint32_t{major} << 24 | uint32_t{minor} << 16 | uint32_t{patch} << 8 | rc}};
}
inline const sim::UnitConfig kLegacy = unit_at(0, 0, 0, 0, sim::Generation::Legacy);

inline COMMS_MSG_t frame(uint32_t id, CAN_MSG_LEN_t code, std::initializer_list<uint8_t> data = {})
{
    COMMS_MSG_t f;
    std::memset(&f, 0, sizeof f);
    f.can_ID = id;
    f.msg_len = code;
    std::copy(data.begin(), data.end(), f.data);
    return f;
}

// times 0: a fault that never strikes
inline sim::Fault fault(FaultKind kind, uint32_t param = 0, int times = 1)
{
    return sim::Fault{kind, sim::kAnyId, 0, times, param, -1};
}

class Link : public ::testing::Test {
protected:
    void SetUp() override { reset_whoami_fwversion_cache(); }
    void TearDown() override { sim::unplug_all(); }

    // A fresh unit, alone on the bus with the version cache emptied, opened without a WHOAMI;
    // `cache` stores its version as a WHOAMI reply would.
    void attach(const sim::UnitConfig& cfg = {}, bool cache = true)
    {
        unit = support::plug_unit(cfg);
        ASSERT_TRUE(comms.connectUSB(vendor_id, product_id));
        if (cache) {
            cache_whoami_fwversion(cfg.version);
        }
    }
    // Puts a request on the wire without waiting, so that its reply queues ahead of the next one.
    void send(const COMMS_MSG_t& f) { ASSERT_GT(comms.write(f), 0); }

    // The reports that crossed the wire in one direction.
    std::vector<Bytes> reports(Direction dir) const
    {
        std::vector<Bytes> out;
        for (const auto& r : unit->log()) {
            if (r.direction == dir) {
                out.push_back(r.bytes);
            }
        }
        return out;
    }

    CommsManager comms;
    std::shared_ptr<sim::VirtualUnit> unit;
};

} // namespace linktest
