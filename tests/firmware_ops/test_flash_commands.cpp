// The flash command primitives: exact frames on both identifier maps, and what each prints and
// returns for every kind of reply.
#include <functional>

#include "flash_fixture.h"

using sim::FaultKind;

namespace fwt {

class FwOpsFrames : public Flash, public testing::WithParamInterface<Kind> {};

TEST_P(FwOpsFrames, CommandsUseTheUnitsMapAndLayout)
{
    connect(GetParam());
    EXPECT_TRUE(mx25_erase(comms(), OP_BLOCK_ERASE, 832, nullptr, nullptr, 0, 1));
    EXPECT_TRUE(set_mx25_addr(comms(), 0x03400000));
    EXPECT_EQ(get_mx25_partition(comms()), partition_1);
    EXPECT_TRUE(send_airport_db_op(comms(), AIRPORT_DB_OP_CLOSE));
    EXPECT_TRUE(send_airport_db_op(comms(), AIRPORT_DB_OP_OPEN));

    // Output report 5: identifier, length code, then only the payload the code covers.
    auto report = [](uint32_t id, std::vector<uint8_t> code_and_payload) {
        code_and_payload.insert(code_and_payload.begin(), {5, uint8_t(id), uint8_t(id >> 8), 0, 0});
        return code_and_payload;
    };
    const Ids id = ids(GetParam());
    const std::vector<std::vector<uint8_t>> want = {report(id.erase, {3, 0xBE, 0x40, 0x03}),
                                                    report(id.addr, {4, 0x00, 0x00, 0x40, 0x03}), report(id.part, {0}),
                                                    report(id.db, {1, 0xDC}), report(id.db, {1, 0xDA})};
    std::vector<std::vector<uint8_t>> got;
    for (const sim::LoggedReport& r : unit->log()) {
        if (r.direction == sim::Direction::ToUnit) {
            got.push_back(r.bytes);
        }
    }
    EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(Maps, FwOpsFrames, testing::Values(Current, Patch11, Legacy));

using Call = std::function<uint32_t(CommsManager*, std::vector<Report>*)>;

Call erase(FlashOpType op, uint16_t n)
{
    return [=](CommsManager* c, std::vector<Report>* r) { return uint32_t{mx25_erase(c, op, n, record, r, 4, 9)}; };
}
const Call kErase832 = erase(OP_BLOCK_ERASE, 832);
const Call kAddr = [](CommsManager* c, std::vector<Report>*) { return uint32_t{set_mx25_addr(c, 0x03400000)}; };
const Call kPart = [](CommsManager* c, std::vector<Report>*) { return uint32_t{get_mx25_partition(c)}; };
const Call kClose = [](CommsManager* c, std::vector<Report>*) { return uint32_t{send_airport_db_op(c, 0xDC)}; };

// One command against one kind of reply: every line it prints, and its result.
struct Case {
    const char* name;
    Call call;
    std::vector<sim::Fault> faults;
    uint32_t result;
    std::string out;
    Kind kind = Current;
    uint32_t partition = partition_1;
    bool connected = true;
};

#define ERASE_SENT(op, n) "mx25_erase: Successfully sent erase command (op_type=" op ", block/sector=" n ")\n"
#define ERASE_ACK "mx25_erase: ACK received, erase command acknowledged\n"
#define ERASE_FAIL "mx25_erase: Erase operation failed or timeout\n"
#define ADDR_SENT "set_mx25_addr: Successfully sent address (0x03400000)\n"
#define PART_SENT(id)                                                                                                  \
    "get_mx25_partition: Sending command - CAN_ID=0x00000" id ", msg_len=0x00\n"                                       \
    "get_mx25_partition: Successfully sent get partition command\n"
#define PART(x) "get_mx25_partition: " x "\n"

// clang-format off
const Case kCases[] = {
    {"EraseOk", kErase832, {}, 1, ERASE_SENT("0xBE", "832") ERASE_ACK
     "mx25_erase: Erase completed successfully (address=0x03400000)\n"},
    {"SectorEraseOk", erase(OP_SECTOR_ERASE, 3), {}, 1, ERASE_SENT("0xAE", "3") ERASE_ACK
     "mx25_erase: Erase completed successfully (address=0x00003000)\n"},
    {"ChipEraseTakesAnyAddress", erase(OP_CHIP_ERASE, 0), {fault(FaultKind::WrongAddress, 0x430, 0, 0x1234)}, 1,
     ERASE_SENT("0xCE", "0") ERASE_ACK "mx25_erase: Erase completed successfully (address=0x00001234)\n"},
    {"EraseNotConnected", kErase832, {}, 0, "mx25_erase: CommsManager not connected\n", Current, 0, false},
    {"EraseNotSent", kErase832, {fault(FaultKind::WriteError, 0x430)}, 0, "mx25_erase: Failed to send erase command\n"},
    {"EraseNack", kErase832, {fault(FaultKind::Nack, 0x430)}, 0,
     ERASE_SENT("0xBE", "832") "NACK received for command CAN ID 0x430.\nmx25_erase: ACK validation failed\n"},
    {"EraseNeverCompletes", kErase832, {fault(FaultKind::NoReply, 0x430, 0, 0, 1)}, 0, ERASE_SENT("0xBE", "832")
     ERASE_ACK "wait_for_mx25_ack: No response received (timeout or no data).\n" ERASE_FAIL},
    {"EraseRefused", erase(OP_BLOCK_ERASE, 1024), {}, 0, ERASE_SENT("0xBE", "1024") ERASE_ACK
     "wait_for_mx25_ack: MX25 NACK (op=0xBE)\n" ERASE_FAIL},
    {"EraseWrongOp", kErase832, {fault(FaultKind::WrongOp, 0x430, 0, 0xAE)}, 0, ERASE_SENT("0xBE", "832") ERASE_ACK
     "mx25_erase: Op type mismatch in response (expected=0xBE, got=0xAE)\n"},
    {"EraseWrongAddress", kErase832, {fault(FaultKind::WrongAddress, 0x430, 0, 0x03410000)}, 0,
     ERASE_SENT("0xBE", "832") ERASE_ACK "mx25_erase: Address mismatch (expected=0x03400000, got=0x03410000)\n"},

    {"AddrOk", kAddr, {}, 1, ADDR_SENT "set_mx25_addr: Address set successfully (0x03400000)\n"},
    {"AddrNotConnected", kAddr, {}, 0, "set_mx25_addr: CommsManager not connected\n", Current, 0, false},
    {"AddrNotSent", kAddr, {fault(FaultKind::WriteError, 0x440)}, 0, "set_mx25_addr: Failed to send address\n"},
    {"AddrNack", kAddr, {fault(FaultKind::Nack, 0x440)}, 0, ADDR_SENT "wait_for_mx25_ack: MX25 NACK (op=0xA1)\n"
     "set_mx25_addr: Failed to receive acknowledgment or operation failed\n"},
    {"AddrWrongOp", kAddr, {fault(FaultKind::WrongOp, 0x440, 0, 0xAA)}, 0,
     ADDR_SENT "set_mx25_addr: Op type mismatch (expected=OP_SETADDR/0xA1, got=0xAA)\n"},
    {"AddrWrongAddress", kAddr, {fault(FaultKind::WrongAddress, 0x440, 0, 0x40)}, 0,
     ADDR_SENT "set_mx25_addr: Address mismatch (expected=0x03400000, got=0x00000040)\n"},

    {"PartitionOne", kPart, {}, partition_1, PART_SENT("730")
     PART("Partition retrieved successfully (partition=0xB1B1B1B1, raw=0xB1B1B1B1)")},
    {"PartitionTwoLegacy", kPart, {}, partition_2, PART_SENT("287")
     PART("Partition retrieved successfully (partition=0xB2B2B2B2, raw=0xB2B2B2B2)"), Patch11, partition_2},
    {"PartitionZero", kPart, {}, 0, PART_SENT("730")
     PART("Partition retrieved successfully (partition=0x00, raw=0x00000000)"), Current, partition_none},
    {"PartitionDebug", kPart, {}, 0, PART_SENT("730") PART("Invalid partition value received (raw=0xB3B3B3B3)"),
     Current, partition_debug},
    {"PartitionUnknown", kPart, {}, 0, PART_SENT("730") PART("Invalid partition value received (raw=0xFFFFFFFF)"),
     Current, partition_unknown},
    {"PartitionNotConnected", kPart, {}, 0, PART("CommsManager not connected"), Current, 0, false},
    {"PartitionNotSent", kPart, {fault(FaultKind::WriteError, 0x730)}, 0,
     PART("Sending command - CAN_ID=0x00000730, msg_len=0x00")
     PART("Failed to send get partition command (bytes_written=-1)")},
    {"PartitionNack", kPart, {fault(FaultKind::Nack, 0x730)}, 0, PART_SENT("730")
     "NACK received for command CAN ID 0x730.\n" PART("ACK validation failed")},
    {"PartitionReplyTooShort", kPart, {fault(FaultKind::BadLengthCode, 0x730, 0, 4, 1)}, 0, PART_SENT("730")
     PART("Unexpected response (can_ID=0x000000F0, msg_len=0x04, expected MX25 ACK len 6)")},
    {"PartitionReplyTooShortLegacy", kPart, {fault(FaultKind::BadLengthCode, 0x287, 0, 4, 1)}, 0, PART_SENT("287")
     PART("Unexpected response (can_ID=0x00000256, msg_len=0x04)"), Patch11},
    {"PartitionReplyUnreadable", kPart, {fault(FaultKind::ShortReport, 0x730, 0, 3, 1)}, 0, PART_SENT("730")
     PART("Error reading response from device (bytes_read=-1).")},
    {"PartitionReplyMissing", kPart, {fault(FaultKind::NoReply, 0x730, 0, 0, 1)}, 0, PART_SENT("730")
     PART("No response received (timeout or no data).")},

    {"DbOpSent", kClose, {}, 1, "send_airport_db_op: sent 0xDC\n"},
    {"DbOpNotSent", kClose, {fault(FaultKind::WriteError, 0x450)}, 0,
     "send_airport_db_op: write failed (op=0xDC, ret=-1)\n"},
    {"DbOpNotConnected", kClose, {}, 0,
     "No interface connected.\nsend_airport_db_op: write failed (op=0xDC, ret=-1)\n", Current, 0, false},
};
// clang-format on

class FwOpsCommands : public Flash, public testing::WithParamInterface<Case> {};

TEST_P(FwOpsCommands, PrintEveryStepAndReportTheOutcome)
{
    const Case& c = GetParam();
    if (c.connected) {
        connect(c.kind, c.partition);
        for (const sim::Fault& f : c.faults) {
            unit->inject(f);
        }
    }
    uint32_t got = 0;
    capture([&] { got = c.call(comms(), &reports); });
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(got, c.result);
    // An erase reports progress exactly when it was confirmed.
    const bool confirmed = out.find("Erase completed") != std::string::npos;
    EXPECT_EQ(reports, (confirmed ? std::vector<Report>{{5, 9, 0}} : std::vector<Report>{}));
}

INSTANTIATE_TEST_SUITE_P(Commands, FwOpsCommands, testing::ValuesIn(kCases), by_name);

} // namespace fwt
