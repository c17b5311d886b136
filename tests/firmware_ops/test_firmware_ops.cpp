// The flash commands and the two uploads against the virtual unit: what good runs put on the wire
// and in the flash on each kind of unit, the step and the line that end every other run, and one
// run at a time on the link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "comms/comms.h"
#include "firmware_ops/firmware_ops.h"
#include "sim/hid_backend.h"
#include "tests/support/files.h"
#include "tests/support/stream_capture.h"
#include "tests/support/unit.h"
#include "tests/support/wire.h"

using enum sim::FaultKind;
using enum TransferStep;
using Bytes = std::vector<uint8_t>;
using support::pattern;

namespace {

// 0.2.12; 0.2.11, which still takes the legacy map and acknowledgements; a legacy-generation unit.
enum Kind { Current, Patch11, Legacy };

// Written out rather than taken from the selectors, so that a wrong map shows.
struct Ids {
    uint32_t erase, addr, write, part, db;
};
Ids ids(Kind k)
{
    return k == Current ? Ids{0x430, 0x440, 0x420, 0x730, 0x450} : Ids{0x416, 0x417, 0x415, 0x287, 0x42F};
}

// Output report 5: identifier, then the length code and only the payload it covers.
Bytes report(uint32_t id, Bytes code_and_payload)
{
    code_and_payload.insert(code_and_payload.begin(), {5, uint8_t(id), uint8_t(id >> 8), 0, 0});
    return code_and_payload;
}

using Progress = std::tuple<uint32_t, uint32_t, int>; // current, total, phase
void record(uint32_t current, uint32_t total, int phase, void* user)
{
    static_cast<std::vector<Progress>*>(user)->emplace_back(current, total, phase);
}

sim::Fault fault(sim::FaultKind kind, uint32_t id, int skip = 0, uint32_t param = 0, int reply = -1)
{
    return sim::Fault{kind, id, skip, 1, param, reply};
}

// A firmware file: a header with the given sizes, then `data` image bytes.
Bytes image(uint32_t total_size, uint32_t encrypted_size, size_t data)
{
    firmware_header_t h{};
    h.magic = 0x0BADF00D; // forwarded unchecked
    h.total_size = total_size;
    h.encrypted_size = encrypted_size;
    return support::firmware_image(h, pattern(data));
}

class Flash : public testing::Test {
protected:
    void TearDown() override { sim::unplug_all(); }
    // Opens the unit and fills the version cache from its own identity reply, as connecting does.
    void connect(Kind kind = Current, uint32_t partition = partition_1)
    {
        sim::UnitConfig cfg;
        cfg.generation = kind == Legacy ? sim::Generation::Legacy : sim::Generation::Current;
        cfg.version.patch = kind == Patch11 ? 11 : 12; // 0.2.x
        unit = support::plug_unit(cfg);
        unit->set_partition(partition);
        ASSERT_TRUE(link.connectUSB(vendor_id, product_id));
        ASSERT_NE(probe_whoami(comms(), USB_HID, kind == Legacy ? 0x123u : 0x010u, nullptr, false), 0xFFFFFFFFu);
        unit->clear_log();
        progress.clear();
    }
    CommsManager* comms() { return &link; }
    std::string file(const Bytes& bytes, long size = -1) { return tmp.write(std::to_string(++files), bytes, size); }
    void upload(bool firmware, const std::string& path)
    {
        capture([&] { result = (firmware ? send_fw : send_airport_db)(comms(), path.c_str(), record, &progress); });
    }
    std::vector<Bytes> wire(uint32_t id = sim::kAnyId) const { return support::sent_reports(*unit, id); }
    template <class F> const std::string& capture(F&& f)
    {
        support::StreamCapture stdout_capture(1);
        f();
        return out = stdout_capture.text();
    }
    bool printed(const std::string& line) const { return ("\n" + out).find("\n" + line) != std::string::npos; }

    support::TempDir tmp;
    int files = 0;
    std::shared_ptr<sim::VirtualUnit> unit;
    CommsManager link;
    std::vector<Progress> progress;
    std::string out; // what the last captured call printed
    TransferResult result;
};

// Firmware: the bank query, erases from the bank's first block, one address at the bank start,
// then the header and the image in one stream. Database: close, erases from block 0, one address,
// the file, reopen. Every command frame byte for byte in the unit's map; exactly the blocks
// written are erased, each before anything lands in it; progress for each erase and packet.
TEST_F(Flash, GoodRunsEraseAddressAndWriteInOneStream)
{
    const struct {
        bool firmware;
        Kind kind;
        uint32_t partition; // firmware: the bank the unit names
        uint32_t size;      // firmware: image bytes after the header
        uint8_t last_code;  // of the last data packet
    } runs[] = {{true, Current, partition_1, 6417, 11},
                {true, Patch11, partition_2, 65536 + 100, 14},
                {true, Legacy, partition_2, 128, 15},
                {false, Current, partition_1, 1, 1},
                {false, Current, partition_1, 2 * 65536 + 17, 11},
                {false, Legacy, partition_1, 3 * 64 + 33, 14}};
    for (const auto& g : runs) {
        SCOPED_TRACE(&g - runs);
        connect(g.kind, g.partition);
        const Bytes bytes = g.firmware ? image(0, g.size, g.size) : pattern(g.size);
        upload(g.firmware, file(bytes));
        EXPECT_TRUE(result.ok());
        EXPECT_EQ(result.bytes_sent, g.size);
        const uint32_t first = !g.firmware ? 0 : g.partition == partition_1 ? 832 : 896;
        EXPECT_EQ(unit->flash(first << 16, static_cast<uint32_t>(bytes.size())), bytes);
        EXPECT_TRUE(unit->nor_faults().empty());

        const Ids id = ids(g.kind);
        const size_t blocks = (bytes.size() + 65535) / 65536, packets = (bytes.size() + 63) / 64;
        const std::vector<Bytes> w = wire();
        ASSERT_EQ(w.size(), blocks + packets + (g.firmware ? 2 : 3)); // the bank query, or close and reopen
        EXPECT_EQ(w.front(), g.firmware ? report(id.part, {0}) : report(id.db, {1, 0xDC}));
        for (uint32_t b = first; b < first + blocks; ++b) {
            EXPECT_EQ(w[1 + b - first], report(id.erase, {3, 0xBE, uint8_t(b), uint8_t(b >> 8)}));
        }
        EXPECT_EQ(w[1 + blocks], report(id.addr, {4, 0, 0, uint8_t(first), uint8_t(first >> 8)}));
        EXPECT_EQ(wire(id.write).size(), packets);
        EXPECT_TRUE(g.firmware || w.back() == report(id.db, {1, 0xDA}));
        EXPECT_TRUE(unit->airport_db_open());
        // The last packet: its length code, the file's tail and zeros after it in the report itself.
        Bytes tail(bytes.begin() + static_cast<long>((packets - 1) * 64), bytes.end());
        tail.resize(can_msg_payload_len(static_cast<CAN_MSG_LEN_t>(g.last_code)));
        tail.insert(tail.begin(), g.last_code);
        EXPECT_EQ(wire(id.write).back(), report(id.write, tail));

        ASSERT_EQ(progress.size(), blocks + packets - (g.firmware ? 1 : 0)); // the header is no progress
        const auto n = static_cast<uint32_t>(blocks);
        EXPECT_EQ(progress[blocks - 1], Progress(n, n, 0));
        EXPECT_EQ(progress.back(), Progress(g.size, g.size, 1));
    }
}

// Every way a run ends short of a good one, and what it leaves behind: the step and the line that
// names it, the erase and write frames sent (the failed one included), the bytes acknowledged, and
// never a byte in unerased flash. A run refused before its first erase leaves the flash as it was;
// nothing is written after a failed erase or address; a database once closed is not reopened after
// a failure, and one written but not reopened is no finished transfer. A firmware erase covers the
// header and every image byte, whatever total_size claims; a full bank, like the largest database,
// is accepted (those runs are cut short at their first erase).
TEST_F(Flash, EachStepEndsTheRunThere)
{
    const std::string fw = file(image(131072, 517, 517)), db = file(pattern(65536 + 517)); // 2 blocks each
    const std::string absent = (tmp.path() / "absent").string(), pipe = (tmp.path() / "pipe").string();
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int pipe_end = open(pipe.c_str(), O_RDWR); // so that opening it does not wait for a writer
    const Bytes piped = image(0, 64, 64);
    ASSERT_EQ(write(pipe_end, piped.data(), piped.size()), 64 + 64);
    const std::string size = "send_fw: Firmware size: ", large = "send_fw: Error: Firmware too large for partition (";
    const std::string page = "send_fw: Erase of page ", db_erase = "send_airport_db: Erase of block ";
    const sim::Fault none = {NoReply, sim::kAnyId, 0, 0}, erase_nack = fault(Nack, 0x430);
    const uint32_t kW = 0x420; // write frames; a firmware header is the first
    const struct {
        bool firmware;
        std::string path;
        sim::Fault fault;
        TransferStep step;
        std::string line; // or its start
        size_t erases, writes;
        uint32_t sent;
        uint32_t partition = partition_1;
        Kind kind = Current;
    } runs[] = {
        // clang-format off
        {true, file(image(0, 0, 0)), none, Done, size + "0 bytes, will erase 1 blocks (pages 832 to 832)", 1, 1, 0},
        {true, file(image(1, 65536, 65536)), none, Done, size + "1 bytes, will erase 2 blocks (pages 832 to 833)", 2, 1025, 65536},
        {true, file(image(65536, 65472, 65472)), none, Done, size + "65536 bytes, will erase 1 blocks (pages 896 to 896)", 1, 1024, 65472, partition_2},
        {true, file(image(4194304, 0, 0)), erase_nack, Erase, size + "4194304 bytes, will erase 64 blocks (pages 832 to 895)", 1, 0, 0},
        {true, file(image(0, 4194240, 0), 64 + 4194240), erase_nack, Erase, size + "0 bytes, will erase 64 blocks (pages 832 to 895)", 1, 0, 0},
        {false, file({1}, 54525952), erase_nack, Erase, "send_airport_db: 54525952 bytes, erasing 832 blocks starting at block 0 (address 0x00000000)", 1, 0, 0},
        {true, file(image(4194305, 0, 0)), none, TooLarge, large + "65 blocks needed, but partition only has 64 blocks)", 0, 0, 0},
        {true, file(image(0, 4194241, 0)), none, TooLarge, large + "65 blocks needed", 0, 0, 0},
        {true, file(image(0, 0xFFFFFFFF, 0)), none, TooLarge, large + "65537 blocks needed", 0, 0, 0},
        {true, file(pattern(63)), none, HeaderRead, "send_fw: Failed to read firmware header", 0, 0, 0},
        {true, file(image(0, 1000, 517)), none, TruncatedImage, "send_fw: Error: File holds 517 bytes after the header, but its header announces 1000", 0, 0, 0, partition_2},
        {true, file(image(0, 4194240, 0), 64 + 4194239), none, TruncatedImage, "send_fw: Error: File holds 4194239 bytes after the header, but its header announces 4194240", 0, 0, 0},
        {true, absent, none, FileOpen, "send_fw: Failed to open file " + absent, 0, 0, 0},
        {true, pipe, none, FileSize, "send_fw: Failed to determine the size of " + pipe + ": Illegal seek", 0, 0, 0},
        {false, file({}), none, EmptyFile, "send_airport_db: File is empty", 0, 0, 0},
        {false, absent, none, FileOpen, "send_airport_db: Failed to open file " + absent + ": No such file or directory", 0, 0, 0},
        {false, file({1}, 54525953), none, TooLarge, "send_airport_db: File too large (54525953 bytes, 833 blocks); max 832 blocks before firmware bank", 0, 0, 0},
        {true, fw, none, Partition, "send_fw: Invalid partition (partition_none), cannot proceed", 0, 0, 0, partition_none},
        {true, fw, none, Partition, "get_mx25_partition: Invalid partition value received (raw=0xB3B3B3B3)", 0, 0, 0, partition_debug},
        {true, fw, fault(Nack, 0x730), Partition, "NACK received for command CAN ID 0x730.\nget_mx25_partition: ACK validation failed", 0, 0, 0},
        {true, fw, fault(BadLengthCode, 0x730, 0, 4, 1), Partition, "get_mx25_partition: Unexpected response (can_ID=0x000000F0, msg_len=0x04, expected MX25 ACK len 6)", 0, 0, 0},
        {true, fw, fault(BadLengthCode, 0x287, 0, 4, 1), Partition, "get_mx25_partition: Unexpected response (can_ID=0x00000256, msg_len=0x04)", 0, 0, 0, partition_1, Patch11},
        {true, fw, fault(ShortReport, 0x730, 0, 3, 1), Partition, "get_mx25_partition: Error reading response from device (bytes_read=-1).", 0, 0, 0},
        {true, fw, fault(NoReply, 0x730, 0, 0, 1), Partition, "get_mx25_partition: No response received (timeout or no data).", 0, 0, 0}, // 1 s
        {true, fw, fault(Nack, 0x430, 1), Erase, "NACK received for command CAN ID 0x430.\nmx25_erase: ACK validation failed\n" + page + "833 failed, stopping before anything is written", 2, 0, 0},
        {true, fw, fault(WriteError, 0x430), Erase, "mx25_erase: Failed to send erase command", 0, 0, 0},
        {true, fw, fault(WrongOp, 0x430, 0, 0xAE), Erase, "mx25_erase: Op type mismatch in response (expected=0xBE, got=0xAE)\n" + page + "832", 1, 0, 0},
        {true, fw, fault(WrongAddress, 0x430, 1, 0x03400000), Erase, "mx25_erase: Address mismatch (expected=0x03410000, got=0x03400000)\n" + page + "833", 2, 0, 0},
        {true, fw, fault(Nack, 0x440), SetAddress, "wait_for_mx25_ack: MX25 NACK (op=0xA1)\nset_mx25_addr: Failed to receive acknowledgment or operation failed\nsend_fw: Setting the write address failed, stopping before anything is written", 2, 0, 0},
        {true, fw, fault(WrongOp, 0x440, 0, 0xAA), SetAddress, "set_mx25_addr: Op type mismatch (expected=OP_SETADDR/0xA1, got=0xAA)", 2, 0, 0},
        {true, fw, fault(WrongAddress, 0x440, 0, 0x03400040), SetAddress, "set_mx25_addr: Address mismatch (expected=0x03400000, got=0x03400040)", 2, 0, 0},
        {true, fw, fault(WriteError, kW), HeaderWrite, "send_fw: Failed to send firmware header", 2, 0, 0},
        {true, fw, fault(Nack, kW), HeaderWrite, "send_fw: Header write acknowledgment failed", 2, 1, 0},
        {true, fw, fault(WrongOp, kW, 0, 0xA1), HeaderWrite, "send_fw: Header write op type mismatch (expected=OP_WRITE/0xAA, got=0xA1)", 2, 1, 0},
        {true, fw, fault(WriteError, kW, 6), DataWrite, "send_fw: Failed to send firmware data packet 5", 2, 6, 320},
        {true, fw, fault(Nack, kW, 6), DataWrite, "send_fw: MX25 write acknowledgment failed at packet 5", 2, 7, 320},
        {true, fw, fault(WrongOp, kW, 6, 0xA1), DataWrite, "send_fw: Op type mismatch in response (expected=OP_WRITE/0xAA, got=0xA1)", 2, 7, 320},
        {true, fw, fault(Vanish, kW, 6), DataWrite, "send_fw: MX25 write acknowledgment failed at packet 5\nsend_fw: Firmware transmission incomplete (320/517 bytes sent, 5 packets)", 2, 7, 320},
        {false, db, fault(WriteError, 0x450), CloseDatabase, "send_airport_db: close DB command failed, aborting", 0, 0, 0},
        {false, db, fault(Nack, 0x450), CloseDatabase, "send_airport_db: no ACK for close DB (expected CAN ID 0x450 in ACK payload), aborting", 0, 0, 0},
        {false, db, fault(Nack, 0x430, 1), Erase, db_erase + "1 failed; stopping, airport DB left closed", 2, 0, 0},
        {false, db, fault(Nack, 0x440), SetAddress, "send_airport_db: Setting the write address failed; stopping, airport DB left closed", 2, 0, 0},
        {false, db, fault(WriteError, kW, 5), DataWrite, "send_airport_db: Failed to send packet 5", 2, 5, 320},
        {false, db, fault(Nack, kW, 5), DataWrite, "send_airport_db: MX25 ACK failed at packet 5", 2, 6, 320},
        {false, db, fault(WrongOp, kW, 5, 0xA1), DataWrite, "send_airport_db: Op type mismatch (expected OP_WRITE 0xAA, got 0xA1)", 2, 6, 320},
        {false, db, fault(WriteError, 0x450, 1), ReopenDatabase, "send_airport_db: warning: open DB command failed; device may need a reconnect", 2, 1033, 66053},
        // clang-format on
    };
    const Bytes held = pattern(1024);
    for (const auto& r : runs) {
        SCOPED_TRACE(r.line);
        connect(r.kind, r.partition);
        const uint32_t region = !r.firmware ? 0 : r.partition == partition_2 ? 896u << 16 : 832u << 16;
        unit->fill_flash(region, held);
        unit->inject(r.fault);
        upload(r.firmware, r.path);
        EXPECT_EQ(result.step, r.step);
        EXPECT_TRUE(printed(r.line)) << out;
        EXPECT_EQ(wire(ids(r.kind).erase).size(), r.erases);
        EXPECT_EQ(wire(kW).size(), r.writes);
        EXPECT_EQ(result.bytes_sent, r.sent);
        EXPECT_TRUE(unit->nor_faults().empty());
        EXPECT_TRUE(r.erases > 0 || unit->flash(region, 1024) == held);
        EXPECT_EQ(unit->airport_db_open(), r.firmware || r.erases == 0 || r.step == Done);
    }
    close(pipe_end);
    EXPECT_EQ(capture([&] { result = send_fw(nullptr, fw.c_str(), nullptr, nullptr); }),
              "send_fw: CommsManager not connected\n");
    EXPECT_EQ(result.step, NotConnected);
}

// While an upload runs, another thread's command waits for it instead of slipping its frame in.
TEST_F(Flash, UploadsKeepTheLinkToThemselves)
{
    connect();
    unit->set_latency(std::chrono::microseconds(300));
    const std::string db = file(pattern(64 * 40)), fw = file(image(0, 64 * 40, 64 * 40));
    for (const bool firmware : {false, true}) {
        unit->clear_log();
        std::atomic<bool> done{false};
        std::thread upload([&] {
            result = (firmware ? send_fw : send_airport_db)(comms(), (firmware ? fw : db).c_str(), nullptr, nullptr);
            done = true;
        });
        while (wire(0x420).size() < 5 && !done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const bool addressed = set_mx25_addr(comms(), 0x100);
        upload.join();
        EXPECT_TRUE(result.ok() && addressed);
        EXPECT_EQ(uint32_t{unit->requests().back().can_ID}, 0x440u) << "firmware " << firmware;
    }
    EXPECT_TRUE(unit->nor_faults().empty());
}

} // namespace
