// Firmware upload: bank and erase range, frames and flash contents of good runs, refusals before
// any erase, and the step that ends a failed run.
#include <sys/prctl.h>

#include "firmware_ops/transfer_io.h"
#include "flash_fixture.h"

using sim::FaultKind;

namespace fwt {

class FwOpsFirmware : public Flash {
protected:
    void run(const std::string& path)
    {
        capture([&] { result = send_fw(comms(), path.c_str(), record, &reports); });
    }
};

struct Bank {
    Kind kind;
    uint32_t partition, first;
};

class FwOpsFirmwareGood : public FwOpsFirmware, public testing::WithParamInterface<Bank> {};

TEST_P(FwOpsFirmwareGood, HeaderAtBankStartThenImageInOneStream)
{
    const auto [kind, partition, first] = GetParam();
    connect(kind, partition);
    const std::vector<uint8_t> img = image(200000, 6417, 6417); // 4 blocks; a last packet of 17 bytes
    run(file(img));
    const Ids id = ids(kind);

    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.bytes_sent, 6417u);
    std::vector<Report> want;
    for (uint32_t b = 1; b <= 4; ++b) {
        want.push_back({b, 4, 0});
    }
    for (uint32_t n = 64; n < 6417 + 64; n += 64) {
        want.push_back({std::min(n, 6417u), 6417, 1});
    }
    EXPECT_EQ(reports, want);

    // Erases, one address at the bank start, then the header and the image with no new address.
    const std::vector<COMMS_MSG_t> all = unit->requests();
    ASSERT_EQ(all.size(), 1 + 4 + 1 + 102u);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(uint32_t{all[1 + i].can_ID}, id.erase);
        EXPECT_EQ(le32(all[1 + i].data) & 0xFFFFFF, 0xBEu | (first + i) << 8);
    }
    EXPECT_EQ(uint32_t{all[5].can_ID}, id.addr);
    EXPECT_EQ(le32(all[5].data), first << 16);
    EXPECT_EQ(sent(id.write).size(), 102u);
    EXPECT_EQ(all[6].msg_len, 15);
    EXPECT_EQ(0, std::memcmp(all[6].data, img.data(), 64));
    EXPECT_EQ(all.back().msg_len, 11);

    EXPECT_EQ(unit->flash(first << 16, static_cast<uint32_t>(img.size())), img);
    EXPECT_TRUE(unit->nor_faults().empty());
    const std::string f = std::to_string(first), n = first == 832 ? "1" : "2";
    EXPECT_TRUE(printed("send_fw: Using partition_" + n + " (BANK" + n + "), starting at page " + f));
    EXPECT_TRUE(printed("send_fw: Firmware size: 200000 bytes, will erase 4 blocks (pages " + f + " to " +
                        std::to_string(first + 3) + ")"));
    EXPECT_TRUE(printed("send_fw: Progress: 6400/6417 bytes (99.7%)"));
    EXPECT_TRUE(ended_with("send_fw: Firmware transmission completed successfully (6417 bytes, 101 packets)"));
}

INSTANTIATE_TEST_SUITE_P(Banks, FwOpsFirmwareGood,
                         testing::Values(Bank{Current, partition_1, 832}, Bank{Current, partition_2, 896},
                                         Bank{Patch11, partition_1, 832}, Bank{Legacy, partition_2, 896}));

// The erase covers the header and every image byte, whatever total_size claims; a full bank is
// accepted (that run is cut short at its first erase).
TEST_F(FwOpsFirmware, EraseCoversWhatIsWritten)
{
    connect();
    struct {
        uint32_t total, encrypted, blocks;
    } const cases[] = {{0, 0, 1}, {1, 65536, 2}, {65536, 65472, 1}, {4194304, 0, 64}, {0, 4194240, 64}};
    for (const auto& [total, encrypted, blocks] : cases) {
        SCOPED_TRACE(encrypted);
        unit->clear_log();
        const bool full = blocks == 64;
        if (full) {
            unit->inject(fault(FaultKind::Nack, 0x430));
        }
        const std::vector<uint8_t> img = image(total, encrypted, full ? 0 : encrypted);
        run(file(img));
        EXPECT_TRUE(printed("send_fw: Firmware size: " + std::to_string(total) + " bytes, will erase " +
                            std::to_string(blocks) + " blocks (pages 832 to " + std::to_string(831 + blocks) + ")"));
        EXPECT_EQ(result.step, full ? TransferStep::Erase : TransferStep::Done);
        EXPECT_EQ(sent(0x430).size(), full ? 1 : blocks);
        if (!full) {
            EXPECT_EQ(unit->flash(0x03400000, static_cast<uint32_t>(img.size())), img);
        }
        EXPECT_TRUE(unit->nor_faults().empty());
    }
}

// Refused after the partition query and before any erase.
struct Refusal {
    const char* name;
    uint32_t partition;
    std::vector<uint8_t> bytes; // empty: no file at all
    TransferStep step;
    std::string line; // printed line, or its start
};

#define TOO_LARGE(n)                                                                                                   \
    "send_fw: Error: Firmware too large for partition (" n " blocks needed, but partition only has 64 blocks)"
#define NO_BANK "send_fw: Invalid partition (partition_none), cannot proceed"
// clang-format off
const Refusal kRefusals[] = {
    {"TotalSizeOverBank", partition_1, image(4194305, 0, 0), TransferStep::TooLarge, TOO_LARGE("65")},
    {"ImageOverBank", partition_1, image(0, 4194241, 0), TransferStep::TooLarge, TOO_LARGE("65")},
    {"ImageSizeWraps", partition_1, image(0, 0xFFFFFFFF, 0), TransferStep::TooLarge, TOO_LARGE("65537")},
    {"ShortHeader", partition_1, pattern(63), TransferStep::HeaderRead, "send_fw: Failed to read firmware header from "},
    {"MissingFile", partition_1, {}, TransferStep::FileOpen, "send_fw: Failed to open file "},
    {"NoBank", partition_none, image(0, 0, 0), TransferStep::Partition, NO_BANK},
    {"DebugBank", partition_debug, image(0, 0, 0), TransferStep::Partition, NO_BANK},
    {"UnknownBank", partition_unknown, image(0, 0, 0), TransferStep::Partition, NO_BANK},
};
// clang-format on

class FwOpsFirmwareRefused : public FwOpsFirmware, public testing::WithParamInterface<Refusal> {};

TEST_P(FwOpsFirmwareRefused, BeforeAnyErase)
{
    const Refusal& r = GetParam();
    connect(Current, r.partition);
    run(r.bytes.empty() ? (dir / "absent").string() : file(r.bytes));
    EXPECT_EQ(result.step, r.step);
    EXPECT_NE(out.find("\n" + r.line), std::string::npos) << r.line;
    ASSERT_EQ(unit->requests().size(), 1u); // the partition query alone
    EXPECT_EQ(uint32_t{unit->requests()[0].can_ID}, 0x730u);
}

INSTANTIATE_TEST_SUITE_P(Files, FwOpsFirmwareRefused, testing::ValuesIn(kRefusals), by_name);

// Each step's failure ends the run there; nothing is written after a failed erase or address.
const uint32_t kW = 0x420; // write frames; the header is the first
// clang-format off
const Failure kFailures[] = {
    {"EraseNack", fault(FaultKind::Nack, 0x430, 1), TransferStep::Erase, "mx25_erase: ACK validation failed", 0},
    {"EraseAckSilent", fault(FaultKind::NoReply, 0x430, 1, 0, 0), TransferStep::Erase, "mx25_erase: ACK validation failed", 0},
    {"EraseNeverCompletes", fault(FaultKind::NoReply, 0x430, 1, 0, 1), TransferStep::Erase, "mx25_erase: Erase operation failed or timeout", 0},
    {"EraseWrongOp", fault(FaultKind::WrongOp, 0x430, 1, 0xAE), TransferStep::Erase, "send_fw: Erase of page 833 failed, stopping before anything is written", 0},
    {"EraseWrongAddress", fault(FaultKind::WrongAddress, 0x430, 1, 0), TransferStep::Erase, "mx25_erase: Address mismatch (expected=0x03410000, got=0x00000000)", 0},
    {"AddressNack", fault(FaultKind::Nack, 0x440), TransferStep::SetAddress, "send_fw: Setting the write address failed, stopping before anything is written", 0},
    {"AddressWrongOp", fault(FaultKind::WrongOp, 0x440, 0, 0xAA), TransferStep::SetAddress, "set_mx25_addr: Op type mismatch (expected=OP_SETADDR/0xA1, got=0xAA)", 0},
    {"AddressWrong", fault(FaultKind::WrongAddress, 0x440, 0, 0x03800000), TransferStep::SetAddress, "set_mx25_addr: Address mismatch (expected=0x03400000, got=0x03800000)", 0},
    {"AddressSilent", fault(FaultKind::NoReply, 0x440), TransferStep::SetAddress, "set_mx25_addr: Failed to receive acknowledgment or operation failed", 0},
    {"HeaderNack", fault(FaultKind::Nack, kW), TransferStep::HeaderWrite, "send_fw: Header write acknowledgment failed", 1},
    {"HeaderWrongOp", fault(FaultKind::WrongOp, kW, 0, 0xA1), TransferStep::HeaderWrite, "send_fw: Header write op type mismatch (expected=OP_WRITE/0xAA, got=0xA1)", 1},
    {"HeaderSilent", fault(FaultKind::NoReply, kW), TransferStep::HeaderWrite, "send_fw: Header write acknowledgment failed", 1},
    {"HeaderNotSent", fault(FaultKind::WriteError, kW), TransferStep::HeaderWrite, "send_fw: Failed to send firmware header", 0},
    {"DataNack", fault(FaultKind::Nack, kW, 6), TransferStep::DataWrite, "send_fw: MX25 write acknowledgment failed at packet 5", 7},
    {"DataWrongOp", fault(FaultKind::WrongOp, kW, 6, 0xA1), TransferStep::DataWrite, "send_fw: Op type mismatch in response (expected=OP_WRITE/0xAA, got=0xA1)", 7},
    {"DataSilent", fault(FaultKind::NoReply, kW, 6), TransferStep::DataWrite, "send_fw: MX25 write acknowledgment failed at packet 5", 7},
    {"DataNotSent", fault(FaultKind::WriteError, kW, 6), TransferStep::DataWrite, "send_fw: Failed to send firmware data packet 5", 6},
    {"UnitVanishes", fault(FaultKind::Vanish, kW, 6), TransferStep::DataWrite, "send_fw: MX25 write acknowledgment failed at packet 5", 7},
};
// clang-format on

class FwOpsFirmwareFails : public FwOpsFirmware, public testing::WithParamInterface<Failure> {};

TEST_P(FwOpsFirmwareFails, AtItsStep)
{
    const Failure& f = GetParam();
    connect();
    unit->inject(f.fault);
    run(file(image(131072, 517, 517))); // 2 blocks, 9 data packets
    EXPECT_EQ(result.step, f.step);
    EXPECT_TRUE(printed(f.line)) << f.line;
    EXPECT_EQ(sent(kW).size(), f.writes);
    if (f.step == TransferStep::DataWrite) {
        EXPECT_EQ(result.bytes_sent, 320u);
        EXPECT_TRUE(ended_with("send_fw: Firmware transmission incomplete (320/517 bytes sent, 5 packets)"));
    }
    if (f.step == TransferStep::Erase) {
        EXPECT_TRUE(sent(0x440).empty());
        EXPECT_EQ(reports, (std::vector<Report>{{1, 2, 0}}));
    }
    EXPECT_TRUE(unit->nor_faults().empty());
}

INSTANTIATE_TEST_SUITE_P(Steps, FwOpsFirmwareFails, testing::ValuesIn(kFailures), by_name);

TEST_F(FwOpsFirmware, FileEndingEarlyIsIncomplete)
{
    connect();
    run(file(image(0, 1000, 500)));
    EXPECT_EQ(result.step, TransferStep::UnexpectedEnd);
    EXPECT_EQ(result.bytes_sent, 500u);
    EXPECT_TRUE(printed("send_fw: Reached end of file"));
    EXPECT_TRUE(ended_with("send_fw: Firmware transmission incomplete (500/1000 bytes sent, 8 packets)"));
}

// The unit's breather after each packet is never cut short, and the thread gets its timer slack back.
TEST(FwOpsPause, AtLeast100usAndThreadLeftAsItWas)
{
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    {
        transfer_detail::PacketPause pause;
        for (int i = 0; i < 300; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            pause.wait();
            ASSERT_GE(std::chrono::steady_clock::now() - t0, std::chrono::microseconds(100));
        }
    }
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), slack);
}

} // namespace fwt
