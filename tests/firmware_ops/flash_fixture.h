// A connected virtual unit, temp files and frame-log helpers for the flash transfer tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "comms/comms.h"
#include "firmware_ops/firmware_ops.h"
#include "sim/hid_backend.h"
#include "tests/support/files.h"
#include "tests/support/unit.h"

namespace fwt {

// 0.2.12; 0.2.11, which still takes the legacy map and acknowledgements; a legacy-generation unit.
enum Kind { Current, Patch11, Legacy };

// Written out rather than taken from the selectors, so that a wrong map shows.
struct Ids {
    uint32_t erase, addr, write, part, db;
};
inline Ids ids(Kind k)
{
    return k == Current ? Ids{0x430, 0x440, 0x420, 0x730, 0x450} : Ids{0x416, 0x417, 0x415, 0x287, 0x42F};
}

// Output report 5: identifier, then the length code and only the payload it covers.
inline std::vector<uint8_t> report(uint32_t id, std::vector<uint8_t> code_and_payload)
{
    code_and_payload.insert(code_and_payload.begin(), {5, uint8_t(id), uint8_t(id >> 8), 0, 0});
    return code_and_payload;
}

struct Report {
    uint32_t current, total;
    int phase;
    bool operator==(const Report&) const = default;
};
inline void record(uint32_t current, uint32_t total, int phase, void* user)
{
    static_cast<std::vector<Report>*>(user)->push_back({current, total, phase});
}

inline sim::Fault fault(sim::FaultKind kind, uint32_t id, int skip = 0, uint32_t param = 0, int reply = -1)
{
    return sim::Fault{kind, id, skip, 1, param, reply};
}

using support::pattern;

// A firmware file: header with the given sizes, then `data` image bytes.
inline std::vector<uint8_t> image(uint32_t total_size, uint32_t encrypted_size, size_t data)
{
    firmware_header_t h{};
    h.magic = 0x0BADF00D; // forwarded unchecked
    h.total_size = total_size;
    h.encrypted_size = encrypted_size;
    return support::firmware_image(h, pattern(data));
}

// Parameter tables name their rows, in test names and wherever a row is printed.
inline const auto by_name = [](const auto& info) { return std::string(info.param.name); };
template <class T>
concept Named = requires(const T& row)
{
    row.name;
};
template <Named T> void PrintTo(const T& row, std::ostream* os)
{
    *os << row.name;
}

class Flash : public testing::Test {
protected:
    std::shared_ptr<sim::VirtualUnit> unit;
    std::unique_ptr<CommsManager> mgr = std::make_unique<CommsManager>();
    std::vector<Report> reports;
    std::filesystem::path dir;
    std::string out; // what the last captured call printed
    TransferResult result;

    void SetUp() override
    {
        reset_whoami_fwversion_cache();
        dir = tmp.path();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override
    {
        mgr.reset();
        sim::unplug_all();
    }

    // Opens the unit and fills the version cache from its own WHOAMI reply, as connecting does.
    void connect(Kind kind = Current, uint32_t partition = partition_1)
    {
        sim::UnitConfig cfg;
        cfg.generation = kind == Legacy ? sim::Generation::Legacy : sim::Generation::Current;
        cfg.version.patch = kind == Patch11 ? 11 : 12; // 0.2.x
        unit = support::plug_unit(cfg);
        unit->set_partition(partition);
        ASSERT_TRUE(mgr->connectUSB(vendor_id, product_id));
        const uint32_t whoami = kind == Legacy ? 0x123u : 0x010u;
        ASSERT_NE(probe_whoami(mgr.get(), USB_HID, whoami, nullptr, false), 0xFFFFFFFFu);
        unit->clear_log();
    }
    CommsManager* comms() const { return mgr.get(); }

    // Writes `bytes`, then stretches the file (sparse) to `size` when given.
    std::string file(const std::vector<uint8_t>& bytes, long size = -1)
    {
        const std::string path = tmp.write(std::to_string(++files_), bytes, size);
        EXPECT_FALSE(path.empty());
        return path;
    }
    void upload(bool firmware, const std::string& path)
    {
        capture([&] { result = (firmware ? send_fw : send_airport_db)(comms(), path.c_str(), record, &reports); });
    }

    // Output reports exactly as sent, those of one identifier or all.
    std::vector<std::vector<uint8_t>> wire(uint32_t id = sim::kAnyId) const
    {
        std::vector<std::vector<uint8_t>> v;
        for (const sim::LoggedReport& r : unit->log()) {
            if (r.direction == sim::Direction::ToUnit && (id == sim::kAnyId || r.frame.can_ID == id)) {
                v.push_back(r.bytes);
            }
        }
        return v;
    }

    template <class F> void capture(F&& f)
    {
        testing::internal::CaptureStdout();
        f();
        out = testing::internal::GetCapturedStdout();
    }
    bool printed(const std::string& line) const { return ("\n" + out).find("\n" + line + "\n") != std::string::npos; }

private:
    support::TempDir tmp;
    int files_ = 0;
};

} // namespace fwt
