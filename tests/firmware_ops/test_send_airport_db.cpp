// Airport database upload: close, erase from block 0, rewrite, reopen only after a complete write;
// refusals before any traffic; and one run at a time on the link.
#include <algorithm>
#include <atomic>
#include <thread>

#include "flash_fixture.h"

using sim::FaultKind;

namespace fwt {

class FwOpsAirport : public Flash {
protected:
    void run(const std::string& path)
    {
        capture([&] { result = send_airport_db(comms(), path.c_str(), record, &reports); });
    }
};

struct Good {
    Kind kind;
    uint32_t size;
    uint8_t last_code;
};

class FwOpsAirportGood : public FwOpsAirport, public testing::WithParamInterface<Good> {};

TEST_P(FwOpsAirportGood, RewritesFromBlockZeroAndReopens)
{
    const auto [kind, size, last_code] = GetParam();
    connect(kind);
    const std::vector<uint8_t> bytes = pattern(size);
    run(file(bytes));
    const Ids id = ids(kind);
    const uint32_t blocks = (size + 65535) / 65536, packets = (size + 63) / 64;

    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.bytes_sent, size);
    const std::vector<COMMS_MSG_t> all = unit->requests();
    ASSERT_EQ(all.size(), 1 + blocks + 1 + packets + 1);
    EXPECT_EQ(le32(all.front().data), 0xDCu);
    for (uint32_t b = 0; b < blocks; ++b) {
        EXPECT_EQ(uint32_t{all[1 + b].can_ID}, id.erase);
        EXPECT_EQ(le32(all[1 + b].data), 0xBEu | b << 8);
    }
    EXPECT_EQ(uint32_t{all[1 + blocks].can_ID}, id.addr);
    EXPECT_EQ(sent(id.write).size(), packets);
    EXPECT_EQ(uint32_t{all.back().can_ID}, id.db);
    EXPECT_EQ(le32(all.back().data), 0xDAu);
    EXPECT_TRUE(unit->airport_db_open());

    // The last packet: its length code, and zeros after the file's tail in the report itself.
    std::vector<uint8_t> last;
    for (const sim::LoggedReport& r : unit->log()) {
        if (r.direction == sim::Direction::ToUnit && r.frame.can_ID == id.write) {
            last = r.bytes;
        }
    }
    const long tail = size - (packets - 1) * 64;
    ASSERT_EQ(last.size(), 6 + can_msg_payload_len(static_cast<CAN_MSG_LEN_t>(last_code)));
    EXPECT_EQ(last[5], last_code);
    EXPECT_TRUE(std::equal(bytes.end() - tail, bytes.end(), last.begin() + 6));
    EXPECT_TRUE(std::all_of(last.begin() + 6 + tail, last.end(), [](uint8_t b) { return b == 0; }));

    EXPECT_EQ(unit->flash(0, size), bytes);
    EXPECT_TRUE(unit->nor_faults().empty());
    ASSERT_EQ(reports.size(), blocks + packets);
    EXPECT_EQ(reports[blocks - 1], (Report{blocks, blocks, 0}));
    EXPECT_EQ(reports.back(), (Report{size, size, 1}));
    const std::string n = std::to_string(size);
    EXPECT_TRUE(printed("send_airport_db: " + n + " bytes, erasing " + std::to_string(blocks) +
                        " blocks starting at block 0 (address 0x00000000)"));
    EXPECT_TRUE(printed("send_airport_db: Complete (" + n + " bytes, " + std::to_string(packets) + " packets)"));
    EXPECT_TRUE(ended_with("send_airport_db_op: sent 0xDA"));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FwOpsAirportGood,
                         testing::Values(Good{Current, 1, 1}, Good{Current, 64 + 17, 11},
                                         Good{Current, 3 * 64 + 33, 14}, Good{Current, 128, 15},
                                         Good{Current, 2 * 65536 + 1, 1}, Good{Legacy, 3 * 64 + 33, 14}));

TEST_F(FwOpsAirport, BadFilesSendNothing)
{
    connect();
    const std::string absent = (dir / "absent").string();
    struct {
        std::string path, line;
        TransferStep step;
    } const cases[] = {
        {file({}), "send_airport_db: File is empty", TransferStep::EmptyFile},
        {absent, "send_airport_db: Failed to open file " + absent + ": No such file or directory",
         TransferStep::FileOpen},
        {file({1}, 54525953),
         "send_airport_db: File too large (54525953 bytes, 833 blocks); max 832 blocks before firmware bank",
         TransferStep::TooLarge},
    };
    for (const auto& c : cases) {
        run(c.path);
        EXPECT_EQ(out, c.line + "\n");
        EXPECT_EQ(result.step, c.step);
    }
    EXPECT_TRUE(unit->requests().empty());
}

TEST_F(FwOpsAirport, FullRegionIsAccepted)
{
    connect();
    unit->inject(fault(FaultKind::Nack, 0x430)); // cut short at its first erase
    run(file({1}, 54525952));
    EXPECT_TRUE(
        printed("send_airport_db: 54525952 bytes, erasing 832 blocks starting at block 0 (address 0x00000000)"));
    EXPECT_EQ(result.step, TransferStep::Erase);
    EXPECT_EQ(sent(0x430).size(), 1u);
}

// Each step's failure ends the run there; a database once closed is not reopened.

#define NO_CLOSE "send_airport_db: no ACK for close DB (expected CAN ID 0x450 in ACK payload), aborting"
// clang-format off
const Failure kFailures[] = {
    {"CloseNotSent", fault(FaultKind::WriteError, 0x450), TransferStep::CloseDatabase, "send_airport_db: close DB command failed, aborting", 0},
    {"CloseNack", fault(FaultKind::Nack, 0x450), TransferStep::CloseDatabase, NO_CLOSE, 0},
    {"CloseAckNamesOther", fault(FaultKind::WrongAckId, 0x450, 0, 0x430), TransferStep::CloseDatabase, NO_CLOSE, 0},
    {"CloseSilent", fault(FaultKind::NoReply, 0x450), TransferStep::CloseDatabase, NO_CLOSE, 0},
    {"EraseNack", fault(FaultKind::Nack, 0x430, 1), TransferStep::Erase, "send_airport_db: Erase of block 1 failed; stopping, airport DB left closed", 0},
    {"AddressNack", fault(FaultKind::Nack, 0x440), TransferStep::SetAddress, "send_airport_db: Setting the write address failed; stopping, airport DB left closed", 0},
    {"DataNack", fault(FaultKind::Nack, 0x420, 5), TransferStep::DataWrite, "send_airport_db: MX25 ACK failed at packet 5", 6},
    {"DataWrongOp", fault(FaultKind::WrongOp, 0x420, 5, 0xA1), TransferStep::DataWrite, "send_airport_db: Op type mismatch (expected OP_WRITE 0xAA, got 0xA1)", 6},
    {"DataSilent", fault(FaultKind::NoReply, 0x420, 5), TransferStep::DataWrite, "send_airport_db: MX25 ACK failed at packet 5", 6},
    {"DataNotSent", fault(FaultKind::WriteError, 0x420, 5), TransferStep::DataWrite, "send_airport_db: Failed to send packet 5", 5},
    {"UnitVanishes", fault(FaultKind::Vanish, 0x420, 5), TransferStep::DataWrite, "send_airport_db: MX25 ACK failed at packet 5", 6},
};
// clang-format on

class FwOpsAirportFails : public FwOpsAirport, public testing::WithParamInterface<Failure> {};

TEST_P(FwOpsAirportFails, AtItsStepWithoutReopening)
{
    const Failure& f = GetParam();
    connect();
    unit->inject(f.fault);
    run(file(pattern(65536 + 517))); // 2 blocks
    EXPECT_EQ(result.step, f.step);
    EXPECT_TRUE(printed(f.line)) << f.line;
    EXPECT_EQ(sent(0x420).size(), f.writes);
    const std::vector<COMMS_MSG_t> ops = sent(0x450);
    EXPECT_TRUE(std::none_of(ops.begin(), ops.end(), [](const COMMS_MSG_t& m) { return m.data[0] == 0xDA; }));
    if (f.step == TransferStep::CloseDatabase) {
        EXPECT_TRUE(sent(0x430).empty());
    } else {
        EXPECT_FALSE(unit->airport_db_open());
    }
    if (f.step == TransferStep::DataWrite) {
        EXPECT_EQ(result.bytes_sent, 320u);
        EXPECT_TRUE(ended_with("send_airport_db: Incomplete (320 / 66053 bytes); not sending open command"));
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, FwOpsAirportFails, testing::ValuesIn(kFailures), by_name);

// A complete write whose reopen never reaches the unit leaves it without a database: not done.
TEST_F(FwOpsAirport, UnsentReopenIsNotSuccess)
{
    connect();
    unit->inject(fault(FaultKind::WriteError, 0x450, 1)); // the close goes out, the open does not
    run(file(pattern(100)));
    EXPECT_EQ(result.step, TransferStep::ReopenDatabase);
    EXPECT_EQ(result.bytes_sent, 100u);
    EXPECT_TRUE(ended_with("send_airport_db: warning: open DB command failed; device may need a reconnect"));
    EXPECT_FALSE(unit->airport_db_open());
}

// While an upload runs, another thread's command waits for it instead of slipping its frame in.
TEST_F(FwOpsAirport, UploadsKeepTheLinkToThemselves)
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
        while (sent(0x420).size() < 5 && !done) {
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

} // namespace fwt
