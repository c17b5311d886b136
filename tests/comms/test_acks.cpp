// Both generations of the general and the flash acknowledgement: outcomes, printed reasons,
// frames passed over, and the bounds on a wait.
#include "link_fixture.h"

namespace {

using namespace linktest;
using Acks = Link;

const sim::Fault kNone = fault(FaultKind::NoReply, 0, 0);
const sim::UnitConfig kCompact = unit_at(0, 2, 12), kSixByte = unit_at(0, 2, 11);

// Two requests (a set, or a set-address to 0x1000, then the same with 0x2000 for the address)
// queue their acknowledgements, and the fault strikes the first. A caller's op and address are
// left alone (0x11, 7) unless a flash acknowledgement fills them.
TEST_F(Acks, BothFormsOfBothKinds)
{
    EXPECT_FALSE(wait_for_ack(nullptr, 0x390));
    EXPECT_FALSE(wait_for_mx25_ack(&comms, nullptr, nullptr)); // not connected
    struct Case {
        sim::UnitConfig cfg;
        bool flash;
        sim::Fault fault;
        bool ok;
        uint8_t op;
        uint32_t address;
        std::string line;
    };
    const std::string len = "ACK validation failed: msg_len mismatch (expected CAN_", mx = "wait_for_mx25_ack: ";
    // clang-format off
    const Case cases[] = {
        {kCompact, false, kNone, true, 0x11, 7, ""},
        {kCompact, false, fault(FaultKind::UnrelatedBefore, 3), true, 0x11, 7, ""},
        {kCompact, false, fault(FaultKind::Nack), false, 0x11, 7, "NACK received for command CAN ID 0x390."},
        {kCompact, false, fault(FaultKind::WrongAckId, 0x10391), false, 0x11, 7, "ACK validation failed: payload can_ID mismatch (expected 0x390, got 0x391)"},
        {kCompact, false, fault(FaultKind::BadLengthCode, 6), false, 0x11, 7, len + "4_BYTES, got 0x06)"},
        {kCompact, false, fault(FaultKind::ReadError), false, 0x11, 7, "Error reading ACK from device."},
        {kCompact, false, fault(FaultKind::NoReply, 0, 2), false, 0x11, 7, "No ACK received from device (timeout or no data)."}, // neither answered: 1 s
        {kSixByte, false, kNone, true, 0x11, 7, ""},
        {kSixByte, false, fault(FaultKind::UnrelatedBefore, 2), true, 0x11, 7, ""},
        {kSixByte, false, fault(FaultKind::Nack), true, 0x11, 7, ""}, // the NACK frame does not decide the wait
        {kSixByte, false, fault(FaultKind::WrongAckId, 0x379), false, 0x11, 7, "ACK validation failed: data can_ID mismatch (expected 0x00000378, got 0x00000379)"},
        {kSixByte, false, fault(FaultKind::BadLengthCode, 4), false, 0x11, 7, len + "6_BYTES, got 0x04)"},
        {kSixByte, false, fault(FaultKind::ShortReport, 12), false, 0x11, 7, // the report ends before the 0x15
         "ACK validation failed: data[4-5] mismatch (expected 0xEF 0x15, got 0xEF 0x00)"},
        {kSixByte, false, fault(FaultKind::ReadError), false, 0x11, 7, "Error reading ACK from device."},
        {kCompact, true, kNone, true, OP_SETADDR, 0x1000, ""},
        {kCompact, true, fault(FaultKind::Nack), false, OP_SETADDR, 0x1000, mx + "MX25 NACK (op=0xA1)"},
        {kCompact, true, fault(FaultKind::WrongOp, OP_WRITE), true, OP_WRITE, 0x1000, ""}, // the caller compares
        {kCompact, true, fault(FaultKind::BadLengthCode, 5), true, OP_SETADDR, 0x2000, ""},
        {kCompact, true, fault(FaultKind::ReadError), false, 0x11, 7, mx + "Error reading response from device."},
        {kSixByte, true, kNone, true, OP_SETADDR, 0x1000, ""},
        {kSixByte, true, fault(FaultKind::UnrelatedBefore, 2), true, OP_SETADDR, 0x1000, ""},
        {kSixByte, true, fault(FaultKind::Nack), false, 0x11, 7, mx + "Operation failed (MX25 NACK)"},
        {kSixByte, true, fault(FaultKind::BadLengthCode, 4), true, OP_SETADDR, 0x2000, ""},
        {kSixByte, true, fault(FaultKind::BadLengthCode, 0x10), true, OP_SETADDR, 0x2000, ""}, // carries no bytes at all
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        attach(c.cfg);
        unit->inject(c.fault);
        const bool compact = c.cfg.version.version == kCompact.version.version;
        const uint32_t id = c.flash ? (compact ? 0x440 : 0x417) : (compact ? 0x390 : 0x378);
        send(frame(id, CAN_5_BYTES, {0x00, 0x10}));
        send(frame(id, CAN_5_BYTES, {0x00, 0x20}));
        uint8_t op = 0x11;
        uint32_t address = 7;
        bool ok = !c.ok;
        EXPECT_EQ(printed([&] { ok = c.flash ? wait_for_mx25_ack(&comms, &op, &address) : wait_for_ack(&comms, id); }),
                  c.line.empty() ? Lines{} : Lines{c.line});
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(op, c.op);
        EXPECT_EQ(address, c.address);
    }
}

// A unit that never stops sending unrelated frames cannot hold a wait beyond its deadline: 3 s for
// each form of acknowledgement, 0.5 s for a value.
TEST_F(Acks, ChatteringUnit)
{
    const std::string lines[] = {"No ACK received from device (timeout or no data).",
                                 "wait_for_mx25_ack: No response received (timeout or no data).",
                                 "get_value: timeout waiting for response (expected CAN ID 0x380)."};
    for (int wait = 0; wait < 3; ++wait) {
        attach(wait == 1 ? kSixByte : kCompact);
        unit->set_chatter(true);
        unit->inject(fault(FaultKind::NoReply));
        const auto t0 = Clock::now();
        bool ok = true;
        EXPECT_EQ(printed([&] {
                      ok = wait == 0   ? wait_for_ack(&comms, 0x390)
                           : wait == 1 ? wait_for_mx25_ack(&comms, nullptr, nullptr)
                                       : read_value(&comms, SETTINGS_COMMS, 0, nullptr);
                  }),
                  Lines{lines[wait]});
        EXPECT_FALSE(ok);
        EXPECT_GE(ms_since(t0), wait == 2 ? 500 : kAckWaitDeadlineMs);
    }
}

} // namespace
