// A connected virtual unit, temp files and frame-log helpers for the flash transfer tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "comms/comms.h"
#include "firmware_ops/firmware_ops.h"
#include "sim/hid_backend.h"

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

// Never 0xFF, so an unwritten erased byte cannot pass for file content.
inline std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(i * 7 + i / 251) % 0xFF;
    }
    return v;
}

// A firmware file: header with the given sizes, then `data` image bytes.
inline std::vector<uint8_t> image(uint32_t total_size, uint32_t encrypted_size, size_t data)
{
    firmware_header_t h{};
    h.magic = 0x0BADF00D; // forwarded unchecked
    h.total_size = total_size;
    h.encrypted_size = encrypted_size;
    std::vector<uint8_t> out = pattern(sizeof h + data);
    std::memcpy(out.data(), &h, sizeof h);
    return out;
}

inline const sim::Fault kNoFault{sim::FaultKind::NoReply, sim::kAnyId, 0, 0};

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
        std::string t = (std::filesystem::temp_directory_path() / "fwops-XXXXXX").string();
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        dir = t;
    }
    void TearDown() override
    {
        mgr.reset();
        sim::unplug_all();
        std::filesystem::remove_all(dir);
    }

    // Opens the unit and fills the version cache from its own WHOAMI reply, as connecting does.
    void connect(Kind kind = Current, uint32_t partition = partition_1)
    {
        sim::unplug_all();
        unit = std::make_shared<sim::VirtualUnit>();
        unit->set_generation(kind == Legacy ? sim::Generation::Legacy : sim::Generation::Current);
        unit->set_version(0, 2, kind == Patch11 ? 11 : 12);
        unit->set_partition(partition);
        sim::plug(unit);
        ASSERT_TRUE(mgr->connectUSB(vendor_id, product_id));
        const uint32_t whoami = kind == Legacy ? 0x123u : 0x010u;
        ASSERT_NE(probe_whoami(mgr.get(), USB_HID, whoami, nullptr, false), 0xFFFFFFFFu);
        unit->clear_log();
    }
    CommsManager* comms() const { return mgr.get(); }

    // Writes `bytes`, then stretches the file (sparse) to `size` when given.
    std::string file(const std::vector<uint8_t>& bytes, long size = -1)
    {
        const std::string path = (dir / std::to_string(++files_)).string();
        FILE* f = fopen(path.c_str(), "wb");
        EXPECT_TRUE(bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
        EXPECT_TRUE(size < 0 || ftruncate(fileno(f), size) == 0);
        fclose(f);
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
    int files_ = 0;
};

} // namespace fwt
