// The flash command primitives: what each prints and returns for every kind of reply. Their
// frames on both identifier maps are checked byte for byte by the uploads' good runs.
#include <functional>

#include "flash_fixture.h"

using enum sim::FaultKind;

namespace fwt {

using Call = std::function<uint32_t(CommsManager*, std::vector<Report>*)>;

Call erase(FlashOpType op, uint16_t n)
{
    return [=](CommsManager* c, std::vector<Report>* r) { return uint32_t{mx25_erase(c, op, n, record, r, 4, 9)}; };
}
const Call kErase832 = erase(OP_BLOCK_ERASE, 832);
const Call kAddr = [](CommsManager* c, std::vector<Report>*) { return uint32_t{set_mx25_addr(c, 0x03400000)}; };
const Call kPart = [](CommsManager* c, std::vector<Report>*) { return uint32_t{get_mx25_partition(c)}; };
const Call kClose = [](CommsManager* c, std::vector<Report>*) { return uint32_t{send_airport_db_op(c, 0xDC)}; };
// All four commands in turn; how many succeeded.
const Call kAll = [](CommsManager* c, std::vector<Report>* r) {
    uint32_t n = kErase832(c, r);
    n += kAddr(c, r);
    n += kPart(c, r) != 0;
    return n + kClose(c, r);
};

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
    {"EraseOk", kErase832, {}, 1, ERASE_SENT("0xBE", "832") ERASE_ACK "mx25_erase: Erase completed successfully (address=0x03400000)\n"},
    {"SectorEraseOk", erase(OP_SECTOR_ERASE, 3), {}, 1, ERASE_SENT("0xAE", "3") ERASE_ACK "mx25_erase: Erase completed successfully (address=0x00003000)\n"},
    {"ChipEraseTakesAnyAddress", erase(OP_CHIP_ERASE, 0), {fault(WrongAddress, 0x430, 0, 0x1234)}, 1, ERASE_SENT("0xCE", "0") ERASE_ACK "mx25_erase: Erase completed successfully (address=0x00001234)\n"},
    {"EraseNack", kErase832, {fault(Nack, 0x430)}, 0, ERASE_SENT("0xBE", "832") "NACK received for command CAN ID 0x430.\nmx25_erase: ACK validation failed\n"},
    {"EraseRefused", erase(OP_BLOCK_ERASE, 1024), {}, 0, ERASE_SENT("0xBE", "1024") ERASE_ACK "wait_for_mx25_ack: MX25 NACK (op=0xBE)\n" ERASE_FAIL},
    {"EraseWrongOp", kErase832, {fault(WrongOp, 0x430, 0, 0xAE)}, 0, ERASE_SENT("0xBE", "832") ERASE_ACK "mx25_erase: Op type mismatch in response (expected=0xBE, got=0xAE)\n"},
    {"EraseWrongAddress", kErase832, {fault(WrongAddress, 0x430, 0, 0x03410000)}, 0, ERASE_SENT("0xBE", "832") ERASE_ACK "mx25_erase: Address mismatch (expected=0x03400000, got=0x03410000)\n"},

    {"AddrOk", kAddr, {}, 1, ADDR_SENT "set_mx25_addr: Address set successfully (0x03400000)\n"},
    {"AddrNack", kAddr, {fault(Nack, 0x440)}, 0, ADDR_SENT "wait_for_mx25_ack: MX25 NACK (op=0xA1)\n" "set_mx25_addr: Failed to receive acknowledgment or operation failed\n"},
    {"AddrWrongOp", kAddr, {fault(WrongOp, 0x440, 0, 0xAA)}, 0, ADDR_SENT "set_mx25_addr: Op type mismatch (expected=OP_SETADDR/0xA1, got=0xAA)\n"},
    {"AddrWrongAddress", kAddr, {fault(WrongAddress, 0x440, 0, 0x40)}, 0, ADDR_SENT "set_mx25_addr: Address mismatch (expected=0x03400000, got=0x00000040)\n"},

    {"PartitionOne", kPart, {}, partition_1, PART_SENT("730") PART("Partition retrieved successfully (partition=0xB1B1B1B1, raw=0xB1B1B1B1)")},
    {"PartitionTwoLegacy", kPart, {}, partition_2, PART_SENT("287") PART("Partition retrieved successfully (partition=0xB2B2B2B2, raw=0xB2B2B2B2)"), Patch11, partition_2},
    {"PartitionDebug", kPart, {}, 0, PART_SENT("730") PART("Invalid partition value received (raw=0xB3B3B3B3)"), Current, partition_debug},
    {"PartitionUnknown", kPart, {}, 0, PART_SENT("730") PART("Invalid partition value received (raw=0xFFFFFFFF)"), Current, partition_unknown},
    {"PartitionNack", kPart, {fault(Nack, 0x730)}, 0, PART_SENT("730") "NACK received for command CAN ID 0x730.\n" PART("ACK validation failed")},
    {"PartitionReplyTooShort", kPart, {fault(BadLengthCode, 0x730, 0, 4, 1)}, 0, PART_SENT("730") PART("Unexpected response (can_ID=0x000000F0, msg_len=0x04, expected MX25 ACK len 6)")},
    {"PartitionReplyTooShortLegacy", kPart, {fault(BadLengthCode, 0x287, 0, 4, 1)}, 0, PART_SENT("287") PART("Unexpected response (can_ID=0x00000256, msg_len=0x04)"), Patch11},
    {"PartitionReplyUnreadable", kPart, {fault(ShortReport, 0x730, 0, 3, 1)}, 0, PART_SENT("730") PART("Error reading response from device (bytes_read=-1).")},
    {"PartitionReplyMissing", kPart, {fault(NoReply, 0x730, 0, 0, 1)}, 0, PART_SENT("730") PART("No response received (timeout or no data).")}, // 1 s,

    {"DbOpSent", kClose, {}, 1, "send_airport_db_op: sent 0xDC\n"},
    {"NotConnected", kAll, {}, 0, "mx25_erase: CommsManager not connected\nset_mx25_addr: CommsManager not connected\n"
     PART("CommsManager not connected") "No interface connected.\nsend_airport_db_op: write failed (op=0xDC, ret=-1)\n",
     Current, 0, false},
    {"NotSent", kAll, {{WriteError, sim::kAnyId, 0, -1}}, 0, "mx25_erase: Failed to send erase command\n"
     "set_mx25_addr: Failed to send address\n" PART("Sending command - CAN_ID=0x00000730, msg_len=0x00")
     PART("Failed to send get partition command (bytes_written=-1)")
     "send_airport_db_op: write failed (op=0xDC, ret=-1)\n"},
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
