// Shared set-up of the device-link tests: one manager, one virtual unit on the bus, the version
// cache emptied, and helpers to look at the reports the unit saw.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "comms/comms.h"
#include "sim/hid_backend.h"
#include "sim/virtual_unit.h"

namespace linktest {

using Clock = std::chrono::steady_clock;

inline long long ms_since(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

inline std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

// Runs fn with standard output captured; the lines it printed.
template <class F> std::vector<std::string> printed(F&& fn)
{
    testing::internal::CaptureStdout();
    fn();
    return split_lines(testing::internal::GetCapturedStdout());
}

inline fwversion_t version(uint8_t major, uint8_t minor, uint8_t patch, uint8_t rc = 0)
{
    fwversion_t v{};
    v.major = major;
    v.minor = minor;
    v.patch = patch;
    v.rc = rc;
    return v;
}

inline sim::UnitConfig current_unit(uint8_t major, uint8_t minor, uint8_t patch, uint8_t rc = 0)
{
    sim::UnitConfig c;
    c.version = version(major, minor, patch, rc);
    return c;
}

inline sim::UnitConfig legacy_unit()
{
    sim::UnitConfig c;
    c.generation = sim::Generation::Legacy;
    c.version = version(0, 0, 0);
    return c;
}

inline COMMS_MSG_t frame(uint32_t id, CAN_MSG_LEN_t code, std::initializer_list<uint8_t> data = {})
{
    COMMS_MSG_t f;
    std::memset(&f, 0, sizeof f);
    f.can_ID = id;
    f.msg_len = code;
    size_t i = 0;
    for (uint8_t b : data) {
        f.data[i++] = b;
    }
    return f;
}

inline sim::Fault fault(sim::FaultKind kind, uint32_t can_id, uint32_t param = 0, int times = 1)
{
    sim::Fault f;
    f.kind = kind;
    f.can_id = can_id;
    f.param = param;
    f.times = times;
    return f;
}

class Link : public ::testing::Test {
protected:
    void SetUp() override { reset_whoami_fwversion_cache(); }
    void TearDown() override { sim::unplug_all(); }

    // Plugs a unit on the vendor page and opens it without a WHOAMI, so that the test decides
    // what the version cache holds.
    void attach(sim::UnitConfig cfg = {})
    {
        unit = std::make_shared<sim::VirtualUnit>(cfg);
        sim::plug(unit);
        ASSERT_TRUE(comms.connectUSB(vendor_id, product_id));
    }
    // Attaches a unit of the given version and caches that version, as a WHOAMI would.
    void attach_at(sim::UnitConfig cfg)
    {
        attach(cfg);
        cache_whoami_fwversion(cfg.version);
    }
    // Puts a request on the wire without waiting for its reply, so replies can be queued ahead.
    void send(const COMMS_MSG_t& f) { ASSERT_GT(comms.write(f), 0); }

    std::vector<std::vector<uint8_t>> reports(sim::Direction dir) const
    {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& r : unit->log()) {
            if (r.direction == dir) {
                out.push_back(r.bytes);
            }
        }
        return out;
    }
    std::vector<uint32_t> ids(sim::Direction dir) const
    {
        std::vector<uint32_t> out;
        for (const auto& r : unit->log()) {
            if (r.direction == dir) {
                out.push_back(uint32_t{r.frame.can_ID});
            }
        }
        return out;
    }

    CommsManager comms;
    std::shared_ptr<sim::VirtualUnit> unit;
};

} // namespace linktest
