// Firmware and airport database uploads: what good runs put on the wire and in the unit's flash,
// files refused before any erase, the step that ends each failed run, one run at a time on the
// link, and the pause after each packet.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "firmware_ops/transfer_io.h"
#include "flash_fixture.h"

using enum sim::FaultKind;
using enum TransferStep;

namespace fwt {

using FwOpsFirmware = Flash;
using FwOpsUploads = Flash;

struct Good {
    const char* name;
    bool firmware;
    Kind kind;
    uint32_t partition; // firmware: the bank the unit names
    uint32_t size;      // firmware: image bytes after the header
    uint8_t last_code;  // of the last data packet
};

class FwOpsGood : public Flash, public testing::WithParamInterface<Good> {};

// Firmware: the bank query, erases from the bank's first block, one address at the bank start,
// then the header and the image in one stream. Database: close, erases from block 0, one address,
// the file, reopen. Every run on one of the three kinds of unit.
TEST_P(FwOpsGood, ErasedAddressedAndWrittenInOneStream)
{
    const Good& g = GetParam();
    connect(g.kind, g.partition);
    const std::vector<uint8_t> bytes = g.firmware ? image(0, g.size, g.size) : pattern(g.size);
    upload(g.firmware, file(bytes));
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.bytes_sent, g.size);

    // Exactly the blocks written are erased, each before anything lands in it: the flash holds the
    // file at the region's start, and no byte went to unerased flash.
    const uint32_t first = !g.firmware ? 0 : g.partition == partition_1 ? 832 : 896;
    EXPECT_EQ(unit->flash(first << 16, static_cast<uint32_t>(bytes.size())), bytes);
    EXPECT_TRUE(unit->nor_faults().empty());
    // Every command frame byte for byte in the unit's map, the data frames counted.
    const Ids id = ids(g.kind);
    const size_t blocks = (bytes.size() + 65535) / 65536, packets = (bytes.size() + 63) / 64;
    const std::vector<std::vector<uint8_t>> w = wire();
    ASSERT_EQ(w.size(), blocks + packets + (g.firmware ? 2 : 3)); // the bank query, or close and reopen
    EXPECT_EQ(w.front(), g.firmware ? report(id.part, {0}) : report(id.db, {1, 0xDC}));
    for (uint32_t b = first; b < first + blocks; ++b) {
        EXPECT_EQ(w[1 + b - first], report(id.erase, {3, 0xBE, uint8_t(b), uint8_t(b >> 8)}));
    }
    EXPECT_EQ(w[1 + blocks], report(id.addr, {4, 0, 0, uint8_t(first), uint8_t(first >> 8)}));
    EXPECT_EQ(wire(id.write).size(), packets);
    EXPECT_TRUE(g.firmware || w.back() == report(id.db, {1, 0xDA}));
    EXPECT_TRUE(unit->airport_db_open());

    // The last packet: its length code, and zeros after the file's tail in the report itself.
    const std::vector<uint8_t> last = wire(id.write).back();
    const size_t tail = bytes.size() - (packets - 1) * 64;
    ASSERT_EQ(last.size(), 6 + can_msg_payload_len(static_cast<CAN_MSG_LEN_t>(g.last_code)));
    EXPECT_EQ(last[5], g.last_code);
    EXPECT_TRUE(std::equal(bytes.end() - static_cast<long>(tail), bytes.end(), last.begin() + 6));
    EXPECT_TRUE(std::all_of(last.begin() + 6 + static_cast<long>(tail), last.end(), [](uint8_t b) { return b == 0; }));

    ASSERT_EQ(reports.size(), blocks + packets - (g.firmware ? 1 : 0)); // the header is no progress
    const auto n = static_cast<uint32_t>(blocks);
    EXPECT_EQ(reports[blocks - 1], (Report{n, n, 0}));
    EXPECT_EQ(reports.back(), (Report{g.size, g.size, 1}));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Runs, FwOpsGood, testing::Values(
    Good{"FirmwareBank1", true, Current, partition_1, 6417, 11},
    Good{"FirmwareBank2Patch11", true, Patch11, partition_2, 65536 + 100, 14},
    Good{"FirmwareLegacy", true, Legacy, partition_2, 128, 15},
    Good{"DatabaseOneByte", false, Current, partition_1, 1, 1},
    Good{"DatabaseThreeBlocks", false, Current, partition_1, 2 * 65536 + 17, 11},
    Good{"DatabaseLegacy", false, Legacy, partition_1, 3 * 64 + 33, 14}), by_name);
// clang-format on

// How much is erased, and which files are refused before any erase. A firmware erase covers the
// header and every image byte, whatever total_size claims; a full bank, like the largest database,
// is accepted (those runs are cut short at their first erase). A refused file reaches the unit as
// the firmware bank query alone, or not at all, and the flash keeps what it held.
TEST_F(FwOpsUploads, EraseRangeAndRefusals)
{
    const std::string absent = (dir / "absent").string(),
                      fw = "send_fw: Firmware size: ", too_large = "send_fw: Error: Firmware too large for partition (";
    struct {
        bool firmware;
        uint32_t partition;
        std::string path;
        TransferStep step;
        std::string line; // or its start
        size_t erases;
    } const cases[] = {
        // clang-format off
        {true, partition_1, file(image(0, 0, 0)), Done, fw + "0 bytes, will erase 1 blocks (pages 832 to 832)", 1},
        {true, partition_1, file(image(1, 65536, 65536)), Done, fw + "1 bytes, will erase 2 blocks (pages 832 to 833)", 2},
        {true, partition_2, file(image(65536, 65472, 65472)), Done, fw + "65536 bytes, will erase 1 blocks (pages 896 to 896)", 1},
        {true, partition_1, file(image(4194304, 0, 0)), Erase, fw + "4194304 bytes, will erase 64 blocks (pages 832 to 895)", 1},
        {true, partition_1, file(image(0, 4194240, 0), 64 + 4194240), Erase, fw + "0 bytes, will erase 64 blocks (pages 832 to 895)", 1},
        {false, partition_1, file({1}, 54525952), Erase, "send_airport_db: 54525952 bytes, erasing 832 blocks starting at block 0 (address 0x00000000)", 1},
        {true, partition_1, file(image(4194305, 0, 0)), TooLarge, too_large + "65 blocks needed, but partition only has 64 blocks)", 0},
        {true, partition_1, file(image(0, 4194241, 0)), TooLarge, too_large + "65 blocks needed", 0},
        {true, partition_1, file(image(0, 0xFFFFFFFF, 0)), TooLarge, too_large + "65537 blocks needed", 0},
        {true, partition_1, file(pattern(63)), HeaderRead, "send_fw: Failed to read firmware header", 0},
        {true, partition_2, file(image(0, 1000, 517)), TruncatedImage, "send_fw: Error: File holds 517 bytes after the header, but its header announces 1000", 0},
        {true, partition_1, file(image(0, 1, 0)), TruncatedImage, "send_fw: Error: File holds 0 bytes after the header, but its header announces 1", 0},
        {true, partition_1, file(image(0, 4194240, 0), 64 + 4194239), TruncatedImage, "send_fw: Error: File holds 4194239 bytes after the header, but its header announces 4194240", 0},
        {true, partition_1, absent, FileOpen, "send_fw: Failed to open file " + absent, 0},
        {true, partition_none, file(image(0, 0, 0)), Partition, "send_fw: Invalid partition (partition_none), cannot proceed", 0},
        {false, partition_1, file({}), EmptyFile, "send_airport_db: File is empty", 0},
        {false, partition_1, absent, FileOpen, "send_airport_db: Failed to open file " + absent + ": No such file or directory", 0},
        {false, partition_1, file({1}, 54525953), TooLarge, "send_airport_db: File too large (54525953 bytes, 833 blocks); max 832 blocks before firmware bank", 0},
        // clang-format on
    };
    const std::vector<uint8_t> held = pattern(1024);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        connect(Current, c.partition);
        const uint32_t region = !c.firmware ? 0 : c.partition == partition_2 ? 896u << 16 : 832u << 16;
        unit->fill_flash(region, held);
        if (c.step == Erase) {
            unit->inject(fault(Nack, 0x430));
        }
        upload(c.firmware, c.path);
        EXPECT_EQ(result.step, c.step);
        EXPECT_NE(("\n" + out).find("\n" + c.line), std::string::npos) << out;
        EXPECT_EQ(wire(0x430).size(), c.erases);
        EXPECT_TRUE(c.erases > 0 || unit->requests().size() == (c.firmware ? 1u : 0u));
        EXPECT_TRUE(c.erases > 0 || unit->flash(region, 1024) == held);
        EXPECT_TRUE(unit->nor_faults().empty());
    }
}

// One way a run can fail, and what it must leave behind.
struct Failure {
    const char* name;
    bool firmware;
    sim::Fault fault;
    TransferStep step;
    std::string line; // printed when the run stops
    size_t writes;    // write frames sent, the failed one included
};

class FwOpsFails : public Flash, public testing::WithParamInterface<Failure> {};

// Each step's failure ends the run there, nothing is written after a failed erase or address, a
// database once closed is not reopened, and one written but not reopened is no finished transfer.
TEST_P(FwOpsFails, AtItsStep)
{
    const Failure& f = GetParam();
    connect();
    unit->inject(f.fault);
    upload(f.firmware, file(f.firmware ? image(131072, 517, 517) : pattern(65536 + 517))); // 2 blocks
    EXPECT_EQ(result.step, f.step);
    EXPECT_TRUE(printed(f.line)) << out;
    EXPECT_EQ(wire(0x420).size(), f.writes);
    EXPECT_TRUE(unit->nor_faults().empty());
    // Bytes acknowledged: the first five packets, the whole file, or none.
    EXPECT_EQ(result.bytes_sent, f.step == DataWrite ? 320u : f.step == ReopenDatabase ? 66053u : 0u);
    EXPECT_TRUE(f.step != Erase || wire(0x440).empty());
    if (!f.firmware) {
        const auto ops = wire(0x450);
        EXPECT_TRUE(std::none_of(ops.begin(), ops.end(), [](const auto& r) { return r[6] == 0xDA; }));
        EXPECT_EQ(unit->airport_db_open(), f.step == CloseDatabase);
        EXPECT_EQ(wire(0x430).empty(), f.step == CloseDatabase);
    }
}

const uint32_t kW = 0x420; // write frames; a firmware header is the first
// clang-format off
INSTANTIATE_TEST_SUITE_P(Steps, FwOpsFails, testing::Values(
    Failure{"FwEraseNack", true, fault(Nack, 0x430, 1), Erase, "send_fw: Erase of page 833 failed, stopping before anything is written", 0},
    Failure{"FwAddressNack", true, fault(Nack, 0x440), SetAddress, "send_fw: Setting the write address failed, stopping before anything is written", 0},
    Failure{"FwHeaderNotSent", true, fault(WriteError, kW), HeaderWrite, "send_fw: Failed to send firmware header", 0},
    Failure{"FwHeaderNack", true, fault(Nack, kW), HeaderWrite, "send_fw: Header write acknowledgment failed", 1},
    Failure{"FwHeaderWrongOp", true, fault(WrongOp, kW, 0, 0xA1), HeaderWrite, "send_fw: Header write op type mismatch (expected=OP_WRITE/0xAA, got=0xA1)", 1},
    Failure{"FwDataNotSent", true, fault(WriteError, kW, 6), DataWrite, "send_fw: Failed to send firmware data packet 5", 6},
    Failure{"FwDataNack", true, fault(Nack, kW, 6), DataWrite, "send_fw: MX25 write acknowledgment failed at packet 5", 7},
    Failure{"FwDataWrongOp", true, fault(WrongOp, kW, 6, 0xA1), DataWrite, "send_fw: Op type mismatch in response (expected=OP_WRITE/0xAA, got=0xA1)", 7},
    Failure{"FwUnitVanishes", true, fault(Vanish, kW, 6), DataWrite, "send_fw: MX25 write acknowledgment failed at packet 5", 7},
    Failure{"DbCloseNotSent", false, fault(WriteError, 0x450), CloseDatabase, "send_airport_db: close DB command failed, aborting", 0},
    Failure{"DbCloseNack", false, fault(Nack, 0x450), CloseDatabase, "send_airport_db: no ACK for close DB (expected CAN ID 0x450 in ACK payload), aborting", 0},
    Failure{"DbEraseNack", false, fault(Nack, 0x430, 1), Erase, "send_airport_db: Erase of block 1 failed; stopping, airport DB left closed", 0},
    Failure{"DbAddressNack", false, fault(Nack, 0x440), SetAddress, "send_airport_db: Setting the write address failed; stopping, airport DB left closed", 0},
    Failure{"DbDataNotSent", false, fault(WriteError, kW, 5), DataWrite, "send_airport_db: Failed to send packet 5", 5},
    Failure{"DbDataNack", false, fault(Nack, kW, 5), DataWrite, "send_airport_db: MX25 ACK failed at packet 5", 6},
    Failure{"DbDataWrongOp", false, fault(WrongOp, kW, 5, 0xA1), DataWrite, "send_airport_db: Op type mismatch (expected OP_WRITE 0xAA, got 0xA1)", 6},
    Failure{"UnsentReopenIsNotSuccess", false, fault(WriteError, 0x450, 1), ReopenDatabase, "send_airport_db: warning: open DB command failed; device may need a reconnect", 1033}), by_name);
// clang-format on

// A file whose size cannot be known (a pipe) cannot be judged whole, so it is refused before any
// erase too.
TEST_F(FwOpsUploads, FirmwareFromAPipeIsRefusedBeforeAnyErase)
{
    connect();
    const std::string fifo = (dir / "pipe").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<uint8_t> bytes = image(0, 64, 64);
    std::thread writer([&] {
        FILE* f = fopen(fifo.c_str(), "wb"); // waits for the upload to open the other end
        ASSERT_NE(f, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    });
    upload(true, fifo);
    // Had the upload never opened the pipe, the writer would wait for ever: give it a reader.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    close(reader);

    EXPECT_EQ(result.step, FileSize);
    EXPECT_TRUE(printed("send_fw: Failed to determine the size of " + fifo + ": Illegal seek")) << out;
    EXPECT_TRUE(wire(0x430).empty());
}

// A file cut short while it is being sent (the header said it was whole) ends the run at the end
// of file: what was sent is on the flash, and the run is not taken for complete.
TEST_F(FwOpsUploads, FirmwareFileCutShortDuringTheRun)
{
    connect();
    unit->set_latency(std::chrono::microseconds(300));
    const std::vector<uint8_t> bytes = image(0, 64 * 400, 64 * 400);
    const std::string path = file(bytes);
    std::thread run([&] { upload(true, path); });
    while (wire(0x420).size() < 5 && unit->requests().size() < 1000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    run.join();

    EXPECT_EQ(result.step, UnexpectedEnd);
    EXPECT_LT(result.bytes_sent, 64u * 400);
    EXPECT_EQ(result.bytes_total, 64u * 400);
    EXPECT_TRUE(printed("send_fw: Reached end of file")) << out;
    EXPECT_TRUE(printed("send_fw: Firmware transmission incomplete (" + std::to_string(result.bytes_sent) +
                        "/25600 bytes sent, " + std::to_string(result.bytes_sent / 64) + " packets)"));
    EXPECT_EQ(unit->flash(832u << 16, 64 + result.bytes_sent),
              std::vector<uint8_t>(bytes.begin(), bytes.begin() + 64 + result.bytes_sent));
    EXPECT_TRUE(unit->nor_faults().empty());
}

// While an upload runs, another thread's command waits for it instead of slipping its frame in.
TEST_F(FwOpsUploads, KeepTheLinkToThemselves)
{
    connect();
    unit->set_latency(std::chrono::microseconds(300));
    const std::string db = file(pattern(64 * 40)), fw = file(image(0, 64 * 40, 64 * 40));
    for (const bool firmware : {false, true}) {
        unit->clear_log();
        std::atomic<bool> done{false};
        std::thread upload([&] {
            result = firmware ? send_fw(comms(), fw.c_str(), nullptr, nullptr)
                              : send_airport_db(comms(), db.c_str(), nullptr, nullptr);
            done = true;
        });
        while (wire(0x420).size() < 5 && !done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const bool addressed = set_mx25_addr(comms(), 0x100);
        upload.join();
        EXPECT_TRUE(result.ok());
        EXPECT_TRUE(addressed);
        EXPECT_EQ(uint32_t{unit->requests().back().can_ID}, 0x440u) << "firmware " << firmware;
    }
    EXPECT_TRUE(unit->nor_faults().empty());
}

// The unit's breather after each packet is never cut short; the thread's timer slack is at its least
// while a run holds the pause, and back as it was afterwards.
TEST(FwOpsPause, AtLeast100usAndThreadLeftAsItWas)
{
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    ASSERT_GT(slack, 1);
    {
        transfer_detail::PacketPause pause;
        EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1);
        for (int i = 0; i < 300; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            pause.wait();
            ASSERT_GE(std::chrono::steady_clock::now() - t0, std::chrono::microseconds(100));
        }
    }
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), slack);
}

} // namespace fwt
